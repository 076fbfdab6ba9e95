"""The Python module zrregdll over the shared library: a session, refusals, paths, errors, keys closing,
the library's messages."""
import ctypes
import os

import pytest

import zrregdll

EMPTY = 'KEY "My Computer"\n(\n  KEY "HKEY_LOCAL_MACHINE"\n  (\n  )\n  KEY "HKEY_CURRENT_USER"\n  (\n  )\n)\n'


@pytest.fixture
def app(tmp_path):
    path = tmp_path / "app.txt"
    path.write_text(EMPTY)
    return path


@pytest.fixture
def reg(app):
    with zrregdll.load(app) as r:
        yield r


def test_a_session_is_written_back_and_read_again(app):
    with zrregdll.load(str(app)) as reg:
        k = reg.create(r"HKCU\Software\MORVANE\Ardo")
        k["Title"] = "Grüße"
        k["Left"] = -1920
        k["Mask"] = 0xFFFF0000
        k["Raw"] = b"caf\xe9"
        k[""] = "default"
        k.flush()
    assert b'"Title" = "Gr\xfc\xdfe"' in app.read_bytes()
    with zrregdll.load(app) as reg:
        k = reg.key("hkcu/software/morvane/ardo")
        assert k["title"] == "Grüße"
        assert k["Left"] == -1920
        assert k["Mask"] == -65536  # the file's integers are signed 32-bit numbers
        assert k["Raw"] == "café"
        assert dict(k.values()) == {"Title": "Grüße", "Left": -1920, "Mask": -65536, "Raw": "café", "": "default"}


@pytest.mark.parametrize("name, data, says", [
    ("Price", "5 €", "the text holds U+20AC, which the registry cannot hold (it holds characters up to U+00FF)"),
    ("Q", 'say "hi"', "the text holds a double quote"),
    ("a\nb", 1, "the name holds a line feed"),
    ("L", "a " + "x" * 9997, "the text is longer than 9998 bytes"),
    ("n" * 256, "x", "the name is 256 characters or longer"),
    ("N", "a\0b", "the text holds a NUL character"),
    ("😀", "x", "the name holds U+1F600"),
])
def test_what_the_registry_cannot_hold_is_refused(reg, name, data, says):
    k = reg.create("HKCU/App")
    with pytest.raises(zrregdll.Error) as e:
        k[name] = data
    assert e.value.code == zrregdll.ZRREG_BAD_NAME and e.value.name == "ZRREG_BAD_NAME"
    assert says in str(e.value) and str(e.value).endswith("(ZRREG_BAD_NAME)")
    assert k.value_count() == 0


@pytest.mark.parametrize("data", [2**32, -2**31 - 1])
def test_integers_must_fit_32_bits(reg, data):
    with pytest.raises(OverflowError):
        reg.create("HKCU/App")["n"] = data


@pytest.mark.parametrize("path, rooted", [
    (r"HKCU\Software\MORVANE", r"HKEY_CURRENT_USER\Software\MORVANE"),
    ("hkcu/Software//MORVANE/", r"HKEY_CURRENT_USER\Software\MORVANE"),
    (r"My Computer\HKLM", "HKEY_LOCAL_MACHINE"),
    ("", ""),
    (r"Software\HKCU", r"Software\HKCU"),
])
def test_paths_from_the_root(path, rooted):
    assert zrregdll.root_path(path) == rooted


def test_missing_values_and_other_types(reg):
    k = reg.create("HKCU/App")
    k["s"], k["n"] = "text", 7
    with pytest.raises(KeyError):
        k["none"]
    with pytest.raises(zrregdll.NotFoundError) as e:
        reg.key(r"HKCU\None")
    assert str(e.value) == r"open 'HKCU\\None': no such key or value (ZRREG_NOT_FOUND)"
    assert (k.get("none", 1), k.get_str("n"), k.get_int("s", -1), k.get_int("n")) == (1, None, -1, 7)
    assert "s" in k and "none" not in k
    del k["s"]
    with pytest.raises(zrregdll.NotFoundError):
        del k["s"]


def test_subkeys_and_values_in_order(reg):
    k = reg.create("HKCU/App")
    for name in ("One", "Two", "Dréi"):
        k.create(name).close()
    long_name, long_text = "n" * 255, "x" * 9998  # beyond the first room the reads offer
    k[long_name] = long_text
    k["n"] = 7
    assert list(k) == ["One", "Two", "Dréi"]
    assert list(k.values()) == [(long_name, long_text), ("n", 7)]
    assert (k.subkey_count(), k.value_count()) == (3, 2)
    assert reg.key("HKCU/App/Dréi").path == r"HKEY_CURRENT_USER\App\Dréi"


def test_keys_close_themselves(reg):
    app = reg.create("HKCU/App")
    with app.create("A"):
        with pytest.raises(zrregdll.Error) as e:
            app.delete_key("A")
        assert e.value.code == zrregdll.ZRREG_KEY_BUSY
    app.delete_key("A")
    b = app.create("B")
    del b  # the last reference goes: the handle closes
    app.delete_key("B")
    c = app.create("C")
    with pytest.raises(zrregdll.Error, match="ZRREG_KEY_BUSY"):
        app.delete_tree()
    c.close()
    app.delete_tree()
    assert app.subkey_count() == 0


def test_a_key_deleted_under_its_handle(reg):
    app = reg.create("HKCU/App")
    one = app.create("One")
    app.close()
    reg.key("HKCU").delete_key("App")
    with pytest.raises(zrregdll.Error) as e:
        list(one.values())
    assert e.value.name == "ZRREG_KEY_NOT_FOUND"
    with pytest.raises(zrregdll.Error, match="the key has been deleted"):
        one["x"]


def test_loads_and_unloads(app, tmp_path):
    with pytest.raises(zrregdll.LoadError) as e:
        zrregdll.load(tmp_path / "missing.txt")
    assert (e.value.code, e.value.name) == (5, "ZRREG_LOAD_NO_FILE")
    bad = tmp_path / "bad.txt"
    bad.write_text('KEY "My Computer"\n(\n')
    with pytest.raises(zrregdll.LoadError, match="ZRREG_LOAD_REFUSED"):
        zrregdll.load(bad)

    with zrregdll.load(app) as reg:
        with pytest.raises(zrregdll.LoadError, match="a registry is loaded already"):
            zrregdll.load(app)
        kept = reg.create("HKLM/Kept")
        kept["v"] = 1
    assert kept.closed and not reg.loaded  # the unload closed what was left open
    with pytest.raises(zrregdll.Error, match="ZRREG_NOT_LOADED"):
        reg.key("HKLM")
    with zrregdll.load(app) as again:
        assert again.key("HKLM/Kept")["v"] == 1


def test_the_version_is_the_projects():
    assert zrregdll.__version__ == os.environ.get("ZR_VERSION", zrregdll.__version__)


HEAD = 'KEY "My Computer"\n(\n'


def printed(capfd):
    """What standard output got, the C library's buffered part too."""
    ctypes.CDLL(None).fflush(None)
    return capfd.readouterr().out


@pytest.fixture
def heard():
    said = []
    before = zrregdll.set_message_handler(said.append)
    yield said
    zrregdll.set_message_handler(before)


@pytest.mark.parametrize("item", ['  [REG_SZ] "a" = "%s";\n' % ("x" * 9999), "  [REG_SZ] a = %s;\n" % ("w" * 10000)])
def test_a_token_over_the_limit_is_an_exception_that_names_the_file_line_and_limit(tmp_path, app, capfd, item):
    bad = tmp_path / "long.txt"
    bad.write_text(HEAD + "\n" + item + ")\n")
    with pytest.raises(zrregdll.TooLongError) as e:
        zrregdll.load(bad)
    assert isinstance(e.value, zrregdll.LoadError) and e.value.name == "ZRREG_LOAD_REFUSED"
    assert (e.value.path, e.value.line, e.value.limit) == (str(bad), 4, 10000)
    assert str(bad) in str(e.value) and "line 4" in str(e.value) and "10000" in str(e.value)
    assert e.value.messages == [(zrregdll.MSG_TOO_LONG, 4, "Input string too long, limit 10000")]
    assert printed(capfd) == "" and capfd.readouterr().err == ""  # raised, not printed
    with zrregdll.load(app) as reg:  # the process goes on, and nothing stayed loaded
        assert reg.key("HKLM").subkey_count() == 0


def test_messages_go_to_the_handler_or_python_not_the_libraries_stdout(tmp_path, capfd, heard):
    odd = tmp_path / "odd.txt"
    odd.write_text(HEAD + '  "stray\n  [REG_SZ] "a" = "b";\n)\n')  # loads, with a runaway string
    with zrregdll.load(odd) as reg:
        assert reg.root()["a"] == "b"
    assert heard == [(zrregdll.MSG_SYNTAX, 3, "line 3 - FATAL: Runaway string"), (zrregdll.MSG_SYNTAX, 3, "Error in line: 3")]
    assert printed(capfd) == ""

    bad = tmp_path / "bad.txt"
    bad.write_text(HEAD + "  [REG_SZ] = ;\n)\n")
    with pytest.raises(zrregdll.LoadError, match=r"line: 3 - syntax error \(ZRREG_LOAD_REFUSED\)") as e:
        zrregdll.load(bad)
    assert e.value.messages == heard[-1:] == [(zrregdll.MSG_SYNTAX, 3, "line: 3 - syntax error")]

    zrregdll.set_message_handler(None)  # printed on Python's stdout, as the library prints them
    with zrregdll.load(odd):
        pass
    assert printed(capfd) == "line 3 - FATAL: Runaway string\nError in line: 3\n"
