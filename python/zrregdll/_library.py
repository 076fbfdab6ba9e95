"""The shared library through ctypes: where it is found, the signature of each call used, and the
library's messages, which come here (ZrSetMessageHandler)."""

import atexit
import collections
import ctypes
import os
import sys
import threading


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
