#!/usr/bin/env bash
# The Python module as users get it: installed by cmake --install (it finds the library by the place
# recorded beside it), and by pip from the source tree without the network (it finds the library by
# its soname); the tests run against the pip-installed copy.
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
version=$(sed -n 's/^project(zrregdll VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
ls "$work/site" | grep -qx "zrregdll-$version.dist-info" || fail "pip installed another version than $version"
(cd "$work" && PYTHONPATH=$work/site LD_LIBRARY_PATH=$(dirname "$(find "$work/prefix" -name 'libzrregdll.so.*' | head -1)") \
    ZR_VERSION=$version "$python" -m pytest -q -p no:cacheprovider "$src/tests/python")
echo "check_python.sh: installed by cmake --install and by pip; the tests pass against pip's copy"
