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

import ctypes
import errno
import os
import re
import sys
import weakref

from ._data import (REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_LINK,
                    REG_MULTI_SZ, REG_QWORD)
# The module's parts: the results and errors, the ctypes binding with the library's messages, and the
# key object with its typed data; the registry's load is here.
from ._errors import (RESULTS, LOAD_RESULTS, SUCCESS, NOT_FOUND, NO_MORE_ITEMS, BUFFER_TOO_SMALL, BAD_NAME,
                      UNSUPPORTED_TYPE, TYPE_SZ, TYPE_DWORD, Error, LoadError, TooLongError, NotFoundError,
                      _MissingFileError, as_signed, result_name)
from ._library import (LibraryNotFoundError, Message, MSG_SYNTAX, MSG_TOO_LONG, MSG_SAVE, MSG_SHARING, library,
                       set_message_handler, _here)
from ._key import Key, root_path, query_raw, enum_value, set_raw, typed_values

globals().update({_name: _code for _code, (_name, _words) in RESULTS.items()})  # ZRREG_NOT_FOUND and the rest
for _class in (Error, LoadError, TooLongError, NotFoundError, _MissingFileError, LibraryNotFoundError, Message, Key):
    _class.__module__ = __name__  # as the classes were named before the module had parts

__version__ = "1.4.0"
__all__ = ["load", "Registry", "Key", "Error", "LoadError", "TooLongError", "NotFoundError", "LibraryNotFoundError",
           "as_signed", "result_name", "Message", "set_message_handler", "MSG_SYNTAX", "MSG_TOO_LONG", "MSG_SAVE", "MSG_SHARING",
           "REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",
           "REG_MULTI_SZ", "REG_QWORD", "typed_values"]

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
