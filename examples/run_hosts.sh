#!/usr/bin/env bash
# Runs each example host given on its own copy of the sample registry file, checks what it printed
# and that its change is in the file, and that all of them printed the same; and that every line the
# README shows of a host is in it.
# Usage: run_hosts.sh EXAMPLES_DIR WORK_DIR EMULATOR HOST...
set -euo pipefail
src=$1 work=$2 emulator=$3
shift 3
expected='Ardo Studio, 25 seats
  Top = -8
  Width = 1920
  Height = 1040
  Maximized = 1
  Monitor = 2
  Left = -1920
  Title = Ardo Studio
  Core
  Renderer
  ScriptHost
  PdfExport
  Samples
  Help'
# The README's block of the host's language (its first), each line as the host must hold it: without
# its comment and indentation; lines that elide ("...") are left out.
readme=$src/../README.md
shown_lines_missing() {
    local lang=$1 file=$2 line missing=0
    while IFS= read -r line; do
        line=$(sed -E 's@[[:space:]]+(//|#) .*$@@; s/^[[:space:]]+//; s/[[:space:]]+$//' <<<"$line")
        [[ -z $line || $line == *... ]] && continue
        grep -qF -- "$line" "$file" || { echo "README.md shows a line that $(basename "$file") lacks: $line"; missing=1; }
    done < <(awk -v fence="\`\`\`$lang" '$0 == fence {on = 1; next} on && /^```$/ {exit} on' "$readme")
    return $missing
}
for host in "$@"; do
    name=$(basename "$host")
    case ${name%.exe} in
        host_c) shown_lines_missing c "$src/host.c" ;;
        host_cpp) shown_lines_missing cpp "$src/host.cpp" ;;
        host.py) shown_lines_missing python "$src/host.py" ;;
    esac || exit 1
    cp "$src/ardo-registry.txt" "$work/$name.txt"
    # shellcheck disable=SC2086
    out=$($emulator "$host" "$work/$name.txt")
    [ "$out" = "$expected" ] || { printf '%s printed:\n%s\nexpected:\n%s\n' "$name" "$out" "$expected"; exit 1; }
    grep -q '"Left" = -1920;' "$work/$name.txt" || { echo "$name: Left is not in the file"; exit 1; }
    # A second run finds the key made and prints the same.
    # shellcheck disable=SC2086
    [ "$($emulator "$host" "$work/$name.txt")" = "$expected" ] || { echo "$name: a second run differs"; exit 1; }
done
echo "the hosts printed the same: $*"
