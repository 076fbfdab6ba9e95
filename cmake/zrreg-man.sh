#!/usr/bin/env bash
# Writes the man page zrreg(1) from the program's own help texts, so that the two cannot
# drift apart. Usage: zrreg-man.sh OUT VERSION ZRREG... (ZRREG may start with an emulator)
set -euo pipefail
out=$1 version=$2
shift 2
zrreg=("$@")

main=$("${zrreg[@]}" --help)
# The verbs are the two-space-indented words of the "Verbs:" block.
mapfile -t verbs < <(awk '/^[A-Z][a-z]*:$/ {on = ($0 == "Verbs:"); next}
                          /^$/ {on = 0}
                          on && /^  [a-z]/ {print $1}' <<<"$main")
if [ ${#verbs[@]} -eq 0 ]; then
    echo "zrreg-man.sh: no \"Verbs:\" block in zrreg --help" >&2
    exit 1
fi

# Turns one help text into man(7) requests: the "Usage:" lines into a literal block,
# indented "TERM  text" lines (options, the verb table) into tagged paragraphs, indented
# command lines and "Example:" lines into literal lines, anything else into filled text.
to_man() {
    awk -v usage_head="$1" '
    function esc(s) {
        gsub(/\\/, "\\e", s)
        s = " " s
        while (match(s, /[ [(|"'"'"'-]-/)) s = substr(s, 1, RSTART) "\\-" substr(s, RSTART + 1 + 1)
        s = substr(s, 2)
        if (s ~ /^[.'"'"']/) s = "\\&" s
        return s
    }
    function literal(s) { print ".nf"; print ".RS 4"; print esc(s); print ".RE"; print ".fi" }
    function para() { if (state != "para") print ".PP"; state = "para" }
    { line[NR] = $0 }
    END {
        for (i = 1; i <= NR; ++i) {
            s = line[i]
            if (i == 1 && s ~ /^Usage: /) {
                if (usage_head != "") print usage_head
                print ".nf"; print esc(substr(s, 8))
                while (line[i + 1] ~ /^ +zrreg /) { t = line[++i]; sub(/^ +/, "", t); print esc(t) }
                print ".fi"
            } else if (s == "") {
                para()
            } else if (s ~ /^Examples?: /) {
                para(); sub(/^Examples?: /, "", s); print "Example:"; literal(s)
            } else if (s ~ /^ +(zrreg|\$) /) {
                sub(/^ +/, "", s); literal(s)
            } else if (s ~ /^  [^ ]/) {
                tagged(substr(s, 3), line[i + 1])
            } else if (s ~ /^   / && state == "tag") {
                sub(/^ +/, "", s); print esc(s)
            } else {
                if (state == "tag") para()
                state = "text"; print esc(s)
            }
        }
    }
    # "TERM  text": the last gap of two spaces or more parts them, unless the next line
    # continues the text at another column, which leaves the whole line a term.
    function tagged(s, next_line,    term, text, first, rest, col) {
        term = s; text = ""
        if (match(s, /  +[^ ]+( [^ ]+)*$/)) {
            text = substr(s, RSTART); sub(/^ +/, "", text)
            col = length(s) - length(text) + 3
            if (next_line ~ /^   +[^ ]/ && match(next_line, /[^ ]/) && RSTART != col) text = ""
            else term = substr(s, 1, length(s) - length(text))
        }
        sub(/ +$/, "", term)
        gsub(/  +/, " ", term)
        first = term; rest = ""
        if (match(term, / /)) { first = substr(term, 1, RSTART - 1); rest = substr(term, RSTART) }
        print ".TP"; print "\\fB" esc(first) "\\fR" esc(rest)
        if (text != "") print esc(text)
        state = "tag"
    }'
}

# A section of the README (its title after "### "), so that the two say the same: its text
# filled, its code block literal, each row of a table a tagged paragraph headed by its first
# cell, the Markdown marks dropped.
readme_section() {
    awk -v title="### $2" '$0 == title {on = 1; next} on && /^#/ {exit} on {print}' "$1" | awk '
    function esc(s) { gsub(/\\/, "\\e", s); if (s ~ /^[.'"'"']/) s = "\\&" s; return s }
    function cells(s, out,    n) { sub(/^\| */, "", s); sub(/ *\|$/, "", s); gsub(/`/, "", s); return split(s, out, / *\| */) }
    /^```/ { code = !code; para = 0; print (code ? ".nf" : ".fi"); next }
    code { print esc($0); next }
    /^\|---/ { next }
    /^\|/ && !head { head = cells($0, names); next }
    /^\|/ { n = cells($0, c); print ".TP"; print "\\fB" esc(c[1]) "\\fR"; line = ""
             for (i = 2; i <= n; i++) line = line (i > 2 ? "; " : "") names[i] ": " c[i]
             print esc(line); para = 0; next }
    /^$/ { head = 0; if (!para) print ".PP"; para = 1; next }
    { para = 0; gsub(/`/, ""); print esc($0) }'
}

readme=$(dirname "$0")/../README.md
{
    echo ".\\\" zrreg(1), made by cmake/zrreg-man.sh from zrreg --help and zrreg VERB --help."
    echo ".TH ZRREG 1 \"\" \"zrreg $version\" \"User Commands\""
    echo ".SH NAME"
    echo "zrreg \\- look into, script, repair and convert registry files"
    to_man ".SH SYNOPSIS" <<<"$main" | sed '0,/^\.fi$/s//.fi\n.SH DESCRIPTION/'
    echo ".SH COMMANDS"
    for verb in "${verbs[@]}"; do
        echo ".SS $verb"
        "${zrreg[@]}" "$verb" --help | to_man ""
    done
    echo ".SH VALUE TYPES"
    readme_section "$readme" "Value types"
    echo ".SH JSON OUTPUT"
    readme_section "$readme" "JSON output"
    cat <<'FILES'
.SH FILES
.TP
\fIFILE\fR
the registry file. Its companions lie beside it (links resolved); all but its log are
named after the part of its name before the first ".", in capitals: APP for app.txt
(and for a name without a ".", app).
.TP
\fIFILE\fR-log
the change log of the processes that have \fIFILE\fR loaded (zrreg and any host of the
library), named after \fIFILE\fR's whole name: app.txt-log. Each change is in it when its
call returns, so that it outlives the process (the library syncs it to disk some 0.2 s
later), and every other process applies it at its next call. The first load makes it;
when it passes 64 MB a checkpoint writes \fIFILE\fR and it begins anew; the last process
to unload writes \fIFILE\fR and removes it. It stays while any process has \fIFILE\fR
loaded, when that last write fails (the next load applies the changes), and after a
crash (the next load recovers its records, up to the first damaged one; those of a log
of the former format 2 go into \fIFILE\fR at once). Its header
names \fIFILE\fR: a log of another file found at its name is left alone. It belongs to
the owner of \fIFILE\fR: another user's process that made one removes it again. zrreg
import goes through it as one group of records: the other processes see all of an import
at their next call, or none of it (--dry-run goes without it). Where no
log can be made (a directory the process may not write, a network file system),
processes share \fIFILE\fR through \fIAPP\fR.LCK instead.
.TP
\fIAPP\fR.TMP
the temporary file a change is written to before it replaces \fIFILE\fR in one step; a
crash while it is written may leave it, and the next write replaces it.
.TP
\fIAPP\fR.LCK
the lock file that every process writing \fIFILE\fR locks in turn, with the change log
or without it; the first save without a log makes it, and it stays (a save that fails,
and a checkpoint of the log, remove the one they made).
.TP
\fIAPP\fR.\fIPID\fR.TMP
the set-aside tree of a save without a change log: the changes of process \fIPID\fR
when \fIFILE\fR could not be replaced (it was locked too long, could not be read back,
or belongs to another user, whose owner and mode a save by this user would change);
\fIFILE\fR stays as it was, and the error names this file.
FILES
    echo ".SH SEE ALSO"
    echo "The README of zrregdll, installed as \\%/usr/share/doc/zrregdll/README.md.gz (the JSON"
    echo "interface of zrreg serve, sharing a registry file between processes), and its header"
    echo "zrregdll.h for hosts of the library."
} >"$out.tmp"
mv "$out.tmp" "$out"
