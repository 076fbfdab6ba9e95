# For golden cases of the spellings of Windows' reg command: "same ARGS... == ARGS2..."
# runs zrreg with each list in a copy of the scratch directory's files, prints the first
# run (output and errors, exit status, the files it changed) and whether the second did
# exactly the same; a difference is printed whole.
same() {
    local first=() second=() arg side=first
    for arg in "$@"; do
        if [ "$arg" = "==" ]; then
            side=second
        elif [ $side = first ]; then
            first+=("$arg")
        else
            second+=("$arg")
        fi
    done
    rm -rf .orig && mkdir .orig && find . -maxdepth 1 -type f -exec cp {} .orig/ \;
    for side in first second; do
        rm -rf ".$side" && cp -r .orig ".$side"
        local -n args=$side
        (cd ".$side" && "$zrreg_bin" "${args[@]}" >../".$side.out" 2>&1; echo "exit $?" >>../".$side.out")
    done
    echo "\$ zrreg$(printf ' %q' "${first[@]}")"
    cat .first.out
    for arg in .first/*; do
        [ -e ".orig/${arg#.first/}" ] || { echo "new file ${arg#.first/}"; continue; }
        cmp -s "$arg" ".orig/${arg#.first/}" || diff -u --label before --label after ".orig/${arg#.first/}" "$arg"
    done
    if cmp -s .first.out .second.out && diff -r .first .second >/dev/null; then
        echo "= zrreg$(printf ' %q' "${second[@]}"): the same"
    else
        echo "! zrreg$(printf ' %q' "${second[@]}"): different"
        diff .first.out .second.out
        diff -r .first .second
    fi
    rm -rf .orig .first .second .first.out .second.out
}
