"""The Python module zrregdll over the shared library: a session, refusals, paths, errors, keys closing,
the library's messages."""
import ctypes
import os
import re
import subprocess
import sys

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
        assert k["Left"] == 2**32 - 1920  # read back unsigned, as winreg reads REG_DWORD
        assert k["Mask"] == 0xFFFF0000
        assert k["Raw"] == "café"
        assert dict(k.values()) == {"Title": "Grüße", "Left": 2**32 - 1920, "Mask": 0xFFFF0000, "Raw": "café",
                                    "": "default"}


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
    assert list(k.subkeys()) == ["One", "Two", "Dréi"]
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
        app.delete_tree("")
    c.close()
    with pytest.raises(TypeError):
        app.delete_tree()  # emptying the key is asked for by name: ""
    app.delete_tree("")
    assert app.subkey_count() == 0


def test_renames_keep_the_place_and_refuse_a_taken_name(app):
    with zrregdll.load(app) as reg:
        k = reg.create("HKCU/App")
        for name in ("One", "Two", "Three"):
            k.create(name).close()
        k["a"], k["b"] = "x", 7
        k.rename_key("Two", "Deux")
        k.rename_value("a", "A2")
        with pytest.raises(zrregdll.Error) as e:
            k.rename_key("One", "three")
        assert e.value.name == "ZRREG_ALREADY_EXISTS" and "rename the key 'One' to 'three'" in str(e.value)
        with pytest.raises(zrregdll.NotFoundError):
            k.rename_value("gone", "c")
        with k.create("One"), pytest.raises(zrregdll.Error, match="ZRREG_KEY_BUSY"):
            k.rename_key("One", "Eins")
    with zrregdll.load(app) as reg:
        k = reg.key("HKCU/App")
        assert list(k.subkeys()) == ["One", "Deux", "Three"]
        assert list(k.values()) == [("A2", "x"), ("b", 7)]


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


HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "framewk", "registry", "DLL", "zrregdll.h")


def header_results(title):
    """The #defines of the header's block that opens with the comment `title`, as {name: number}."""
    with open(HEADER) as f:
        text = f.read().replace("\\\n", " ")
    block = text[text.index(title):].split("\n\n")[0]
    found = {}
    for name, value in re.findall(r"#define (ZRREG_\w+)\s+(\(\(int32_t\)-1\)|\d+)", block):
        found[name] = -1 if "int32_t" in value else int(value)
    return found


@pytest.mark.parametrize("title, table", [("/* Results of the key and value functions", zrregdll.RESULTS),
                                          ("/* Results of ZrLoadRegistry.", zrregdll.LOAD_RESULTS)])
def test_every_result_code_of_the_header_has_its_name(title, table):
    codes = header_results(title)
    assert len(codes) >= 4
    assert {code: table.get(code, ("?",))[0] for code in codes.values()} == {v: k for k, v in codes.items()}


def run_python(code, **env):
    """Runs code in a fresh interpreter with this module and the given environment; its stderr."""
    environ = dict(os.environ, **env)
    for name, value in env.items():
        if value is None:
            del environ[name]
    done = subprocess.run([sys.executable, "-c", code], env=environ, capture_output=True, text=True)
    return done.stderr


def test_a_missing_library_names_the_variable_and_the_places_looked_in(tmp_path):
    said = run_python("import zrregdll; zrregdll.load('x.txt')", ZRREGDLL_LIBRARY=str(tmp_path / "libnone.so"))
    assert "zrregdll.LibraryNotFoundError: zrregdll: cannot load the shared library" in said
    assert "%s (ZRREGDLL_LIBRARY): no such file" % (tmp_path / "libnone.so") in said
    assert "Set ZRREGDLL_LIBRARY to its path" in said

    module = tmp_path / "zrregdll"  # a copy without the record of cmake --install, away from any library
    module.mkdir()
    for name in ("__init__.py", "_data.py", "_errors.py", "_library.py", "_key.py"):
        with open(os.path.join(os.path.dirname(zrregdll.__file__), name), "rb") as f:
            (module / name).write_bytes(f.read())
    said = run_python("import sys; sys.path.insert(0, %r); import zrregdll; zrregdll.library()" % str(tmp_path),
                      ZRREGDLL_LIBRARY=None, LD_LIBRARY_PATH=None, LD_PRELOAD=None)
    if said:  # the library may be installed where the system looks: then it loads, and nothing is said
        assert "(by the system's search)" in said and "(this Python's prefix)" in said, said


@pytest.mark.parametrize("data, read", [(-1, 0xFFFFFFFF), (-2**31, 2**31), (2**31 - 1, 2**31 - 1), (2**32 - 1, 2**32 - 1),
                                        (0, 0)])
def test_integers_read_back_unsigned(reg, data, read):
    k = reg.create("HKCU/App")
    k["n"] = data
    assert (k["n"], k.get_int("n"), dict(k.values())["n"]) == (read, read, read)
    assert zrregdll.as_signed(k["n"]) == data - 2**32 * (data >= 2**31)


@pytest.mark.parametrize("data, error, says", [
    (1.5, TypeError, "set 'n': REG_DWORD data must be an int from -2147483648 to 4294967295, not float"),
    (2**32, OverflowError, "set 'n': REG_DWORD data must be an int from -2147483648 to 4294967295, not 4294967296"),
    (None, TypeError, "set 'n': the data must be a str or bytes (REG_SZ) or an int from -2147483648 to 4294967295 "
                      "(REG_DWORD), not NoneType"),
])
def test_data_of_another_kind_is_refused_in_numbers(reg, data, error, says):
    k = reg.create("HKCU/App")
    with pytest.raises(error) as e:
        k["n"] = data
    assert str(e.value) == says and "n" not in k


def test_membership_and_iteration_are_about_values(reg):
    k = reg.create("HKCU/App")
    k.create("Sub").close()
    k["a"], k["B"] = 1, "x"
    assert list(k) == ["a", "B"] and all(name in k for name in k)
    assert "Sub" not in k and "b" in k  # names match without regard to case
    assert k.has_subkey("sub") and not k.has_subkey("a") and list(k.subkeys()) == ["Sub"]
    with pytest.raises(ValueError):
        k.has_subkey("Sub/Deeper")


def test_keys_compare_by_path(reg):
    a, b, other = reg.create("HKCU/App"), reg.key(r"hkcu\APP"), reg.create("HKCU/Other")
    assert a == b and hash(a) == hash(b) and len({a, b, other}) == 2
    assert a != other and a != "HKEY_CURRENT_USER\\App" and reg.root() == reg.key("")
    reg.unload()
    assert a.closed and b.closed  # each of two equal keys, not the one a set would keep


EMPTY_REGISTRY = b'KEY "My Computer"\n(\n)\n'


def test_create_writes_the_empty_registry_once(tmp_path):
    path = tmp_path / "new.txt"
    with zrregdll.load(path, create=True) as reg:
        assert reg.root().subkey_count() == 0
    assert path.read_bytes() == EMPTY_REGISTRY and os.listdir(tmp_path) == ["new.txt"]  # no temporary left
    with zrregdll.load(path, create=True) as reg:
        reg.create("HKCU/App")["v"] = 1
    with zrregdll.load(str(path), create=True) as reg:  # there: loaded as it is, never written over
        assert reg.key("HKCU/App")["v"] == 1


def test_create_refuses_what_it_cannot_make(tmp_path):
    empty = tmp_path / "empty.txt"
    empty.write_bytes(b"")
    with pytest.raises(zrregdll.LoadError) as e:
        zrregdll.load(empty, create=True)
    assert str(e.value).startswith("load %r: the file is empty" % str(empty)) and empty.read_bytes() == b""
    with pytest.raises(ValueError, match="this name has none"):
        zrregdll.load(tmp_path / "nodot", create=True)
    with pytest.raises(FileNotFoundError) as e:
        zrregdll.load(tmp_path / "no" / "dir.txt", create=True)
    assert e.value.filename == str(tmp_path / "no" / "dir.txt")
    assert sorted(os.listdir(tmp_path)) == ["empty.txt"]


def test_load_failures_name_the_file_and_why(tmp_path):
    for path, why in [(tmp_path / "missing.txt", "there is no such file (load(path, create=True)"),
                      (tmp_path, "it is a directory")]:
        with pytest.raises(zrregdll.LoadError) as e:
            zrregdll.load(path)
        assert str(e.value).startswith("load %r: %s" % (str(path), why)) and e.value.name == "ZRREG_LOAD_NO_FILE"
