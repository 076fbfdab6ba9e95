#!/usr/bin/env bash
# Runs one Windows program under Wine, in the prefix named by ZR_WINEPREFIX (kept, its
# owner removes it) or else in a fresh temporary prefix of its own, removed afterwards.
set -uo pipefail
loader=${ZR_WINE_LOADER:-/usr/lib/wine/wine64}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -n "${ZR_WINEPREFIX:-}" ]; then
    export WINEPREFIX=$ZR_WINEPREFIX
    own=
else
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/zrreg-wine.XXXXXX")
    export WINEPREFIX
    own=1
fi
# Creating a prefix prints notices that would mix with the program's output.
[ -f "$WINEPREFIX/system.reg" ] || "$loader" wineboot -i >/dev/null 2>&1
"$loader" "$@"
rc=$?
if [ -n "$own" ]; then
    "${ZR_WINESERVER:-/usr/lib/wine/wineserver64}" -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
fi
exit $rc
