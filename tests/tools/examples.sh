#!/usr/bin/env bash
# Runs every example as a user reads it: each "Example:" command of zrreg's help texts (in
# a scratch directory holding app.txt and old.txt, copies of the sample registry, and the
# sample export file), the same commands as the man page prints them, and the README's
# example session, whose printed output must be what the commands print. With a library
# that stores only strings and dwords, what needs the other types is skipped, and so is the
# whole test (exit 77) when nothing else failed.
# Usage: examples.sh ZRREG SOURCE_DIR [MAN_PAGE]
set -uo pipefail
zrreg_bin=$1 src=$2 man=${3:-}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zrreg-examples.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
zrreg() { "$zrreg_bin" "$@"; }
failed=0 skipped=0
typed=1
{ zrreg init "$scratch/probe.txt" && zrreg add "$scratch/probe.txt" HKCU -v p -t REG_BINARY -d 00; } \
    >/dev/null 2>&1 || typed=0

help_examples() {
    for verb in "" $(zrreg --help | awk '/^Verbs:$/ {on = 1; next} /^$/ {on = 0} on && /^  [a-z]/ {print $1}'); do
        # shellcheck disable=SC2086
        zrreg $verb --help | awk '/^Examples?: zrreg / {on = 1; sub(/^Examples?: /, ""); print; next}
                                  on && /^ +zrreg / {sub(/^ +/, ""); print; next} {on = 0}'
    done
}
mapfile -t examples < <(help_examples)
[ ${#examples[@]} -ge 9 ] || { echo "only ${#examples[@]} examples in the help"; exit 1; }

n=0
for cmd in "${examples[@]}"; do
    dir=$scratch/help$((n++))
    mkdir "$dir" && cp "$src/examples/ardo-registry.txt" "$dir/app.txt" && cp "$dir/app.txt" "$dir/old.txt"
    cp "$src/examples/from-windows.reg" "$dir/"
    (cd "$dir" && eval "$cmd") >"$dir.out" 2>&1
    rc=$?
    # compare exits 1 when the two differ
    if [ $rc -ne 0 ] && [ $typed = 0 ] && grep -q "the registry cannot hold this" "$dir.out"; then
        echo "help example skipped, the library does not store its type: $cmd"
        skipped=1
    elif [ $rc -ne 0 ] && ! { [ $rc -eq 1 ] && [[ $cmd == "zrreg compare "* ]]; }; then
        echo "help example failed (exit $rc): $cmd"
        cat "$dir.out"
        failed=1
    fi
done

if [ -n "$man" ]; then
    # The man page prints each command as a literal line, indented.
    man_examples=$(awk '/^\.RS 4$/ {getline; if ($0 ~ /^zrreg /) print}' "$man" | sed 's/\\e/\\/g; s/\\-/-/g' | sort)
    if [ "$man_examples" != "$(printf '%s\n' "${examples[@]}" | sort)" ]; then
        echo "the man page's examples differ from the help's:"
        diff <(printf '%s\n' "${examples[@]}" | sort) <(echo "$man_examples")
        failed=1
    fi
fi

# The README's session: "$ command" lines, each followed by what it prints (standard
# output after standard error, as a pipe buffers it), run in turn in one directory.
session=$scratch/session
mkdir "$session" && cp "$src"/examples/* "$session/"
awk '/^## zrreg/ {in_section = 1} /^```sh$/ && in_section {on = 1; next} on && /^```$/ {exit} on' \
    "$src/README.md" >"$scratch/printed"
grep -q '^\$ zrreg' "$scratch/printed" || { echo "no session in the README"; exit 1; }
while IFS= read -r line; do
    if [[ $line == '$ '* ]]; then
        echo "$line"
        (cd "$session" && eval "${line#\$ }") 2>&1
    fi
done <"$scratch/printed" >"$scratch/actual"
if [ $typed = 0 ]; then
    echo "the README's session skipped: it imports a REG_BINARY value, which the library does not store"
    skipped=1
elif ! diff -u --label README.md --label actual "$scratch/printed" "$scratch/actual"; then
    failed=1
fi
[ $failed = 0 ] && [ $skipped = 1 ] && exit 77
exit $failed
