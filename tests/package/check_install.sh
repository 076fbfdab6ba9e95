#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds a host program against it twice:
# through find_package and through pkg-config. Usage: check_install.sh BUILD_DIR CC [CFLAGS]
set -euo pipefail
build=$1 cc=$2 cflags=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zrreg-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
printf 'KEY "My Computer"\n(\n    KEY "HKEY_LOCAL_MACHINE"\n    (\n    )\n    KEY "HKEY_CURRENT_USER"\n    (\n    )\n)\n' \
    >"$work/reg.txt"

# find_package: the package config and its imported target.
cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer" "$work/reg.txt"

# pkg-config: the flags a Makefile-based host would use.
libdir=$(dirname "$(find "$work/prefix" -name zrregdll.pc)")
export PKG_CONFIG_PATH=$libdir
# shellcheck disable=SC2046,SC2086
"$cc" $cflags "$here/consumer.c" -o "$work/consumer-pc" $(pkg-config --cflags --libs zrregdll)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir zrregdll) "$work/consumer-pc" "$work/reg.txt"
