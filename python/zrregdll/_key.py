"""A key of a loaded registry as a mapping of its values, with its subkeys by path, and the reads and
writes of typed data that zrregdll.winreg shares."""

import ctypes

from . import _data
from ._data import REG_DWORD, REG_SZ
from ._errors import BAD_NAME, BUFFER_TOO_SMALL, Error, NOT_FOUND, NO_MORE_ITEMS, NotFoundError, SUCCESS, TYPE_DWORD, TYPE_SZ, UNSUPPORTED_TYPE, _RT_DWORD, _RT_SZ, _error, _latin1, _text, _why_bad, _wide
from ._library import library


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
