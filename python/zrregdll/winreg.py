"""Python's winreg over a registry file, on any system: a script written for winreg runs with its import
changed to `import zrregdll.winreg as winreg`.

The file is the one named by the environment variable ZRREGDLL_FILE, or given to use(path) (a file not
there yet is written as an empty registry first). Each HKEY_* root is the file's top-level key of that
name, made on first use. It is loaded privately (ZrRegLoadAppKey) beside any other registry of the
process; a change is durable and seen by other processes when its call returns, and the file is written
back when the last handle closes (at the latest when Python ends). Access rights are taken and not
checked; LoadKey copies a file saved by SaveKey in below a key (Windows mounts it instead); a key not
changed since the load has the registry file's last-write time. Errors are OSError with .winerror, FileNotFoundError where
Windows answers ERROR_FILE_NOT_FOUND.
"""

import builtins
import ctypes
import os

from . import _data
from ._errors import Error, NotFoundError, SUCCESS, NO_MORE_ITEMS, BAD_NAME, _wide, _text
from ._library import library
from ._key import query_raw, enum_value, set_raw
from . import load_app_key, _create_file
from ._data import (REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_LINK,
                    REG_MULTI_SZ, REG_RESOURCE_LIST, REG_FULL_RESOURCE_DESCRIPTOR, REG_RESOURCE_REQUIREMENTS_LIST,
                    REG_QWORD)

from ._winhandle import (HKEYType, HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER, HKEY_DYN_DATA, HKEY_LOCAL_MACHINE, HKEY_PERFORMANCE_DATA, HKEY_USERS, PyHKEY, use)
from ._winhandle import (_ERROR_ACCESS_DENIED, _ERROR_ALREADY_EXISTS, _ERROR_BAD_NETPATH, _ERROR_INVALID_HANDLE, _ERROR_INVALID_PARAMETER, _HIVES, _check, _create, _forget, _hive, _name, _open, _open_or_same, _os_error, _state, _token)

HKEYType.__module__ = __name__

REG_DWORD_LITTLE_ENDIAN, REG_QWORD_LITTLE_ENDIAN = REG_DWORD, REG_QWORD

KEY_QUERY_VALUE, KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_ENUMERATE_SUB_KEYS = 0x1, 0x2, 0x4, 0x8
KEY_NOTIFY, KEY_CREATE_LINK, KEY_WOW64_64KEY, KEY_WOW64_32KEY = 0x10, 0x20, 0x100, 0x200
KEY_READ = KEY_EXECUTE = 0x20019
KEY_WRITE, KEY_ALL_ACCESS = 0x20006, 0xF003F

REG_OPTION_RESERVED = REG_OPTION_NON_VOLATILE = 0
REG_OPTION_VOLATILE, REG_OPTION_CREATE_LINK, REG_OPTION_BACKUP_RESTORE, REG_OPTION_OPEN_LINK = 1, 2, 4, 8
REG_LEGAL_OPTION = 0xF
REG_CREATED_NEW_KEY, REG_OPENED_EXISTING_KEY = 1, 2
REG_WHOLE_HIVE_VOLATILE, REG_REFRESH_HIVE, REG_NO_LAZY_FLUSH = 1, 2, 4
REG_NOTIFY_CHANGE_NAME, REG_NOTIFY_CHANGE_ATTRIBUTES, REG_NOTIFY_CHANGE_LAST_SET = 1, 2, 4
REG_NOTIFY_CHANGE_SECURITY, REG_LEGAL_CHANGE_FILTER = 8, 0xF

error = OSError

# ---- the functions of winreg ----------------------------------------------------------------


def CloseKey(hkey, /):
    if isinstance(hkey, HKEYType):
        hkey.Close()
    elif isinstance(hkey, int) and not isinstance(hkey, bool):
        if hkey and hkey not in _HIVES:
            _forget(hkey)
            _check(library().ZrRegCloseKey(hkey), "CloseKey")
    else:
        raise TypeError("The object is not a PyHKEY object")


def ConnectRegistry(computer_name, key, /):
    if computer_name is not None:
        if not isinstance(computer_name, str):
            raise TypeError("ConnectRegistry() argument 1 must be str or None, not %s" % type(computer_name).__name__)
        raise _data.os_error(_ERROR_BAD_NETPATH)
    if isinstance(key, HKEYType):
        key = key.handle
    if key not in _HIVES:
        raise _data.os_error(_ERROR_INVALID_HANDLE)
    return HKEYType(_open(_hive(key), "", "ConnectRegistry"))


def CreateKey(key, sub_key, /):
    base = _token(key)
    return HKEYType(_open_or_same(base, _name(sub_key, "CreateKey"), "CreateKey", True))


def CreateKeyEx(key, sub_key, reserved=0, access=KEY_WRITE):
    base = _token(key)
    return HKEYType(_open_or_same(base, _name(sub_key, "CreateKeyEx"), "CreateKeyEx", True))


def _subkey_count(token):
    n = ctypes.c_uint32()
    _check(library().ZrRegQueryInfoKey(token, ctypes.byref(n), None, None, None, None), "QueryInfoKey")
    return n.value


def DeleteKey(key, sub_key, /):
    base = _token(key)
    sub_key = _name(sub_key, "DeleteKey")
    # Windows deletes a key without subkeys only.
    child = _open(base, sub_key, "DeleteKey")
    try:
        if _subkey_count(child):
            raise _data.os_error(_ERROR_ACCESS_DENIED)
    finally:
        library().ZrRegCloseKey(child)
    _check(library().ZrRegDeleteKey(base, _wide(sub_key)), "DeleteKey", sub_key)


def DeleteKeyEx(key, sub_key, access=KEY_WOW64_64KEY, reserved=0):
    DeleteKey(key, sub_key)


def DeleteValue(key, value, /):
    name = _name(value, "DeleteValue", "value")
    _check(library().ZrRegDeleteValue(_token(key), _wide(name)), "DeleteValue", name)


def EnumKey(key, index, /):
    if not isinstance(index, int):
        raise TypeError("'%s' object cannot be interpreted as an integer" % type(index).__name__)
    name = (ctypes.c_ushort * 256)()
    n = ctypes.c_uint32()
    if not 0 <= index < 2**32:
        raise _data.os_error(NO_MORE_ITEMS)
    _check(library().ZrRegEnumKeyEx(_token(key), index, name, ctypes.byref(n)), "EnumKey")
    return _text(name, n.value)


def EnumValue(key, index, /):
    if not isinstance(index, int):
        raise TypeError("'%s' object cannot be interpreted as an integer" % type(index).__name__)
    if not 0 <= index < 2**32:
        raise _data.os_error(NO_MORE_ITEMS)
    try:
        got = enum_value(_token(key), index, "EnumValue")
    except Error as e:
        raise _os_error(e) from None
    if got is None:
        raise _data.os_error(NO_MORE_ITEMS)
    return got


def ExpandEnvironmentStrings(str, /):
    """%NAME% replaced by the environment variable NAME (its name in any case, as Windows finds it);
    a name that is not set, and a lone %, stay as they are."""
    if not isinstance(str, type("")):
        raise TypeError("ExpandEnvironmentStrings() argument must be str, not %s" % type(str).__name__)
    folded = {k.upper(): v for k, v in os.environ.items()}
    out, i = [], 0
    while i < len(str):
        start = str.find("%", i)
        end = str.find("%", start + 1) if start >= 0 else -1
        if start < 0 or end < 0:
            out.append(str[i:])
            break
        name = str[start + 1:end]
        value = os.environ.get(name, folded.get(name.upper())) if name else None
        if value is None:
            out.append(str[i:end])
            i = end
            continue
        out.append(str[i:start] + value)
        i = end + 1
    return "".join(out)


def FlushKey(key, /):
    _check(library().ZrRegFlushKey(_token(key)), "FlushKey")


def _copy_tree(source, target):
    """Every value and subkey of the key source into the key target (handles of any registries)."""
    lib, i = library(), 0
    while True:
        got = enum_value(source, i, "SaveKey")
        if got is None:
            break
        name, _, kind = got
        raw, kind = query_raw(source, _wide(name), "SaveKey")
        set_raw(target, name, kind, raw, "SaveKey")
        i += 1
    i = 0
    while True:
        try:
            child = EnumKey(source, i)
        except OSError as e:
            if e.winerror == NO_MORE_ITEMS:
                return
            raise
        a, b = _open(source, child, "SaveKey"), _create(target, child, "SaveKey")
        try:
            _copy_tree(a, b)
        finally:
            lib.ZrRegCloseKey(a)
            lib.ZrRegCloseKey(b)
        i += 1


def SaveKey(key, file_name, /):
    """Writes the key with its subtree to file_name as a registry file, whose root holds what the key
    holds; a file that is there already is refused (ERROR_ALREADY_EXISTS)."""
    token = _token(key)
    file_name = os.fspath(file_name)
    if os.path.lexists(file_name):
        raise _data.os_error(_ERROR_ALREADY_EXISTS)
    _create_file(file_name)
    try:
        saved = load_app_key(file_name)
    except Error as e:
        raise _os_error(e) from None
    try:
        _copy_tree(token, saved)
    except Error as e:
        raise _os_error(e) from None
    finally:
        library().ZrRegCloseKey(saved)


def LoadKey(key, sub_key, file_name, /):
    """Creates sub_key below key and copies into it what the registry file file_name (as SaveKey writes
    one) holds below its root."""
    base = _token(key)
    sub_key = _name(sub_key, "LoadKey")
    if not sub_key:
        raise _data.os_error(_ERROR_INVALID_PARAMETER)
    try:
        loaded = load_app_key(os.fspath(file_name))
    except Error as e:
        raise _os_error(e) from None
    target = None
    try:
        target = _create(base, sub_key, "LoadKey")
        _copy_tree(loaded, target)
    except Error as e:
        raise _os_error(e) from None
    finally:
        if target:
            library().ZrRegCloseKey(target)
        library().ZrRegCloseKey(loaded)


def OpenKey(key, sub_key, reserved=0, access=KEY_READ):
    base = _token(key)
    return HKEYType(_open(base, _name(sub_key, "OpenKey"), "OpenKey"))


def OpenKeyEx(key, sub_key, reserved=0, access=KEY_READ):
    base = _token(key)
    return HKEYType(_open(base, _name(sub_key, "OpenKeyEx"), "OpenKeyEx"))


def _file_time():
    """Without the library's per-key time (an older library): the registry file's last change, or its change
    log's, in 100 ns units since 1601."""
    path = _state["path"] or os.environ.get("ZRREGDLL_FILE")
    ns = 0
    for p in (path, path + "-log") if path else ():
        try:
            ns = max(ns, os.stat(p).st_mtime_ns)
        except OSError:
            pass
    return ns // 100 + 116444736000000000


def QueryInfoKey(key, /):
    token = _token(key)
    subkeys, values, written = ctypes.c_uint32(), ctypes.c_uint32(), ctypes.c_uint64()
    _check(library().ZrRegQueryInfoKey(token, ctypes.byref(subkeys), None, ctypes.byref(values), None, None),
           "QueryInfoKey")
    query_time = getattr(library(), "ZrRegQueryLastWriteTime", None)
    if query_time is None:
        return subkeys.value, values.value, _file_time()
    _check(query_time(token, ctypes.byref(written)), "QueryInfoKey")
    return subkeys.value, values.value, written.value


def QueryValue(key, sub_key, /):
    base = _token(key)
    sub_key = _name(sub_key, "QueryValue")
    handle = _open(base, sub_key, "QueryValue") if sub_key else base
    try:
        raw, kind = query_raw(handle, _wide(""), "QueryValue")
    except NotFoundError:
        return ""
    except Error as e:
        raise _os_error(e) from None
    finally:
        if handle != base:
            library().ZrRegCloseKey(handle)
    if kind not in (REG_SZ, REG_EXPAND_SZ):
        raise _data.os_error(13)
    return _data.from_bytes(raw, kind)


def QueryValueEx(key, value_name, /):
    name = _name(value_name, "QueryValueEx", "value_name")
    try:
        raw, kind = query_raw(_token(key), _wide(name), "QueryValueEx")
    except Error as e:
        raise _os_error(e) from None
    return _data.from_bytes(raw, kind), kind


def _set(token, name, kind, value, what):
    if not isinstance(kind, int):
        raise TypeError("'%s' object cannot be interpreted as an integer" % type(kind).__name__)
    raw = _data.to_bytes(value, kind)
    try:
        set_raw(token, name, kind, raw, what, value)
    except Error as e:
        raise _os_error(e) from None


def SetValue(key, sub_key, type, value, /):
    if type != REG_SZ:
        raise TypeError("type must be winreg.REG_SZ")
    if not isinstance(value, str):
        raise TypeError("SetValue() argument 4 must be str, not %s" % builtins.type(value).__name__)
    base = _token(key)
    sub_key = _name(sub_key, "SetValue")
    handle = _create(base, sub_key, "SetValue") if sub_key else base
    try:
        _set(handle, "", REG_SZ, value, "SetValue")
    finally:
        if handle != base:
            library().ZrRegCloseKey(handle)


def SetValueEx(key, value_name, reserved, type, value, /):
    name = _name(value_name, "SetValueEx", "value_name")
    _set(_token(key), name, type, value, "SetValueEx")


def DisableReflectionKey(key, /):
    _token(key)


def EnableReflectionKey(key, /):
    _token(key)


def QueryReflectionKey(key, /):
    """True: nothing is reflected in a registry file."""
    _token(key)
    return True
