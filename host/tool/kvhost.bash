# bash completion for kvhost: its commands and their options as its own help lists them (so
# they never drift), and the deliverables on its plug-in search path (`kvhost list --names`,
# which loads none of them).

# The options `kvhost [COMMAND] --help` lists, one a line: "-o,--output T" for one that takes
# a value, "--pcm24" for one that does not.
_kvhost_options() {
    "$@" --help 2>/dev/null | sed -n 's/^  \(-[^ ]*\)\( [A-Z]\)\{0,1\}.*/\1\2/p'
}

_kvhost() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local kvhost=${COMP_WORDS[0]} command="" word line name i
    local -a search=() options=() valued=()
    COMPREPLY=()

    # The command is the first word that is neither an option nor an option's value.
    while read -r line; do
        [[ $line == *" T" ]] && line=${line% T} && valued+=(${line//,/ })
    done < <(_kvhost_options "$kvhost")
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == --plugin-path ]]; then
            search+=(--plugin-path "${COMP_WORDS[i + 1]}")
            ((i++))
        elif [[ $word == -* ]]; then
            [[ " ${valued[*]} " == *" $word "* ]] && ((i++))
        elif [[ -z $command ]]; then
            command=$word
        fi
    done

    if [[ -z $command && $cur != -* ]]; then
        COMPREPLY=($(compgen -W "$("$kvhost" --help 2>/dev/null |
            sed -n '/^Subcommands:/,/^$/s/^  \([a-z0-9]*\) .*/\1/p')" -- "$cur"))
        return
    fi
    while read -r line; do
        word=${line% T}
        options+=(${word//,/ })
        [[ $line == *" T" ]] && valued+=(${word//,/ })
    done < <(_kvhost_options "$kvhost" $command; [[ -z $command ]] || _kvhost_options "$kvhost")

    local what=""
    if [[ " ${valued[*]} " == *" $prev "* ]]; then
        case $prev in
            --plugin-path) what=folders ;;
            --sheet) what=plugins ;;
            --midi) what=midi ;;
            -o | --output | --record | --save-melody | --control | --bridge | --new) what=files ;;
            *) return ;;  # a number, a name or an address: nothing to offer
        esac
    elif [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "${options[*]}" -- "$cur" | sort -u))
        return
    else
        case $command in
            info | gui | validate | lv2) what=plugins ;;
            render | play | panel | plot) what=patches ;;
            *) return ;;
        esac
    fi

    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    case $what in
        folders) COMPREPLY=($(compgen -d -- "$cur")) ;;
        midi) COMPREPLY=($(compgen -f -X '!*.mid' -- "$cur") $(compgen -d -- "$cur")) ;;
        patches) COMPREPLY=($(compgen -f -X '!*.json' -- "$cur") $(compgen -d -- "$cur")) ;;
        files) COMPREPLY=($(compgen -f -- "$cur")) ;;
        plugins)
            # Names hold spaces ("ZOR Twin-Op"): matched against the word as typed, unquoted.
            word=${cur//\\/}
            word=${word#[\"\']}
            while read -r name; do
                [[ $name == "$word"* ]] && COMPREPLY+=("$name")
            done < <("$kvhost" "${search[@]}" list --names 2>/dev/null)
            COMPREPLY+=($(compgen -f -X '!*.so' -- "$cur") $(compgen -d -- "$cur"))
            ;;
    esac
}

complete -F _kvhost kvhost
