"""zrregdll.winreg against what Python's winreg documents: functions, handles, data conversion, errors,
constants; and the typed values and several loads of the zrregdll module that it stands on."""
import os
import subprocess
import sys
import time

import pytest

import zrregdll
import zrregdll.winreg as winreg

TYPED = zrregdll.typed_values()
needs_types = pytest.mark.skipif(not TYPED, reason="this library holds REG_SZ and REG_DWORD only (no "
                                 "ZrRegSetKeyValue): the other types run once typed values are merged")


@pytest.fixture
def regfile(tmp_path):
    path = tmp_path / "reg.txt"
    winreg.use(path)
    yield path
    winreg.use(tmp_path / "other.txt")  # lets the file go: written back


@pytest.fixture
def key(regfile):
    with winreg.CreateKey(winreg.HKEY_CURRENT_USER, r"Software\Test") as k:
        yield k


# (type, data set, data read back); the types beyond REG_SZ of 8-bit text and REG_DWORD need typed values.
PLAIN = [
    (winreg.REG_SZ, "text", "text"),
    (winreg.REG_SZ, "", ""),
    (winreg.REG_SZ, None, ""),
    (winreg.REG_SZ, "cut\0here", "cut"),
    (winreg.REG_DWORD, 0xFFFFFFFF, 0xFFFFFFFF),
    (winreg.REG_DWORD, 0, 0),
    (winreg.REG_DWORD, None, 0),
]
TYPES = [
    (winreg.REG_SZ, "5 \u20ac \U0001F600", "5 \u20ac \U0001F600"),
    (winreg.REG_EXPAND_SZ, "%HOME%\\x", "%HOME%\\x"),
    (winreg.REG_MULTI_SZ, ["a", "", "b"], ["a"]),  # up to its empty string
    (winreg.REG_MULTI_SZ, ["one", "two"], ["one", "two"]),
    (winreg.REG_MULTI_SZ, [], []),
    (winreg.REG_QWORD, 2**64 - 1, 2**64 - 1),
    (winreg.REG_BINARY, b"\0\1\xff", b"\0\1\xff"),
    (winreg.REG_BINARY, bytearray(b"ab"), b"ab"),
    (winreg.REG_BINARY, b"", None),
    (winreg.REG_BINARY, None, None),
    (winreg.REG_NONE, b"x", b"x"),
    (winreg.REG_DWORD_BIG_ENDIAN, b"\0\0\0\1", b"\0\0\0\1"),
]
CONVERSIONS = PLAIN + [pytest.param(*case, marks=needs_types) for case in TYPES]


@pytest.mark.parametrize("kind, data, read", CONVERSIONS)
def test_data_is_converted_as_winreg_converts_it(key, kind, data, read):
    winreg.SetValueEx(key, "v", 0, kind, data)
    assert winreg.QueryValueEx(key, "v") == (read, kind)
    assert winreg.EnumValue(key, 0) == ("v", read, kind)


@pytest.mark.skipif(TYPED, reason="the library stores every type")
def test_without_typed_values_other_types_are_refused(key):
    with pytest.raises(OSError) as e:
        winreg.SetValueEx(key, "q", 0, winreg.REG_QWORD, 1)
    assert e.value.winerror == 1630 and "ZrRegSetKeyValue" in str(e.value)


@pytest.mark.parametrize("kind, data, error", [
    (winreg.REG_DWORD, "1", ValueError),
    (winreg.REG_DWORD, -1, OverflowError),
    (winreg.REG_DWORD, 2**32, OverflowError),
    (winreg.REG_QWORD, 2**64, OverflowError),
    (winreg.REG_SZ, 5, ValueError),
    (winreg.REG_MULTI_SZ, ("a", "b"), ValueError),
    (winreg.REG_MULTI_SZ, ["a", 1], ValueError),
    (winreg.REG_BINARY, 5, TypeError),
])
def test_data_of_the_wrong_kind_raises_as_winreg_does(key, kind, data, error):
    with pytest.raises(error):
        winreg.SetValueEx(key, "v", 0, kind, data)
    with pytest.raises(FileNotFoundError):
        winreg.QueryValueEx(key, "v")


def test_errors_are_oserrors_with_the_windows_error(key):
    cases = [
        (lambda: winreg.OpenKey(winreg.HKEY_CURRENT_USER, "Missing"), FileNotFoundError, 2),
        (lambda: winreg.QueryValueEx(key, "missing"), FileNotFoundError, 2),
        (lambda: winreg.DeleteValue(key, "missing"), FileNotFoundError, 2),
        (lambda: winreg.DeleteKey(key, "missing"), FileNotFoundError, 2),
        (lambda: winreg.EnumKey(key, 0), OSError, 259),
        (lambda: winreg.EnumValue(key, 0), OSError, 259),
        (lambda: winreg.DeleteKey(winreg.HKEY_CURRENT_USER, "Software"), PermissionError, 5),  # has subkeys
        (lambda: winreg.ConnectRegistry(r"\\elsewhere", winreg.HKEY_LOCAL_MACHINE), OSError, 53),
        (lambda: winreg.ConnectRegistry(None, 12345), OSError, 6),
        (lambda: winreg.QueryInfoKey(0), OSError, 6),
    ]
    for call, kind, winerror in cases:
        with pytest.raises(kind) as e:
            call()
        assert e.value.winerror == winerror and winreg.error is OSError
    for bad in (None, "HKEY_CURRENT_USER", 1.0):
        with pytest.raises(TypeError):
            winreg.OpenKey(bad, "Software")


def test_handles_close_detach_and_convert(regfile):
    h = winreg.CreateKey(winreg.HKEY_LOCAL_MACHINE, "Handles")
    assert isinstance(h, winreg.HKEYType) and winreg.PyHKEY is winreg.HKEYType
    assert bool(h) and int(h) == h.handle != 0 and str(h).startswith("<PyHKEY:")
    number = h.Detach()
    assert number and h.handle == 0 and not h
    winreg.SetValueEx(number, "through", 0, winreg.REG_SZ, "the number")  # an int is a handle too
    winreg.CloseKey(number)
    with pytest.raises(OSError) as e:
        winreg.QueryValueEx(number, "through")
    assert e.value.winerror == 6
    with winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, "Handles") as k:
        assert winreg.QueryValueEx(k, "through") == ("the number", winreg.REG_SZ)
    assert not k
    k.Close()  # a second close does nothing
    winreg.CloseKey(winreg.HKEY_LOCAL_MACHINE)  # nor does closing a root
    with pytest.raises(TypeError):
        winreg.CloseKey(hkey=k)  # positional only, as winreg's


def test_keys_open_create_enumerate_and_delete(regfile):
    with winreg.CreateKeyEx(winreg.HKEY_CURRENT_USER, r"Software\App", reserved=0, access=winreg.KEY_ALL_ACCESS) as app:
        for name in ("b", "a", "c"):
            winreg.CreateKey(app, name).Close()
        winreg.SetValueEx(app, "x", 0, winreg.REG_SZ, "1")
        winreg.SetValueEx(app, "y", 0, winreg.REG_DWORD, 2)
        names = [winreg.EnumKey(app, i) for i in range(3)]
        assert names == ["b", "a", "c"]
        assert [winreg.EnumValue(app, i)[0] for i in range(2)] == ["x", "y"]
        subkeys, values, modified = winreg.QueryInfoKey(app)
        assert (subkeys, values) == (3, 2)
        now = time.time_ns() // 100 + 116444736000000000  # 100 ns units since 1601
        assert abs(modified - now) < 24 * 3600 * 10**7
        with winreg.OpenKeyEx(app, "a", access=winreg.KEY_READ) as a, winreg.CreateKey(app, None) as same:
            assert winreg.QueryInfoKey(a)[:2] == (0, 0)
            assert winreg.QueryValueEx(same, "x") == ("1", winreg.REG_SZ)
        winreg.DeleteKey(app, "a")
        winreg.DeleteKeyEx(app, "b", access=winreg.KEY_WOW64_64KEY, reserved=0)
        winreg.DeleteValue(app, "x")
        assert winreg.QueryInfoKey(app)[:2] == (1, 1)
        winreg.FlushKey(app)


AGED = b"""KEY "My Computer"
(
    KEY HKEY_CURRENT_USER
    (
        KEY App
        (
            [REG_SZ] a = "1";
            KEY S1
            (
            )
            KEY S2
            (
            )
        )
    )
)
"""
# (change on App, the key whose time moves, a key that keeps the file's)
TIME_CHANGES = [
    (lambda k: winreg.SetValueEx(k, "a", 0, winreg.REG_DWORD, 2), "App", r"App\S1"),
    (lambda k: winreg.DeleteValue(k, "a"), "App", r"App\S1"),
    (lambda k: winreg.CreateKey(k, "New").Close(), "App", r"App\S2"),
    (lambda k: winreg.CreateKey(k, r"New\Deeper").Close(), r"App\New", r"App\S1"),
    (lambda k: winreg.DeleteKey(k, "S2"), "App", r"App\S1"),
    (lambda k: winreg.SetValue(k, "S1", winreg.REG_SZ, "d"), r"App\S1", "App"),
]


@pytest.mark.parametrize("change, moved, kept", TIME_CHANGES)
def test_a_change_moves_its_keys_last_write_time_only(tmp_path, change, moved, kept):
    path = tmp_path / "aged.txt"
    path.write_bytes(AGED)
    old = 1000000000 * 10**9  # 2001
    os.utime(path, ns=(old, old))
    winreg.use(path)
    try:
        def written(sub):
            with winreg.OpenKey(winreg.HKEY_CURRENT_USER, sub) as k:
                return winreg.QueryInfoKey(k)[2]
        loaded = old // 100 + 116444736000000000
        assert written(kept) == written("App") == loaded
        before = time.time_ns() // 100 + 116444736000000000 - 20 * 10**4  # the library's clock is coarse
        with winreg.OpenKey(winreg.HKEY_CURRENT_USER, "App") as app:
            change(app)
        after = time.time_ns() // 100 + 116444736000000000
        assert before <= written(moved) <= after
        assert written(kept) == loaded
    finally:
        winreg.use(tmp_path / "other.txt")


def test_default_values_through_setvalue_and_queryvalue(key):
    winreg.SetValue(key, "Sub", winreg.REG_SZ, "default")
    assert winreg.QueryValue(key, "Sub") == "default"
    assert winreg.QueryValueEx(winreg.OpenKey(key, "Sub"), "") == ("default", winreg.REG_SZ)
    assert winreg.QueryValue(key, None) == ""  # no default value: empty
    winreg.SetValue(key, None, winreg.REG_SZ, "own")
    assert winreg.QueryValue(key, "") == "own"
    with pytest.raises(TypeError):
        winreg.SetValue(key, "Sub", winreg.REG_DWORD, "1")
    with pytest.raises(FileNotFoundError):
        winreg.QueryValue(key, "Missing")


def test_each_root_is_the_files_key_of_its_name(regfile):
    for root, name in [(winreg.HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"), (winreg.HKEY_USERS, "HKEY_USERS"),
                       (winreg.HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"),
                       (winreg.HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG")]:
        winreg.SetValueEx(root, "root", 0, winreg.REG_SZ, name)
        with winreg.ConnectRegistry(None, root) as same:
            assert winreg.QueryValueEx(same, "root") == (name, winreg.REG_SZ)
    with zrregdll.load(regfile) as reg:  # the same file: the same registry, beside winreg's handles
        assert reg.key("HKEY_USERS")["root"] == "HKEY_USERS"
        assert reg.key("HKCR")["root"] == "HKEY_CLASSES_ROOT"


def test_savekey_and_loadkey_carry_a_subtree(key, tmp_path):
    winreg.SetValueEx(key, "s", 0, winreg.REG_SZ, "saved")
    with winreg.CreateKey(key, r"deep\er") as deep:
        winreg.SetValueEx(deep, "n", 0, winreg.REG_DWORD, 7)
    saved = tmp_path / "saved.txt"
    winreg.SaveKey(key, str(saved))
    with pytest.raises(FileExistsError):
        winreg.SaveKey(key, str(saved))
    winreg.LoadKey(winreg.HKEY_USERS, "Copy", str(saved))
    with winreg.OpenKey(winreg.HKEY_USERS, r"Copy\deep\er") as er:
        assert winreg.QueryValueEx(er, "n") == (7, winreg.REG_DWORD)
    assert winreg.QueryValueEx(winreg.OpenKey(winreg.HKEY_USERS, "Copy"), "s") == ("saved", winreg.REG_SZ)
    with pytest.raises(FileNotFoundError):
        winreg.LoadKey(winreg.HKEY_USERS, "None", str(tmp_path / "none.txt"))


@pytest.mark.parametrize("text, expanded", [
    ("%ZR_TEST_A%\\bin", "alpha\\bin"),
    ("%zr_test_a%", "alpha"),  # names in any case, as Windows finds them
    ("%ZR_TEST_UNSET%", "%ZR_TEST_UNSET%"),
    ("100% sure", "100% sure"),
    ("%%ZR_TEST_A%", "%alpha"),
    ("", ""),
])
def test_expand_environment_strings(monkeypatch, text, expanded):
    monkeypatch.setenv("ZR_TEST_A", "alpha")
    monkeypatch.delenv("ZR_TEST_UNSET", raising=False)
    assert winreg.ExpandEnvironmentStrings(text) == expanded


def test_reflection_calls_take_a_key(key):
    winreg.DisableReflectionKey(key)
    winreg.EnableReflectionKey(key)
    assert winreg.QueryReflectionKey(key) is True
    with pytest.raises(TypeError):
        winreg.QueryReflectionKey("key")


def test_the_constants_have_windows_numbers():
    expected = {
        "HKEY_CLASSES_ROOT": 0x80000000, "HKEY_CURRENT_USER": 0x80000001, "HKEY_LOCAL_MACHINE": 0x80000002,
        "HKEY_USERS": 0x80000003, "HKEY_PERFORMANCE_DATA": 0x80000004, "HKEY_CURRENT_CONFIG": 0x80000005,
        "HKEY_DYN_DATA": 0x80000006, "KEY_ALL_ACCESS": 0xF003F, "KEY_WRITE": 0x20006, "KEY_READ": 0x20019,
        "KEY_EXECUTE": 0x20019, "KEY_QUERY_VALUE": 1, "KEY_SET_VALUE": 2, "KEY_CREATE_SUB_KEY": 4,
        "KEY_ENUMERATE_SUB_KEYS": 8, "KEY_NOTIFY": 0x10, "KEY_CREATE_LINK": 0x20, "KEY_WOW64_64KEY": 0x100,
        "KEY_WOW64_32KEY": 0x200, "REG_BINARY": 3, "REG_DWORD": 4, "REG_DWORD_LITTLE_ENDIAN": 4,
        "REG_DWORD_BIG_ENDIAN": 5, "REG_EXPAND_SZ": 2, "REG_LINK": 6, "REG_MULTI_SZ": 7, "REG_NONE": 0,
        "REG_QWORD": 11, "REG_QWORD_LITTLE_ENDIAN": 11, "REG_RESOURCE_LIST": 8,
        "REG_FULL_RESOURCE_DESCRIPTOR": 9, "REG_RESOURCE_REQUIREMENTS_LIST": 10, "REG_SZ": 1,
    }
    assert {name: getattr(winreg, name) for name in expected} == expected


def run_python(code, **env):
    full = dict(os.environ, **env)
    done = subprocess.run([sys.executable, "-c", code], env=full, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_a_change_is_seen_by_another_process_at_once(key, regfile):
    winreg.SetValueEx(key, "shared", 0, winreg.REG_DWORD, 0xFFFFFFFE)
    said = run_python("import zrregdll.winreg as winreg\n"
                      "k = winreg.OpenKey(winreg.HKEY_CURRENT_USER, r'Software\\Test')\n"
                      "print(winreg.QueryValueEx(k, 'shared')[0])\n"
                      "winreg.SetValueEx(k, 'answer', 0, winreg.REG_SZ, 'from the other')\n",
                      ZRREGDLL_FILE=str(regfile))
    assert said == "4294967294\n"
    assert winreg.QueryValueEx(key, "answer") == ("from the other", winreg.REG_SZ)


def test_without_a_file_the_first_call_says_how_to_name_one(tmp_path):
    said = subprocess.run([sys.executable, "-c", "import zrregdll.winreg as w; w.OpenKey(w.HKEY_CURRENT_USER, '')"],
                          env={k: v for k, v in os.environ.items() if k != "ZRREGDLL_FILE"},
                          capture_output=True, text=True, timeout=60)
    assert "set ZRREGDLL_FILE or call zrregdll.winreg.use(path)" in said.stderr


# ---- the zrregdll module: typed values, several files, errors as OSError -------------------------------

@pytest.mark.parametrize("kind, data, read", CONVERSIONS)
def test_typed_values_in_the_module(tmp_path, kind, data, read):
    with zrregdll.load(tmp_path / "t.txt", create=True) as reg:
        k = reg.create("HKCU/T")
        k.set_value("v", data, kind)
        assert k.query_value("v") == (read, kind) and k["v"] == read and "v" in k
        assert list(k.typed_values()) == [("v", read, kind)]


def test_several_files_at_once_each_written_at_its_unload(tmp_path):
    paths = [tmp_path / ("f%d.txt" % i) for i in range(3)]
    regs = [zrregdll.load(p, create=True) for p in paths]
    for i, reg in enumerate(regs):
        reg.create("HKLM/Own")["n"] = i
    for i, reg in enumerate(regs):
        assert reg.key("HKLM/Own")["n"] == i
    twice = zrregdll.load(paths[0])  # the same file: the same registry
    assert twice.key("HKLM/Own")["n"] == 0
    regs[0].unload()
    assert twice.key("HKLM/Own")["n"] == 0 and "Own" not in paths[0].read_text()
    twice.unload()
    for i, (path, reg) in enumerate(zip(paths, regs)):
        reg.unload()
        assert "Own" in path.read_text()


def test_module_errors_are_oserrors(tmp_path):
    with zrregdll.load(tmp_path / "e.txt", create=True) as reg:
        with pytest.raises(FileNotFoundError) as e:
            reg.key("HKLM/Missing")
        assert isinstance(e.value, (zrregdll.NotFoundError, KeyError)) and e.value.winerror == 2
        k = reg.create("HKLM/Busy")
        with pytest.raises(OSError) as e:
            reg.key("HKLM").delete_key("Busy")
        assert e.value.name == "ZRREG_KEY_BUSY" and e.value.winerror == 5
        k.close()
    with pytest.raises(FileNotFoundError) as e:
        zrregdll.load(tmp_path / "missing.txt")
    assert isinstance(e.value, zrregdll.LoadError)
