#!/usr/bin/env bash
# Runs one zrreg case of cases.txt in a scratch directory and compares its transcript
# (output, errors, exit status, changed and new files) with golden/CASE.txt; exits 77
# (skipped) for a case it cannot run.
# ZR_UPDATE_GOLDEN=1 writes the transcript as the new golden file instead.
set -uo pipefail
zrreg_bin=$1
case_name=$2
here=$(cd "$(dirname "$0")" && pwd)
line=$(grep -m1 -E "^${case_name}: " "$here/cases.txt") || { echo "golden.sh: no case $case_name"; exit 1; }
cmd=${line#*: }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zrreg-golden.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# A typed_ case needs a library that stores every value type: skipped (77) without one.
if [[ $case_name == typed_* ]] && ! { "$zrreg_bin" init "$scratch/probe.txt" &&
    "$zrreg_bin" add "$scratch/probe.txt" HKCU -v p -t REG_BINARY -d 00; } >/dev/null 2>&1; then
    echo "golden.sh: skipped: the library does not store REG_BINARY values"
    exit 77
fi
mkdir "$scratch/orig" "$scratch/run" "$scratch/out"
cp "$here"/data/* "$here/../../examples/ardo-registry.txt" "$scratch/orig/"
cp "$scratch"/orig/* "$scratch/run/"
cd "$scratch/run"

zrreg() { "$zrreg_bin" "$@"; }
eval "$cmd" >"$scratch/out/stdout" 2>"$scratch/out/stderr"
rc=$?

{
    echo "\$ $cmd"
    cat "$scratch/out/stdout"
    echo "--- stderr"
    cat "$scratch/out/stderr"
    echo "--- exit $rc"
    for f in "$scratch"/orig/*; do
        name=$(basename "$f")
        if ! cmp -s "$f" "$name"; then
            echo "--- $name changed"
            diff -u --label before --label after "$f" "$name"
        fi
    done
    new=$(ls | while read -r n; do [ -e "$scratch/orig/$n" ] || echo "$n"; done | tr '\n' ' ')
    [ -n "$new" ] && echo "--- new files: $new"
} >"$scratch/out/transcript" 2>&1

golden=$here/golden/$case_name.txt
if [ "${ZR_UPDATE_GOLDEN:-}" = 1 ]; then
    cp "$scratch/out/transcript" "$golden"
    exit 0
fi
diff -u --label "golden/$case_name.txt" --label actual "$golden" "$scratch/out/transcript"
