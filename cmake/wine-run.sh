#!/usr/bin/env bash
# Runs one Windows program under Wine in a fresh prefix of its own, removed afterwards.
set -uo pipefail
loader=${ZR_WINE_LOADER:-/usr/lib/wine/wine64}
prefix=$(mktemp -d "${TMPDIR:-/tmp}/zrreg-wine.XXXXXX")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Creating the prefix prints notices that would mix with the program's output.
"$loader" wineboot -i >/dev/null 2>&1
"$loader" "$@"
rc=$?
wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix"
exit $rc
