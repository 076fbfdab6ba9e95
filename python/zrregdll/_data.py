"""Registry data between Python and the bytes a value holds, as Python's winreg converts it, and the
Windows error numbers the library's results stand for."""

import errno

REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN = 0, 1, 2, 3, 4, 5
REG_LINK, REG_MULTI_SZ, REG_RESOURCE_LIST, REG_FULL_RESOURCE_DESCRIPTOR = 6, 7, 8, 9
REG_RESOURCE_REQUIREMENTS_LIST, REG_QWORD = 10, 11


def to_bytes(value, kind):
    """The bytes that value is stored as under type kind (strings UTF-16LE with their NULs), as winreg's
    SetValueEx makes them: None is the type's empty data; TypeError, ValueError or OverflowError as it
    raises them."""
    if kind in (REG_SZ, REG_EXPAND_SZ):
        if value is None:
            value = ""
        if not isinstance(value, str):
            raise ValueError("Could not convert the data to the specified type.")
        return (value + "\0").encode("utf-16-le", "surrogatepass")
    if kind in (REG_DWORD, REG_QWORD):
        if value is None:
            value = 0
        if not isinstance(value, int):
            raise ValueError("Could not convert the data to the specified type.")
        size = 4 if kind == REG_DWORD else 8
        if not 0 <= value < 1 << (8 * size):
            raise OverflowError("int too big to convert" if value > 0 else
                                "can't convert negative value to unsigned int")
        return value.to_bytes(size, "little")
    if kind == REG_MULTI_SZ:
        if value is None:
            value = []
        if not isinstance(value, list) or not all(isinstance(s, str) for s in value):
            raise ValueError("Could not convert the data to the specified type.")
        return "".join(s + "\0" for s in value).encode("utf-16-le", "surrogatepass") + b"\0\0"
    if value is None:
        return b""
    try:
        return bytes(memoryview(value))
    except TypeError:
        raise TypeError("Objects of type '%s' can not be used as binary registry values"
                        % type(value).__name__) from None


def _strings(raw):
    """UTF-16LE bytes as text; an odd last byte is dropped."""
    return raw[:len(raw) & ~1].decode("utf-16-le", "surrogatepass")


def from_bytes(raw, kind):
    """A value's bytes as winreg hands them out: REG_DWORD and REG_QWORD unsigned (0 when of another
    size), REG_SZ and REG_EXPAND_SZ cut at the first NUL, REG_MULTI_SZ a list up to its empty string,
    any other type bytes, or None when empty."""
    if kind == REG_DWORD:
        return int.from_bytes(raw, "little") if len(raw) == 4 else 0
    if kind == REG_QWORD:
        return int.from_bytes(raw, "little") if len(raw) == 8 else 0
    if kind in (REG_SZ, REG_EXPAND_SZ):
        return _strings(raw).split("\0", 1)[0]
    if kind == REG_MULTI_SZ:
        strings = []
        for s in _strings(raw).split("\0"):
            if not s:
                break
            strings.append(s)
        return strings
    return bytes(raw) if raw else None


def wide_bytes(raw, kind, size):
    """The bytes of a value as the library's query handed them back: the plain 8-bit string, the old
    kind, counts characters, every other value bytes; the buffer is zero-filled beyond either."""
    if kind in (REG_SZ, REG_EXPAND_SZ):
        return raw[:2 * size]
    return raw[:size]


# The Windows error each result of the library stands for, as winreg reports it.
WINERROR = {2: 8, 3: 6, 5: 2, 7: 234, 8: 1018, 9: 6, 10: 5, 11: 87, 29: 29, 32: 32, 183: 183, 259: 259,
            1009: 1009, 1630: 1630, -1: 87}
WINERROR_TEXT = {
    2: "The system cannot find the file specified",
    5: "Access is denied",
    6: "The handle is invalid",
    8: "Not enough memory resources are available to process this command",
    13: "The data is invalid",
    29: "The system cannot write to the specified device",
    32: "The process cannot access the file because it is being used by another process",
    53: "The network path was not found",
    87: "The parameter is incorrect",
    183: "Cannot create a file when that file already exists",
    234: "More data is available",
    259: "No more data is available",
    1009: "The configuration registry database is corrupt",
    1018: "Illegal operation attempted on a registry key that has been marked for deletion",
    1630: "Data of this type is not supported",
}
# The errno Windows' C library gives each of them, which picks OSError's subclass.
_ERRNO = {2: errno.ENOENT, 5: errno.EACCES, 6: errno.EBADF, 8: errno.ENOMEM, 29: errno.EACCES, 32: errno.EACCES,
          53: errno.ENOENT, 183: errno.EEXIST}


def errno_of(winerror):
    return _ERRNO.get(winerror, errno.EINVAL)


def os_error(winerror, why=None):
    """The OSError that Windows' answer winerror makes (FileNotFoundError for 2), with .winerror."""
    e = OSError(errno_of(winerror), why or WINERROR_TEXT.get(winerror, "Windows error %d" % winerror))
    e.winerror = winerror
    return e
