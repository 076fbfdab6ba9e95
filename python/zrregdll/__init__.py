"""zrregdll for Python: registry files loaded through libzrregdll, with keys by path and values of every type.

    import zrregdll
    with zrregdll.load("app.txt") as reg:
        window = reg.create(r"HKCU\\Software\\MORVANE\\Ardo\\1.0\\Window")
        window["Left"] = -1920
        print(reg.key("HKLM/Software/MORVANE/Ardo/1.0")["ProductName"])

Text is str on this side and ISO-8859-1 in the file: a character above U+00FF cannot be held and is
refused with Error (ZRREG_BAD_NAME) before the library is called; bytes are taken byte for byte.
Integers are the file's 32-bit numbers, set from -2**31 to 2**32-1 and read back unsigned (0 to
0xFFFFFFFF), as winreg reads REG_DWORD. key.set_value(name, data, type) sets a value of any REG_* type
and key.query_value(name) gives (data, type), data converted as winreg converts it (REG_MULTI_SZ a list,
REG_QWORD an int, REG_BINARY bytes); key[name] and values() give the data of every type. A key is a
mapping of its values: key[name], name in key and iterating the key are about values; subkeys() and
has_subkey() are about subkeys. Each load() is a registry of its own (several files may be loaded at
once; the same file loaded twice is one registry), and the unload (at the end of the with block) closes
every key still open and, with the file's last unload in the process, writes a changed tree back.
load(path, create=True) writes an empty registry file first where there is none. Errors are OSError:
Error and its subclasses carry .winerror, the Windows error the failure stands for, and NotFoundError is
a FileNotFoundError and a KeyError. zrregdll.winreg is Python's winreg over a registry file.

The library's messages come to this module (ZrSetMessageHandler): they go to the function given to
set_message_handler, or are printed on sys.stdout as the library prints them. A file with a token over
the scanner's length limit raises TooLongError, which names the file, the line and the limit, where the
library alone would end the process.
"""

import atexit
import collections
import ctypes
import errno
import os
import re
import sys
import threading
import weakref

from . import _data
from ._data import (REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_LINK,
                    REG_MULTI_SZ, REG_QWORD)

__version__ = "1.4.0"
__all__ = ["load", "Registry", "Key", "Error", "LoadError", "TooLongError", "NotFoundError", "LibraryNotFoundError",
           "as_signed", "result_name", "Message", "set_message_handler", "MSG_SYNTAX", "MSG_TOO_LONG", "MSG_SAVE", "MSG_SHARING",
           "REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
           "REG_MULTI_SZ", "REG_QWORD", "typed_values"]

# The results of the key and value functions (zrregdll.h), with their names and words.
RESULTS = {
    0: ("ZRREG_SUCCESS", "done"),
    2: ("ZRREG_NO_MEMORY", "out of memory"),
    3: ("ZRREG_INVALID_HANDLE", "the key handle is not valid, or the value is no string"),
    5: ("ZRREG_NOT_FOUND", "no such key or value"),
    7: ("ZRREG_BUFFER_TOO_SMALL", "the data does not fit the room given"),
    8: ("ZRREG_KEY_NOT_FOUND", "the key has been deleted"),
    9: ("ZRREG_NOT_LOADED", "no registry is loaded"),
    10: ("ZRREG_KEY_BUSY", "the key has open handles"),
    11: ("ZRREG_BAD_NAME", "the registry file cannot hold this name or text"),
    29: ("ZRREG_WRITE_FAULT", "the change could not be written to disk (full, I/O error)"),
    32: ("ZRREG_SHARING_VIOLATION", "the file is the loaded registry's"),
    183: ("ZRREG_ALREADY_EXISTS", "the new name is taken"),
    259: ("ZRREG_NO_MORE_ITEMS", "no more items"),
    1009: ("ZRREG_BAD_FILE", "the registry file does not parse"),
    1630: ("ZRREG_UNSUPPORTED_TYPE", "the value has another type"),
    -1: ("ZRREG_BAD_ARG", "an argument is missing or a path is empty"),
}
LOAD_RESULTS = {
    0: ("ZRREG_LOAD_OK", "loaded"),
    1: ("ZRREG_LOAD_REFUSED", "a registry is loaded already, or the file does not parse"),
    2: ("ZRREG_LOAD_NO_MEMORY", "out of memory"),
    5: ("ZRREG_LOAD_NO_FILE", "the file cannot be opened"),
}
for _code, (_name, _words) in RESULTS.items():
    globals()[_name] = _code
SUCCESS, NOT_FOUND, BUFFER_TOO_SMALL, NO_MORE_ITEMS = 0, 5, 7, 259
BAD_NAME, UNSUPPORTED_TYPE = 11, 1630
TYPE_SZ, TYPE_DWORD = 1, 4
_RT_SZ, _RT_DWORD = 0x2, 0x10


def as_signed(n):
    """A REG_DWORD as the signed 32-bit number its bits make (0xFFFFFFFF: -1); other data as it is."""
    return n - 2**32 if isinstance(n, int) and n >= 2**31 else n


def result_name(code):
    """The symbolic name of a result of the key and value functions ("ZRREG_NOT_FOUND"), or None."""
    return RESULTS.get(code, (None,))[0]


class Error(OSError):
    """A failure of the library, an OSError: .code is its result, .name the code's name, .winerror the
    Windows error it stands for (with .errno as Windows' C library gives it), str() says it in words."""

    table = RESULTS

    def __init__(self, code, what, why=None):
        self.code = code
        self.name, words = self.table.get(code, ("result %d" % code, "unknown result"))
        self.what = what
        message = "%s: %s (%s)" % (what, why or words, self.name)
        super().__init__(message)
        self.winerror = _data.WINERROR.get(code, 87) if self.table is RESULTS else {5: 2, 2: 8}.get(code, 1009)
        self.errno, self.strerror = _data.errno_of(self.winerror), message

    def __str__(self):
        return self.args[0]

    def __reduce__(self):
        return type(self), (self.code, self.what)


class LoadError(Error):
    """A load that failed: .code is ZrLoadRegistry's result (ZRREG_LOAD_*), .messages the library's
    messages about the file (Message), the last of which, if any, str() gives as the reason."""

    table = LOAD_RESULTS

    def __init__(self, code, what, why=None, messages=()):
        self.messages = list(messages)
        super().__init__(code, what, why)


class _MissingFileError(LoadError, FileNotFoundError):
    """A load of a file that cannot be opened: a FileNotFoundError too."""


class TooLongError(LoadError):
    """A load refused for a token over the scanner's length limit (ZRREG_LOAD_REFUSED): .path, .line
    and .limit (in bytes, quotes and the byte after a word included) say where and what."""

    def __init__(self, code, path, line, limit, messages=()):
        self.path, self.line, self.limit = path, line, limit
        super().__init__(code, "load %r" % path, "line %d: a token is longer than the scanner's limit of %d "
                         "bytes" % (line, limit), messages)


class NotFoundError(Error, FileNotFoundError, KeyError):
    """No such key or value (ZRREG_NOT_FOUND): a FileNotFoundError, as winreg raises, and a KeyError, as a
    mapping's lookup raises."""


def _error(code, what, why=None):
    return (NotFoundError if code == NOT_FOUND else Error)(code, what, why)


_WHY_BAD = (('"', "holds a double quote"), ("\n", "holds a line feed"), ("\x1a", "holds byte 26 (Ctrl-Z)"))


def _why_bad(text, kind):
    """Why the registry file cannot hold a name or text the library refused, as zrreg words it; None
    when it holds nothing of the kind."""
    why = None
    if kind != "text" and len(text) >= 256:
        why = "is 256 characters or longer"
    elif len(text) > 9998:
        why = "is longer than 9998 bytes"
    else:
        why = next((w for char, w in _WHY_BAD if char in text), None)
    return why and "the %s %s, which the registry cannot hold" % (kind, why)


def _latin1(text, what, kind):
    """A str or bytes as the registry's characters (a str of code points up to U+00FF)."""
    if isinstance(text, (bytes, bytearray)):
        text = bytes(text).decode("latin-1")
    elif not isinstance(text, str):
        raise TypeError("%s: a %s must be str or bytes, not %s" % (what, kind, type(text).__name__))
    for char in text:
        if ord(char) > 0xFF:
            raise Error(BAD_NAME, what, "the %s holds U+%04X, which the registry cannot hold "
                        "(it holds characters up to U+00FF)" % (kind, ord(char)))
    if "\0" in text:
        raise Error(BAD_NAME, what, "the %s holds a NUL character, which would end it" % kind)
    return text


def _wide(text):
    return (ctypes.c_ushort * (len(text) + 1))(*map(ord, text))


def _text(buffer, count):
    return "".join(map(chr, buffer[:count]))


# The kinds of the library's messages (zrregdll.h's ZRREG_MSG_*).
MSG_SYNTAX, MSG_TOO_LONG, MSG_SAVE, MSG_SHARING = 1, 2, 3, 4
Message = collections.namedtuple("Message", "kind line text")
Message.__doc__ = """A message of the library: its kind (MSG_*), the line of the registry file it is about (0 for
none) and its text as the library prints it."""

_handler = None  # the function given to set_message_handler, or None: printed
_here = threading.local()  # .heard: the messages of the load this thread is making through Registry


def _decoded(raw):
    """A message's bytes as zrreg shows them: UTF-8 where valid (paths), else byte for byte."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


def _on_message(_context, kind, line, raw):
    message = Message(kind, line, _decoded(raw or b""))
    heard = getattr(_here, "heard", None)
    if heard is not None:
        heard.append(message)
    if _handler is not None:
        _handler(message)  # what it raises ctypes reports as unraisable, and the library goes on
    elif heard is None or kind != MSG_TOO_LONG:  # a load's refusal is raised instead
        print(message.text, file=sys.stdout)


_MESSAGE_HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_char_p)
_ON_MESSAGE = _MESSAGE_HANDLER(_on_message)  # kept: the library holds its address


def set_message_handler(handler):
    """Sends the library's messages to handler(message) from now on (None: printed on sys.stdout) and
    returns the one before. It is called on the thread whose call has something to say, while the library
    holds its lock: it must not call the library."""
    global _handler
    library()
    before, _handler = _handler, handler
    return before


def _quiet_at_exit(lib):
    """No message reaches Python after its end."""
    lib.ZrSetMessageHandler(None, None)


# Each exported function used here, with its argument and result types.
_P, _U32, _I32 = ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int32
_W, _PU32 = ctypes.POINTER(ctypes.c_ushort), ctypes.POINTER(ctypes.c_uint32)
_SIGNATURES = {
    "ZrLoadRegistry": (_U32, [ctypes.c_char_p]),
    "ZrUnloadRegistry": (None, []),
    "HkeyRegRoot": (_P, []),
    "ZrRegOpenKeyEx": (_I32, [_P, _W, _U32, ctypes.POINTER(_P)]),
    "ZrRegCreateKey": (_I32, [_P, _W, ctypes.POINTER(_P)]),
    "ZrRegCloseKey": (_I32, [_P]),
    "ZrRegEnumKeyEx": (_I32, [_P, _U32, _W, _PU32]),
    "ZrRegEnumValue": (_I32, [_P, _U32, _W, _PU32, _PU32, _P, _PU32]),
    "ZrRegQueryInfoKey": (_I32, [_P, _PU32, _PU32, _PU32, _PU32, _PU32]),
    "ZrRegGetValue": (_I32, [_P, _W, _W, _U32, _PU32, _P, _PU32]),
    "ZrRegSetValueEx": (_I32, [_P, _W, _U32, ctypes.c_char_p, _U32]),
    "ZrRegDeleteValue": (_I32, [_P, _W]),
    "ZrRegDeleteKey": (_I32, [_P, _W]),
    "ZrRegDeleteTree": (_I32, [_P, _W]),
    "ZrRegFlushKey": (_I32, [_P]),
    "ZrSetMessageHandler": (None, [_P, _P]),
    "ZrRegRenameKey": (_I32, [_P, _W, _W]),
    "ZrRegRenameValue": (_I32, [_P, _W, _W, _W]),
    "ZrRegQueryValueEx": (_I32, [_P, _W, _PU32, _P, _PU32]),
    "ZrRegLoadAppKey": (_I32, [ctypes.c_char_p, ctypes.POINTER(_P), _U32, _U32, _U32]),
}
# Calls a library may lack: each is None then.
_OPTIONAL = {
    "ZrRegSetKeyValue": (_I32, [_P, _W, _W, _U32, ctypes.c_char_p, _U32]),
    "ZrRegQueryLastWriteTime": (_I32, [_P, ctypes.POINTER(ctypes.c_uint64)]),
}
_lib = None


_SONAME = "zrregdll.dll" if sys.platform == "win32" else "libzrregdll.so.1"


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded: .tried lists each place looked in, with why it failed."""

    def __init__(self, tried):
        self.tried = tried
        super().__init__("zrregdll: cannot load the shared library %s; looked in:\n%s\nSet ZRREGDLL_LIBRARY to "
                         "its path (or install it where the system's loader looks)"
                         % (_SONAME, "\n".join("  %s: %s" % place for place in tried)))


def _library_places():
    """Where the shared library may be, in turn: $ZRREGDLL_LIBRARY alone when set; else the place cmake
    --install recorded beside this module, the system's search by its soname (LD_LIBRARY_PATH, the
    loader's cache), and the library directories of this Python's prefix and of /usr/local, which a
    pip-installed module (in a virtual environment, say) has no record of and the loader's cache may
    not list yet."""
    given = os.environ.get("ZRREGDLL_LIBRARY")
    if given:
        return [("ZRREGDLL_LIBRARY", given)]
    places = []
    try:
        from . import _where
        places.append(("recorded by cmake --install", os.path.normpath(
            os.path.join(os.path.dirname(os.path.abspath(__file__)), _where.LIBRARY))))
    except ImportError:
        pass
    places.append(("by the system's search", _SONAME))
    if sys.platform != "win32":
        import sysconfig
        multiarch = sysconfig.get_config_var("MULTIARCH")
        for prefix in dict.fromkeys([sys.prefix, sys.base_prefix, "/usr/local"]):
            for lib in ([os.path.join("lib", multiarch)] if multiarch else []) + ["lib", "lib64"]:
                places.append(("this Python's prefix" if prefix != "/usr/local" else "the default prefix",
                               os.path.join(prefix, lib, _SONAME)))
    return places


def library():
    """The loaded shared library (ctypes.CDLL), loaded on first use."""
    global _lib
    if _lib is None:
        tried = []
        for where, path in _library_places():
            label = "%s (%s)" % (path, where)
            if os.path.isabs(path) and not os.path.exists(path):
                tried.append((label, "no such file"))
                continue
            try:
                lib = ctypes.CDLL(path)
                break
            except OSError as e:
                tried.append((label, str(e).replace(path + ": ", "") or "not loadable"))
        else:
            raise LibraryNotFoundError(tried)
        for name, (restype, argtypes) in _SIGNATURES.items():
            f = getattr(lib, name)
            f.restype, f.argtypes = restype, argtypes
        for name, (restype, argtypes) in _OPTIONAL.items():
            f = getattr(lib, name, None)
            if f is not None:
                f.restype, f.argtypes = restype, argtypes
        lib.ZrSetMessageHandler(ctypes.cast(_ON_MESSAGE, ctypes.c_void_p), None)
        atexit.register(_quiet_at_exit, lib)
        _lib = lib
    return _lib


_HIVES = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKCR": "HKEY_CLASSES_ROOT",
          "HKU": "HKEY_USERS", "HKCC": "HKEY_CURRENT_CONFIG"}


def root_path(path):
    """A path from the root as zrreg reads one: "\\" or "/" between names, empty names dropped, a leading
    "My Computer" dropped, and HKLM, HKCU, HKCR, HKU and HKCC standing for the hives' full names."""
    parts = [p for p in path.replace("/", "\\").split("\\") if p]
    if parts and parts[0].upper() == "MY COMPUTER":
        parts.pop(0)
    if parts:
        parts[0] = _HIVES.get(parts[0].upper(), parts[0])
    return "\\".join(parts)


class Key:
    """An open key, a mapping of its values: key["Left"] is a str or an int (NotFoundError, a KeyError,
    when there is none), key["Left"] = -1920 sets one, del key["Left"] deletes it, "Left" in key tests
    for it, and iterating the key gives the values' names, as a dict's keys. subkeys() and has_subkey()
    are the subkeys'. Keys compare equal, and hash alike, when they name the same key of the same
    registry (names match without regard to ASCII case, as the registry matches them). Closes itself
    when it goes, at close(), at the end of a with block, and at the registry's unload."""

    def __init__(self, registry, handle, path, owned=True):
        self._registry, self._handle, self.path, self._owned = registry, handle, path, owned
        if owned:
            registry._keys[id(self)] = self

    def __repr__(self):
        return "<zrregdll.Key %r%s>" % (self.path, "" if self._handle else " closed")

    def _folded(self):
        return self.path.encode("latin-1").lower()  # ASCII letters only, as the registry folds names

    def __eq__(self, other):
        if not isinstance(other, Key):
            return NotImplemented
        return self._registry is other._registry and self._folded() == other._folded()

    def __hash__(self):
        return hash(self._folded())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # at interpreter exit the library may be gone already
            pass

    def close(self):
        handle, self._handle = self._handle, None
        if handle and self._owned:
            self._registry._keys.pop(id(self), None)
            library().ZrRegCloseKey(handle)

    @property
    def closed(self):
        return self._handle is None

    def _h(self, what):
        if self._handle is None:
            raise Error(3, what, "the key is closed")
        return self._handle

    def _sub(self, path, create, shown=None):
        what = "%s %r" % ("create" if create else "open", shown or path)
        text = _latin1(path, what, "path")
        out = ctypes.c_void_p()
        if create:
            rc = library().ZrRegCreateKey(self._h(what), _wide(text), ctypes.byref(out))
        else:
            rc = library().ZrRegOpenKeyEx(self._h(what), _wide(text), 0, ctypes.byref(out))
        if rc != SUCCESS:
            raise _error(rc, what, _why_bad(text, "name") if rc == BAD_NAME else None)
        sep = "\\" if self.path else ""
        return Key(self._registry, out.value, self.path + sep + text.replace("/", "\\"))

    def key(self, path):
        """The key at path below this one ("\\" or "/" between the names); NotFoundError when missing."""
        return self._sub(path, False)

    def create(self, path):
        """The key at path below this one, every missing level made."""
        return self._sub(path, True)

    def _get(self, name, flags):
        what = "read %r" % (name,)
        text = _latin1(name, what, "name")
        size = ctypes.c_uint32(256)
        kind = ctypes.c_uint32()
        while True:
            buf = ctypes.create_string_buffer(size.value)
            rc = library().ZrRegGetValue(self._h(what), None, _wide(text), flags, ctypes.byref(kind), buf,
                                         ctypes.byref(size))
            if rc != BUFFER_TOO_SMALL:  # the value may grow between calls: ask again
                break
        if rc != SUCCESS:
            raise _error(rc, what)
        if kind.value == TYPE_DWORD:
            return int.from_bytes(buf.raw[:4], "little")
        return buf.raw[:size.value - 2].decode("utf-16-le")

    def query_value(self, name):
        """(data, type) of the value name: data as winreg converts it (see the module's text), type one
        of REG_*; NotFoundError when there is none."""
        what = "read %r" % (name,)
        raw, kind = query_raw(self._h(what), _wide(_latin1(name, what, "name")), what)
        return _data.from_bytes(raw, kind), kind

    def __getitem__(self, name):
        return self.query_value(name)[0]

    def set_value(self, name, data, kind):
        """Sets the value name to data of type kind (REG_*), converted as winreg's SetValueEx converts it.
        A library without typed values (no ZrRegSetKeyValue) takes REG_SZ and REG_DWORD only and raises
        Error ZRREG_UNSUPPORTED_TYPE for the others."""
        what = "set %r" % (name,)
        text = _latin1(name, what, "name")
        set_raw(self._h(what), text, kind, _data.to_bytes(data, kind), what, data)

    def get(self, name, default=None):
        """The value's str or int, or default when there is none of that name."""
        try:
            return self[name]
        except NotFoundError:
            return default

    def get_str(self, name, default=None):
        """A string value, or default when there is none or it is an integer."""
        return self._get_or(name, _RT_SZ, default)

    def get_int(self, name, default=None):
        """An integer value, or default when there is none or it is a string."""
        return self._get_or(name, _RT_DWORD, default)

    def _get_or(self, name, kind, default):
        try:
            return self._get(name, kind)
        except Error as e:
            if e.code in (NOT_FOUND, UNSUPPORTED_TYPE):
                return default
            raise

    def __contains__(self, name):
        """Whether the key has a value of that name (has_subkey: a subkey)."""
        try:
            self.query_value(name)
        except NotFoundError:
            return False
        return True

    def has_subkey(self, name):
        """Whether the key has a subkey of that name (one name, not a path)."""
        what = "open %r" % (name,)
        if "\\" in name or "/" in name:
            raise ValueError("%s: has_subkey takes one name, not a path" % what)
        try:
            self._sub(name, False).close()
        except NotFoundError:
            return False
        return True

    def __setitem__(self, name, data):
        what = "set %r" % (name,)
        text = _latin1(name, what, "name")
        if isinstance(data, int):
            if not -2**31 <= data < 2**32:
                raise OverflowError("%s: REG_DWORD data must be an int from %d to %d, not %d"
                                    % (what, -2**31, 2**32 - 1, data))
            kind, raw, data = TYPE_DWORD, (data & 0xFFFFFFFF).to_bytes(4, "little"), ""
        else:
            if isinstance(data, float):
                raise TypeError("%s: REG_DWORD data must be an int from %d to %d, not float"
                                % (what, -2**31, 2**32 - 1))
            if not isinstance(data, (str, bytes, bytearray)):
                raise TypeError("%s: the data must be a str or bytes (REG_SZ) or an int from %d to %d "
                                "(REG_DWORD), not %s" % (what, -2**31, 2**32 - 1, type(data).__name__))
            data = _latin1(data, what, "text")
            kind, raw = TYPE_SZ, data.encode("latin-1") + b"\0"
        rc = library().ZrRegSetValueEx(self._h(what), _wide(text), kind, raw, len(raw))
        if rc != SUCCESS:
            raise _error(rc, what, rc == BAD_NAME and (_why_bad(text, "name") or _why_bad(data, "text")) or None)

    def _delete(self, function, name, what):
        what = "%s %r" % (what, name)
        rc = function(self._h(what), _wide(_latin1(name, what, "name")))
        if rc != SUCCESS:
            raise _error(rc, what)

    def __delitem__(self, name):
        self._delete(library().ZrRegDeleteValue, name, "delete the value")

    def delete_key(self, name):
        """Deletes the subkey name with its subtree; Error ZRREG_KEY_BUSY while it is open."""
        self._delete(library().ZrRegDeleteKey, name, "delete the key")

    def delete_tree(self, name):
        """Deletes the subkey name with its subtree, or, given "", every subkey and value of this key,
        which stays: all or nothing."""
        self._delete(library().ZrRegDeleteTree, name, "delete the tree")

    def _rename(self, function, name, new_name, what, *before):
        what = "%s %r to %r" % (what, name, new_name)
        old, new = _latin1(name, what, "name"), _latin1(new_name, what, "new name")
        rc = function(self._h(what), *before, _wide(old), _wide(new))
        if rc != SUCCESS:
            raise _error(rc, what, rc == BAD_NAME and _why_bad(new, "new name") or None)

    def rename_key(self, name, new_name):
        """Renames the subkey name (a path below this key; "": this key) in its place, as one
        change; Error ZRREG_ALREADY_EXISTS when new_name is taken, ZRREG_KEY_BUSY while other
        handles are open on it or below it."""
        self._rename(library().ZrRegRenameKey, name, new_name, "rename the key")

    def rename_value(self, name, new_name):
        """Renames the value name in its place, keeping its type and data, as one change; Error
        ZRREG_ALREADY_EXISTS when new_name is taken."""
        self._rename(library().ZrRegRenameValue, name, new_name, "rename the value", None)

    def flush(self):
        """Returns once every change made so far survives a power loss (the whole registry)."""
        rc = library().ZrRegFlushKey(self._h("flush"))
        if rc != SUCCESS:
            raise _error(rc, "flush")

    def _count(self, values):
        n = ctypes.c_uint32()
        counts = (None, None, ctypes.byref(n)) if values else (ctypes.byref(n), None, None)
        rc = library().ZrRegQueryInfoKey(self._h("count"), counts[0], None, counts[2], None, None)
        if rc != SUCCESS:
            raise _error(rc, "count the %s of %r" % ("values" if values else "subkeys", self.path))
        return n.value

    def subkey_count(self):
        return self._count(False)

    def value_count(self):
        return self._count(True)

    def subkeys(self):
        """The names of the subkeys, in the key's order, read one at a time as the loop goes."""
        name = (ctypes.c_ushort * 256)()
        n = ctypes.c_uint32()
        i = 0
        while True:
            rc = library().ZrRegEnumKeyEx(self._h("enumerate"), i, name, ctypes.byref(n))
            if rc == NO_MORE_ITEMS:
                return
            if rc != SUCCESS:
                raise _error(rc, "enumerate the subkeys of %r" % self.path)
            yield _text(name, n.value)
            i += 1

    def values(self):
        """(name, value) for each value, in the key's order, data as key[name] gives it."""
        return ((name, data) for name, data, _ in self.typed_values())

    def typed_values(self):
        """(name, data, type) for each value, in the key's order."""
        i = 0
        while True:
            got = enum_value(self._h("enumerate"), i, "enumerate the values of %r" % self.path)
            if got is None:
                return
            yield got
            i += 1

    def items(self):
        return self.values()

    def __iter__(self):
        """The values' names, as a mapping's keys; subkeys() gives the subkeys' names."""
        return (name for name, _ in self.values())


def query_raw(handle, wide_name, what):
    """(bytes, type) of a value of the key handle, asked again while it grows between calls."""
    room = ctypes.c_uint32(256)
    kind = ctypes.c_uint32()
    while True:
        buf = ctypes.create_string_buffer(room.value)
        size = ctypes.c_uint32(room.value)
        rc = library().ZrRegQueryValueEx(handle, wide_name, ctypes.byref(kind), buf, ctypes.byref(size))
        if rc != BUFFER_TOO_SMALL:
            break
        room.value = max(size.value, 2 * room.value)
    if rc != SUCCESS:
        raise _error(rc, what)
    return _data.wide_bytes(buf.raw, kind.value, size.value), kind.value


def enum_value(handle, index, what):
    """(name, data, type) of the value at index of the key handle, or None past the last."""
    name_room, data_room = 64, 256
    while True:
        name = (ctypes.c_ushort * name_room)()
        data = ctypes.create_string_buffer(data_room)
        cch, cb, kind = ctypes.c_uint32(name_room), ctypes.c_uint32(data_room), ctypes.c_uint32()
        rc = library().ZrRegEnumValue(handle, index, name, ctypes.byref(cch), ctypes.byref(kind), data,
                                      ctypes.byref(cb))
        if rc == BUFFER_TOO_SMALL:  # both rooms needed are told
            name_room, data_room = max(name_room, cch.value + 1), max(data_room, 2 * cb.value)
            continue
        if rc == NO_MORE_ITEMS:
            return None
        if rc != SUCCESS:
            raise _error(rc, what)
        raw = _data.wide_bytes(data.raw, kind.value, cb.value)
        return _text(name, cch.value), _data.from_bytes(raw, kind.value), kind.value


def set_raw(handle, name, kind, raw, what, shown=None):
    """Sets the value name (text of the registry's characters) of the key handle to the bytes raw of type
    kind: through ZrRegSetKeyValue where the library has it, else through ZrRegSetValueEx, which holds
    a REG_SZ of 8-bit characters and a REG_DWORD only."""
    lib = library()
    typed = getattr(lib, "ZrRegSetKeyValue", None)
    if typed is not None:
        rc = typed(handle, None, _wide(name), kind, raw, len(raw))
    elif kind == REG_DWORD and len(raw) == 4:
        rc = lib.ZrRegSetValueEx(handle, _wide(name), TYPE_DWORD, raw, 4)
    elif kind == REG_SZ:
        text = _latin1(_data.from_bytes(raw, REG_SZ), what, "text")
        data = text.encode("latin-1") + b"\0"
        rc = lib.ZrRegSetValueEx(handle, _wide(name), TYPE_SZ, data, len(data))
    else:
        raise Error(UNSUPPORTED_TYPE, what, "this library holds REG_SZ and REG_DWORD values only (it has no "
                    "ZrRegSetKeyValue); type %d is refused" % kind)
    if rc != SUCCESS:
        why = None
        if rc == BAD_NAME:
            why = _why_bad(name, "name") or (isinstance(shown, str) and _why_bad(shown, "text")) or None
        raise _error(rc, what, why)


def typed_values():
    """Whether the library stores values of every type (ZrRegSetKeyValue)."""
    return getattr(library(), "ZrRegSetKeyValue", None) is not None


_EMPTY_REGISTRY = b'KEY "My Computer"\n(\n)\n'  # what zrreg init writes: the root key only


def _create_file(path):
    """Writes the empty registry at path unless something is there (an empty file too): into a new
    temporary file beside it, then linked (POSIX) or renamed (Windows, whose rename replaces nothing) to
    its name, so that no process sees a part of it and a file another process made meanwhile stays."""
    base = os.path.basename(path)
    if "." not in base:
        raise ValueError("create %r: it cannot be saved: the library names its temporary file after the part "
                         "of the file name before its first \".\", and this name has none" % path)
    if os.path.lexists(path):
        return
    try:
        _create_beside(path)
    except OSError as e:  # named by the file asked for, not the temporary one
        raise type(e)(e.errno, e.strerror, path) from None


def _create_beside(path):
    for i in range(100):
        tmp = "%s.%d-%d.new" % (path, os.getpid(), i)
        try:
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            break
        except FileExistsError:
            continue
    else:
        raise FileExistsError(errno.EEXIST, "no free temporary name beside it")
    try:
        try:
            os.write(fd, _EMPTY_REGISTRY)
            os.fsync(fd)
        finally:
            os.close(fd)
        if sys.platform == "win32":
            try:
                os.rename(tmp, path)
            except FileExistsError:
                pass
        else:
            try:
                os.link(tmp, path)
            except FileExistsError:
                pass
            except OSError as e:
                if e.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP):
                    raise
                _create_in_place(path)  # a file system without hard links
    finally:
        if os.path.lexists(tmp):
            os.unlink(tmp)


def _create_in_place(path):
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except FileExistsError:
        return
    try:
        os.write(fd, _EMPTY_REGISTRY)
        os.fsync(fd)
    except OSError:
        os.close(fd)
        os.unlink(path)
        raise
    os.close(fd)


def _load_failure(path, code):
    """Why a load of path failed where the library's code alone would not say it: the file is not there,
    cannot be read, or is empty; None when there is nothing more to say."""
    if code == 5:
        if len(os.fsencode(path)) >= 512:
            return "the path has 512 bytes or more"
        if not os.path.exists(path):
            return "there is no such file (load(path, create=True), or zrreg init, writes an empty registry file)"
        if os.path.isdir(path):
            return "it is a directory"
        try:
            open(path, "rb").close()
        except OSError as e:
            return e.strerror
    elif code == 1:
        try:
            with open(path, "rb") as f:
                if not f.read(1):
                    return ("the file is empty, where a registry file holds at least its root key "
                            "(load(path, create=True), or zrreg init, writes one where there is no file)")
        except OSError:
            pass
    return None


# ZrRegLoadAppKey's refusals as the load's results.
_APP_LOAD = {1009: (1, None), 32: (1, "the file is the registry that this process loaded with ZrLoadRegistry")}


def load_app_key(path):
    """(root handle, the library's messages) of the registry file path loaded through ZrRegLoadAppKey;
    LoadError (TooLongError, or a FileNotFoundError too when it cannot be opened) when it fails."""
    lib, heard = library(), []
    outer, _here.heard = getattr(_here, "heard", None), heard
    root = ctypes.c_void_p()
    try:
        rc = lib.ZrRegLoadAppKey(os.fsencode(path), ctypes.byref(root), 0, 0, 0)
    finally:
        _here.heard = outer
    if rc == SUCCESS:
        return root.value
    rc, why = _APP_LOAD.get(rc, (rc, None))
    too_long = [m for m in heard if m.kind == MSG_TOO_LONG]
    if too_long:
        limit = re.search(r"\d+$", too_long[-1].text)
        raise TooLongError(rc, path, too_long[-1].line, int(limit.group()) if limit else 10000, heard)
    said = [m.text for m in heard if m.kind == MSG_SYNTAX]
    why = why or _load_failure(path, rc) or (said[-1] if said else None)
    raise (_MissingFileError if rc == 5 else LoadError)(rc, "load %r" % path, why, heard)


class Registry:
    """A loaded registry file, a registry of its own beside any other loaded (the same file loaded twice
    is one registry). unload() (or the end of a with block) closes every key still open; the file's
    last unload in the process writes a changed tree back. With create=True, a missing file is written
    first as an empty registry (the root key only, as zrreg init writes it); a file that is there is
    never written over."""

    def __init__(self, path, create=False):
        self.path = os.fspath(path)
        self._loaded = False
        self._keys = weakref.WeakValueDictionary()  # by identity: equal keys are each closed
        if create:
            _create_file(self.path)
        self._root = load_app_key(self.path)
        self._loaded = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.unload()

    def __repr__(self):
        return "<zrregdll.Registry %r%s>" % (self.path, "" if self._loaded else " unloaded")

    @property
    def loaded(self):
        return self._loaded

    def unload(self):
        if self._loaded:
            for k in list(self._keys.values()):
                k.close()
            self._loaded = False
            library().ZrRegCloseKey(self._root)

    def root(self):
        """The root key, "My Computer"."""
        if not self._loaded:
            raise Error(9, "open the root")
        return Key(self, self._root, "", owned=False)

    def key(self, path):
        """The key at path from the root: r"HKCU\\Software\\MORVANE" or "HKCU/Software/MORVANE"."""
        return self._from_root(path, False)

    def create(self, path):
        """The same, every missing level made."""
        return self._from_root(path, True)

    def _from_root(self, path, create):
        if not self._loaded:
            raise Error(9, "%s %r" % ("create" if create else "open", path))
        rooted = root_path(path)
        if not rooted:
            return self.root()
        return self.root()._sub(rooted, create, shown=path)


def load(path, create=False):
    """Loads the registry file at path: use it in a with block, which unloads it at the end. With
    create=True, a missing file is written first as an empty registry; one that is there stays as it is.
    Other files may be loaded at the same time, each a registry of its own."""
    return Registry(path, create)
