#!/usr/bin/env bash
# Checks the Debian package: lintian finds no error, apt accepts it, it holds what it should, and
# installed into a scratch root with dpkg its zrreg, a C++ host and the Python module run from there;
# removed, it leaves nothing behind.
# Usage: check_deb.sh DEB SOURCE_DIR
set -euo pipefail
deb=$(realpath "$1") src=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/zrreg-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check_deb.sh: $*" >&2; exit 1; }

# lintian's errors fail the check; its warnings are shown.
lint=$(lintian --no-cfg --allow-root "$deb" 2>&1 || true)
[ -z "$lint" ] || echo "$lint"
! grep -q '^E: ' <<<"$lint" || fail "lintian reports errors"
if [ "$(id -u)" -eq 0 ]; then
    apt-get install -s -qq "$deb" >/dev/null || fail "apt-get would not install $deb"
fi

# A root of its own, with an empty package database: installed, used, removed.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status"
dpkg_root() {
    dpkg --root="$root" --log="$work/dpkg.log" --force-not-root --force-depends --force-script-chrootless "$@"
}
dpkg_root -i "$deb" >/dev/null 2>"$work/dpkg.err" || { cat "$work/dpkg.err"; fail "dpkg could not install $deb"; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
usr=$root/usr lib=$root/usr/lib/$multiarch
for f in bin/zrreg include/zrregdll.h include/zrregdll.hpp "lib/$multiarch/libzrregdll.so" \
    "lib/$multiarch/cmake/zrregdll/zrregdllConfig.cmake" "lib/$multiarch/pkgconfig/zrregdll.pc" \
    share/man/man1/zrreg.1.gz lib/python3/dist-packages/zrregdll/__init__.py \
    lib/python3/dist-packages/zrregdll/winreg.py lib/python3/dist-packages/zrregdll/_winhandle.py \
    lib/python3/dist-packages/zrregdll/_key.py share/doc/zrregdll/copyright \
    share/doc/zrregdll/README.md.gz; do
    [ -e "$usr/$f" ] || fail "the package lacks /usr/$f"
done
# The public headers' parts, which they include by name, lie beside them.
for part in $(sed -n 's/^#include "\(.*\)"$/\1/p' "$usr/include/zrregdll.h" "$usr/include/zrregdll.hpp"); do
    [ -e "$usr/include/$part" ] || fail "the package lacks /usr/include/$part"
done
soname=$(readelf -d "$lib/libzrregdll.so.1" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[ "$soname" = libzrregdll.so.1 ] || fail "the library's soname is '$soname'"

export LD_LIBRARY_PATH=$lib
"$usr/bin/zrreg" init "$work/app.txt"
"$usr/bin/zrreg" add "$work/app.txt" 'HKCU\Software\MORVANE' -v Zoom -t REG_DWORD -d 125
"$usr/bin/zrreg" query "$work/app.txt" 'HKCU\Software\MORVANE' -v Zoom | grep -q 'Zoom    REG_DWORD    0x0000007d (125)' ||
    fail "zrreg from the package did not read back what it wrote"
# The man page sends readers to the README for zrreg serve's JSON interface: it is there.
# (grep reads whole files here: grep -q at the end of a pipe would stop zcat early, failing it.)
zcat "$usr/share/man/man1/zrreg.1.gz" >"$work/zrreg.1"
zcat "$usr/share/doc/zrregdll/README.md.gz" >"$work/README.md"
grep -q '^\.SH' "$work/zrreg.1" || fail "zrreg.1.gz is no man page"
grep -q '/usr/share/doc/zrregdll/README\.md\.gz' "$work/zrreg.1" || fail "zrreg.1.gz does not name the README's place"
grep -q '^| `GET /api/key' "$work/README.md" || fail "README.md.gz lacks zrreg serve's JSON interface"

# The package's pkg-config file finds the package's own header and library, wherever the root lies.
export PKG_CONFIG_PATH=$lib/pkgconfig
cp "$src/examples/ardo-registry.txt" "$work/cpp.txt"
cp "$src/examples/ardo-registry.txt" "$work/py.txt"
# shellcheck disable=SC2046
c++ -std=c++17 "$src/examples/host.cpp" -o "$work/host" $(pkg-config --cflags --libs zrregdll)
"$work/host" "$work/cpp.txt" >"$work/cpp.out"
# The Python module finds the library by the place recorded beside it, not by LD_LIBRARY_PATH.
env -u LD_LIBRARY_PATH PYTHONPATH="$usr/lib/python3/dist-packages" /usr/bin/python3 "$src/examples/host.py" "$work/py.txt" \
    >"$work/py.out"
cmp -s "$work/cpp.out" "$work/py.out" || fail "the C++ and Python hosts printed differently"
grep -qx '  Left = -1920' "$work/py.out" || fail "the Python host did not print what it set"

dpkg_root --purge zrregdll >/dev/null 2>"$work/dpkg.err" || { cat "$work/dpkg.err"; fail "dpkg could not remove it"; }
left=$(cd "$root" && find . -mindepth 1 -not -path './var' -not -path './var/lib' -not -path './var/lib/dpkg*')
[ -z "$left" ] || fail "removing the package left: $left"
echo "check_deb.sh: $(basename "$deb"): lintian without errors, installed, zrreg and the hosts ran, removed cleanly"
