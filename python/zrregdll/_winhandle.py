"""zrregdll.winreg's handles over the registry file: the file the calls go to (use), the HKEY_* roots as
its top-level keys, HKEYType, and errors raised as winreg raises them."""

from . import _data
import atexit
import ctypes
import os
import threading

from ._errors import Error, SUCCESS, BAD_NAME, _wide
from ._library import library
from . import load_app_key, _create_file

HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS = 0x80000000, 0x80000001, 0x80000002, 0x80000003
HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA = 0x80000004, 0x80000005, 0x80000006
_HIVES = {HKEY_CLASSES_ROOT: "HKEY_CLASSES_ROOT", HKEY_CURRENT_USER: "HKEY_CURRENT_USER",
          HKEY_LOCAL_MACHINE: "HKEY_LOCAL_MACHINE", HKEY_USERS: "HKEY_USERS",
          HKEY_PERFORMANCE_DATA: "HKEY_PERFORMANCE_DATA", HKEY_CURRENT_CONFIG: "HKEY_CURRENT_CONFIG",
          HKEY_DYN_DATA: "HKEY_DYN_DATA"}

_ERROR_ACCESS_DENIED, _ERROR_INVALID_HANDLE, _ERROR_BAD_NETPATH = 5, 6, 53
_ERROR_INVALID_PARAMETER, _ERROR_ALREADY_EXISTS = 87, 183

_lock = threading.RLock()
_state = {"path": None, "root": None, "hives": {}}
# Each open handle's key as (its registry's root handle, its path from there): the library opens no
# second handle of a key by an empty path, where Windows does.
_paths = {}


def use(path):
    """Makes path the registry file of the calls from now on (ZRREGDLL_FILE's file otherwise). Handles
    open already stay on the file they were opened in."""
    with _lock:
        _let_go()
        _state["path"] = os.fspath(path)


def _let_go():
    lib = library()
    for token in _state["hives"].values():
        lib.ZrRegCloseKey(token)
    if _state["root"]:
        lib.ZrRegCloseKey(_state["root"])
    _state["root"], _state["hives"] = None, {}


def _root():
    with _lock:
        if _state["root"] is None:
            path = _state["path"] or os.environ.get("ZRREGDLL_FILE")
            if not path:
                raise RuntimeError("zrregdll.winreg: no registry file: set ZRREGDLL_FILE or call "
                                   "zrregdll.winreg.use(path) first")
            _create_file(path)
            try:
                _state["root"] = load_app_key(path)
            except Error as e:
                raise _os_error(e) from None
        return _state["root"]


def _hive(number):
    with _lock:
        token = _state["hives"].get(number)
        if token is None:
            root = _root()
            token = _create(root, _HIVES[number], "CreateKey")
            _state["hives"][number] = token
            _paths[token] = (root, _HIVES[number])
        return token


def _forget(token):
    with _lock:
        _paths.pop(token, None)


atexit.register(lambda: _lock.acquire(False) and _let_go())


def _os_error(e):
    """A library Error as the OSError winreg raises: FileNotFoundError for ERROR_FILE_NOT_FOUND."""
    return _data.os_error(e.winerror, str(e))


def _check(rc, what, name=None):
    if rc != SUCCESS:
        winerror = _data.WINERROR.get(rc, _ERROR_INVALID_PARAMETER)
        why = _data.WINERROR_TEXT.get(winerror, "Windows error %d" % winerror)
        if rc == BAD_NAME and name is not None:
            why = "%s (%s: the registry file cannot hold the name %r)" % (why, what, name)
        raise _data.os_error(winerror, why)


class HKEYType:
    """A handle of an open key, as winreg's PyHKEY: Close(), Detach(), .handle, int(), a bool that is
    false once closed, and a context manager that closes it. It closes itself when it goes."""

    def __init__(self, handle):
        self._handle = handle or 0

    @property
    def handle(self):
        return self._handle

    def __int__(self):
        return self._handle

    def __bool__(self):
        return self._handle != 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.Close()
        return False

    def __str__(self):
        return "<PyHKEY:0x%x>" % self._handle

    def Close(self):
        handle, self._handle = self._handle, 0
        if handle and handle not in _HIVES:
            _forget(handle)
            _check(library().ZrRegCloseKey(handle), "CloseKey")

    def Detach(self):
        handle, self._handle = self._handle, 0
        return handle

    def __del__(self):
        try:
            self.Close()
        except Exception:  # at the interpreter's end the library may be gone
            pass


PyHKEY = HKEYType


def _token(key):
    """The library's handle of a winreg key argument: a HKEYType, an int, or a HKEY_* constant."""
    if isinstance(key, HKEYType):
        number = key.handle
    elif isinstance(key, int) and not isinstance(key, bool):
        number = key
    else:
        raise TypeError("The object is not a PyHKEY object")
    if number in _HIVES:
        return _hive(number)
    if not number:
        raise _data.os_error(_ERROR_INVALID_HANDLE)
    return number


def _name(text, what, kind="sub_key"):
    if text is None:
        return ""
    if not isinstance(text, str):
        raise TypeError("%s() argument %s must be str or None, not %s" % (what, kind, type(text).__name__))
    if "\0" in text:
        raise ValueError("embedded null character")
    return text


def _made(base, sub_key, token):
    with _lock:
        root, path = _paths.get(base, (None, None))
        if root is not None:
            _paths[token] = (root, path + "\\" + sub_key)
    return token


def _create(base, sub_key, what):
    out = ctypes.c_void_p()
    _check(library().ZrRegCreateKey(base, _wide(sub_key), ctypes.byref(out)), what, sub_key)
    return _made(base, sub_key, out.value)


def _open(base, sub_key, what):
    out = ctypes.c_void_p()
    if sub_key:
        _check(library().ZrRegOpenKeyEx(base, _wide(sub_key), 0, ctypes.byref(out)), what, sub_key)
        return _made(base, sub_key, out.value)
    with _lock:
        root, path = _paths.get(base, (None, None))
    if root is None:
        raise _data.os_error(_ERROR_INVALID_HANDLE)
    _check(library().ZrRegOpenKeyEx(root, _wide(path), 0, ctypes.byref(out)), what, path)
    with _lock:
        _paths[out.value] = (root, path)
    return out.value


def _open_or_same(base, sub_key, what, create):
    """A new handle of sub_key below base ("": of base itself)."""
    return (_create if create and sub_key else _open)(base, sub_key, what)
