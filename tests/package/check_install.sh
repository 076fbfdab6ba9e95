#!/usr/bin/env bash
# Installs the project into a temporary prefix, builds a host program against the library
# twice (through find_package and through pkg-config), and checks zrreg and its man page.
# Usage: check_install.sh BUILD_DIR CC [CFLAGS [CXX]]
set -euo pipefail
build=$1 cc=$2 cflags=${3:-} cxx=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zrreg-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
printf 'KEY "My Computer"\n(\n    KEY "HKEY_LOCAL_MACHINE"\n    (\n    )\n    KEY "HKEY_CURRENT_USER"\n    (\n    )\n)\n' \
    >"$work/reg.txt"

# find_package: the package config and its imported target.
cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" \
    ${cxx:+-DCMAKE_CXX_COMPILER="$cxx"} -DCMAKE_CXX_FLAGS="$cflags" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer" "$work/reg.txt"
# The C++ host asked for C++14; the target's INTERFACE_COMPILE_FEATURES made it C++17.
cp "$here/../../examples/ardo-registry.txt" "$work/ardo-cmake.txt"
"$work/cmake/consumer_cpp" "$work/ardo-cmake.txt" | grep -qx '  Left = -1920'

# pkg-config: the flags a Makefile-based host would use.
libdir=$(dirname "$(find "$work/prefix" -name zrregdll.pc)")
export PKG_CONFIG_PATH=$libdir
# shellcheck disable=SC2046,SC2086
"$cc" $cflags "$here/consumer.c" -o "$work/consumer-pc" $(pkg-config --cflags --libs zrregdll)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir zrregdll) "$work/consumer-pc" "$work/reg.txt"

# The C++ face is installed beside the header: the example host builds from the prefix alone.
if [ -n "$cxx" ]; then
    # shellcheck disable=SC2046,SC2086
    "$cxx" -std=c++17 $cflags "$here/../../examples/host.cpp" -o "$work/host-cpp" $(pkg-config --cflags --libs zrregdll)
    cp "$here/../../examples/ardo-registry.txt" "$work/ardo.txt"
    LD_LIBRARY_PATH=$(pkg-config --variable=libdir zrregdll) "$work/host-cpp" "$work/ardo.txt" | grep -qx '  Left = -1920'
fi

# zrreg runs from the prefix, and its man page renders cleanly and names every verb and
# option that its help texts name.
zrreg=$work/prefix/bin/zrreg
man=$work/prefix/share/man/man1/zrreg.1
"$zrreg" check "$work/reg.txt"
[ -f "$man" ] || { echo "no man page at $man"; exit 1; }
if command -v groff >/dev/null; then
    warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1)
    [ -z "$warnings" ] || { echo "groff warns about zrreg.1:"; echo "$warnings"; exit 1; }
fi
text=$(sed 's/\\-/-/g; s/\\f[BIR]//g' "$man")
missing=0
for verb in $("$zrreg" --help | awk '/^Verbs:$/ {on = 1; next} /^$/ {on = 0} on && /^  [a-z]/ {print $1}'); do
    grep -qx "\.SS $verb" <<<"$text" || { echo "zrreg.1 has no section on $verb"; missing=1; }
    for opt in $("$zrreg" "$verb" --help | grep -oE '(^|[][ |])--?[a-z0-9][a-z0-9-]*' | sed 's/^[][ |]//' | sort -u); do
        grep -qE -- "(^|[][ |])$opt([^a-z0-9-]|$)" <<<"$text" || { echo "zrreg.1 does not name $verb $opt"; missing=1; }
    done
done
[ "$missing" -eq 0 ] || exit 1
echo "zrreg and zrreg.1 installed; the man page names every verb and option of the help"
