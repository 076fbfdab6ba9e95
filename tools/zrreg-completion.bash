# bash completion for zrreg: its verbs, the options of the verb (as its help lists them),
# and the key paths of the registry file named, one level at a time ("/" between keys,
# which needs no quoting in a shell).
# Whether the word $1 of verb $2 is an option that takes an argument, in zrreg's spelling
# or in Windows' reg's (/f is query's pattern; add's -s its separator).
_zrreg_takes() {
    case $1 in
        -v | -t | -d | -o | [/][vV] | [/][tT] | [/][dD]) return 0 ;;
        -f | [/][fF]) [ "$2" = query ] ;;
        -s | [/][sS]) [ "$2" = add ] ;;
        *) return 1 ;;
    esac
}

_zrreg() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local IFS=$'\n'
    COMPREPLY=()
    if [ "$COMP_CWORD" -eq 1 ]; then
        local verbs
        verbs=$(zrreg --help 2>/dev/null | awk '/^Verbs:$/ {on = 1; next} /^$/ {on = 0} on && /^  [a-z]/ {print $1}')
        COMPREPLY=($(compgen -W "$verbs"$'\n'"--help"$'\n'"--version" -- "$cur"))
        return
    fi
    local verb=${COMP_WORDS[1]}
    case ${prev,,} in
        -o)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        -t | /t)
            # The value types' table's names (tools/regtypes.cpp).
            COMPREPLY=($(compgen -W 'REG_SZ REG_EXPAND_SZ REG_MULTI_SZ REG_DWORD REG_QWORD REG_BINARY REG_NONE REG_DWORD_BIG_ENDIAN REG_LINK REG_RESOURCE_LIST REG_FULL_RESOURCE_DESCRIPTOR REG_RESOURCE_REQUIREMENTS_LIST' -- "$cur"))
            return
            ;;
    esac
    _zrreg_takes "$prev" "$verb" && return
    if [[ $cur == -* ]]; then
        local opts
        opts=$(zrreg "$verb" --help 2>/dev/null | grep -oE '(^|[][ |])--?[a-z0-9][a-z0-9-]*' | sed 's/^[][ |]//' | sort -u)
        COMPREPLY=($(compgen -W "$opts"$'\n'"--help" -- "$cur"))
        return
    fi
    # Windows' reg switches, as the verb's help lists them; a path that starts with "/"
    # and is no switch goes on as a key.
    if [[ $cur == /* && $cur != */*/* ]]; then
        local switches
        switches=$(zrreg "$verb" --help 2>/dev/null | awk '/^Windows. reg / {on = 1} /^$/ {on = 0} on' |
            grep -oE '/[a-z?]+' | sort -u)
        COMPREPLY=($(compgen -W "$switches" -- "${cur,,}"))
        [ ${#COMPREPLY[@]} -gt 0 ] && return
    fi
    # Which argument is being written: FILE, a KEY, or another file (compare's FILE2,
    # import's IN).
    local i n=0 file= word
    for ((i = 2; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if _zrreg_takes "$word" "$verb"; then
            ((i++))
        elif [[ $word == -* || " /? /v /ve /va /t /d /s /f /y /k /c /e " == *" ${word,,} "* ]]; then
            :
        else
            ((n++))
            [ $n -eq 1 ] && file=$word
        fi
    done
    # compare's second argument is KEY1 or FILE2: both are offered. export's third is OUT.
    if [ $n -eq 0 ] || [ "$verb" = init ] || [ "$verb" = check ] || [ "$verb" = import ] ||
        [ "$verb" = compare ] || { [ "$verb" = export ] && [ $n -ge 2 ]; }; then
        COMPREPLY=($(compgen -f -- "$cur"))
        [ "$verb" = compare ] && [ $n -eq 1 ] || return
    fi
    # rename's NEWNAME is no path.
    [ "$verb" = rename ] && [ $n -ge 2 ] && return
    [ -f "$file" ] || return
    local parent=
    [[ $cur == */* ]] && parent=${cur%/*}
    local last=${cur##*/} sub name
    for sub in $(zrreg query "$file" "$parent" 2>/dev/null | awk 'NR > 1 && /^$/ {on = 1; next} on'); do
        # A name in double quotes (empty, or holding "\" or "/") is taken whole.
        if [[ $sub == *\" ]]; then name=${sub%\"} name=\"${name##*\"}\"; else name=${sub##*\\}; fi
        [[ ${name,,} == "${last,,}"* ]] || continue
        COMPREPLY+=("${parent:+$parent/}$(printf '%q' "$name")/")
    done
    compopt -o nospace 2>/dev/null
}
complete -F _zrreg zrreg
