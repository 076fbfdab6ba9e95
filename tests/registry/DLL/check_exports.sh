#!/usr/bin/env bash
# Checks a built library's export table: the 18 names and nothing else; for the DLL also
# the ordinals and the library name. Usage: check_exports.sh elf|pe FILE [NM|OBJDUMP]
set -euo pipefail
kind=$1 file=$2 tool=${3:-}

expected="1 HkeyArdoRoot
2 ZrLoadRegistry
3 ZrUnloadRegistry
4 ZrRegCountSubKeys
5 ZrRegOpenKeyEx
6 ZrRegCloseKey
7 ZrRegEnumKeyEx
8 ZrRegQueryValueEx
9 ZrRegCreateKey
10 ZrRegSetValueEx
11 ZrRegDeleteKey
12 ZrRegDeleteValue
13 ZrRegQueryValueSz
14 ZrRegQueryValueDw
15 HkeyHKCU
16 HkeyHKLM
17 HkeyRegRoot
18 DllMain"

case $kind in
elf)
    want=$(cut -d' ' -f2 <<<"$expected" | sort)
    # Undefined and versioned references are not exports; -D lists the dynamic table only.
    got=$("${tool:-nm}" -D --defined-only "$file" | awk '{print $NF}' | sed 's/@.*//' | sort)
    ;;
pe)
    dump=$("${tool:-objdump}" -p "$file")
    name=$(awk '/^Name[ \t]/ {print $NF; exit}' <<<"$dump")
    if [ "$name" != "zrregdll.dll" ]; then
        echo "the export directory names the library '$name', not zrregdll.dll"
        exit 1
    fi
    want=$(sort <<<"$expected")
    # objdump lists each name with its index into the address table; the ordinal adds the base.
    got=$(awk '/^Ordinal Base/ {base = $3}
               /^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
               on && /^$/ {on = 0}
               on && /^\t\[/ {gsub(/[][]/, " "); print $1 + base, $2}' <<<"$dump" | sort)
    ;;
*)
    echo "usage: $0 elf|pe FILE [TOOL]"
    exit 2
    ;;
esac

if [ "$got" != "$want" ]; then
    echo "export table of $file differs (< expected, > found):"
    diff <(echo "$want") <(echo "$got") || true
    exit 1
fi
echo "export table of $file: $(wc -l <<<"$got") names as expected"
