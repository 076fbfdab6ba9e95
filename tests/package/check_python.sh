#!/usr/bin/env bash
# The Python module as users get it: installed by cmake --install (it finds the library by the place
# recorded beside it), and by pip from the source tree without the network, with --target (it finds
# the library by its soname) and into a virtual environment (in the environment's prefix); the tests
# run against the copy pip put in --target.
# Usage: check_python.sh BUILD_DIR SOURCE_DIR [PYTHON]
set -euo pipefail
build=$(realpath "$1") src=$(realpath "$2") python=${3:-/usr/bin/python3}
work=$(mktemp -d "${TMPDIR:-/tmp}/zrreg-python.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check_python.sh: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
module=$(dirname "$(find "$work/prefix" -path '*-packages/zrregdll/__init__.py')")
cp "$src/examples/ardo-registry.txt" "$work/installed.txt"
# grep reads to the end (no -q), so that the host never writes into a closed pipe.
PYTHONPATH=$(dirname "$module") "$python" "$src/examples/host.py" "$work/installed.txt" | grep -x '  Left = -1920' >/dev/null ||
    fail "the module installed by cmake --install did not run the example"

# pip builds in the tree it is given: a copy, so that the sources stay clean.
cp -r "$src/python" "$work/src"
"$python" -m pip install -q --no-build-isolation --no-index --target "$work/site" "$work/src" 2>&1 |
    { grep -v "Running pip as the 'root' user" || true; }
[ -f "$work/site/zrregdll/__init__.py" ] || fail "pip installed no module"
# A virtual environment whose prefix holds the library (cmake --install --prefix "$VIRTUAL_ENV") and
# the module from pip, which has no record of the library's place: found without LD_LIBRARY_PATH or
# ZRREGDLL_LIBRARY, in the prefix of the Python that runs it.
"$python" -m venv --system-site-packages "$work/venv"
cmake --install "$build" --prefix "$work/venv" >/dev/null
"$work/venv/bin/python" -m pip install -q --no-build-isolation --no-index "$work/src" 2>&1 |
    { grep -v "Running pip as the 'root' user" || true; }
cp "$src/examples/ardo-registry.txt" "$work/venv.txt"
where=$(cd "$work" && env -u ZRREGDLL_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH "$work/venv/bin/python" -c \
    'import zrregdll; print(zrregdll.__file__)')
[[ $where == "$work/venv/lib/"*"/site-packages/zrregdll/__init__.py" ]] || fail "the venv imported $where, not pip's copy"
(cd "$work" && env -u ZRREGDLL_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH "$work/venv/bin/python" \
    "$src/examples/host.py" "$work/venv.txt") | grep -x '  Left = -1920' >/dev/null ||
    fail "the module pip installed into a virtual environment did not find the library in its prefix"

version=$(sed -n 's/^project(zrregdll VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
ls "$work/site" | grep -qx "zrregdll-$version.dist-info" || fail "pip installed another version than $version"
(cd "$work" && PYTHONPATH=$work/site LD_LIBRARY_PATH=$(dirname "$(find "$work/prefix" -name 'libzrregdll.so.*' | head -1)") \
    ZR_VERSION=$version "$python" -m pytest -q -p no:cacheprovider "$src/tests/python")
echo "check_python.sh: installed by cmake --install, by pip and by pip in a venv; the tests pass against pip's copy"
