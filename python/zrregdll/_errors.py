"""The results of the library's calls with their names and words, the errors raised for them, and text
between Python and the library (ISO-8859-1 names, 16-bit buffers)."""

import ctypes

from . import _data


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
