#!/usr/bin/env bash
# The ABI check: the library against the recorded ABI, and the check itself shown failing on copies of
# the recorded ABI with a function removed, a parameter's type changed, and a function added.
# Usage: check_abi.sh LIBRARY
set -euo pipefail
lib=$(realpath "$1")
cd "$(dirname "$0")/../.."
recorded=abi/libzrregdll.so.1.abi
work=$(mktemp -d "${TMPDIR:-/tmp}/zrreg-abi.XXXXXX")
trap 'rm -rf "$work"' EXIT

scripts/abi check "$lib"

# The copies: each with one change a careless edit of zrregdll.h or its exports could make.
python3 - "$recorded" "$work" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
def decl(name):
    return re.search(r"    <function-decl name='%s'.*?</function-decl>\n" % name, text, re.S).group(0)
close = decl("ZrRegCloseKey")
removed = text.replace(close, "").replace(re.search(r"    <elf-symbol name='ZrRegCloseKey'[^\n]*\n", text).group(0), "")
enum = decl("ZrRegEnumKeyEx")
handle = re.search(r"<parameter type-id='([^']*)' name='hKey'/>", enum).group(1)
retyped = text.replace(enum, re.sub(r"type-id='[^']*' name='dwIndex'", "type-id='%s' name='dwIndex'" % handle, enum))
assert removed != text and retyped != text
open(sys.argv[2] + "/removed.abi", "w").write(removed)
open(sys.argv[2] + "/retyped.abi", "w").write(retyped)
PY
expect_failure() {
    if scripts/abi check "$2" "$3" >"$work/out" 2>&1; then
        cat "$work/out"
        echo "check_abi.sh: the check passed $1" >&2
        exit 1
    fi
    grep -q "$4" "$work/out" || { cat "$work/out"; echo "check_abi.sh: the report on $1 does not name $4" >&2; exit 1; }
}
expect_failure "a library without ZrRegCloseKey" "$work/removed.abi" "$recorded" "ZrRegCloseKey"
expect_failure "ZrRegEnumKeyEx with dwIndex retyped" "$work/retyped.abi" "$recorded" "ZrRegEnumKeyEx"
expect_failure "a function added without acknowledgement" "$lib" "$work/removed.abi" "ZrRegCloseKey"
echo "check_abi.sh: the check fails on a removed, a retyped and an added function"
