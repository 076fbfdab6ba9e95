#!/usr/bin/env bash
# Checks a built library's export table against zrregdll.def: its names and nothing else;
# for the DLL also their ordinals and the library name. Usage: check_exports.sh elf|pe FILE DEF [NM|OBJDUMP]
set -euo pipefail
kind=$1 file=$2 def=$3 tool=${4:-}

# The .def lists each export as "    NAME @ORDINAL"; the same list, as "ORDINAL NAME".
expected=$(awk '$2 ~ /^@[0-9]+$/ {print substr($2, 2), $1}' "$def")
if [ -z "$expected" ]; then
    echo "no exports found in $def"
    exit 1
fi

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
    echo "usage: $0 elf|pe FILE DEF [TOOL]"
    exit 2
    ;;
esac

if [ "$got" != "$want" ]; then
    echo "export table of $file differs (< expected, > found):"
    diff <(echo "$want") <(echo "$got") || true
    exit 1
fi
echo "export table of $file: $(wc -l <<<"$got") names as expected"
