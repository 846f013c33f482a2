# Bash completion for fwupgrade, fwvisa-info and fwsim, installed once under
# each name. The options are read from the program's own --help when they are
# asked for, so that they are always those of the program installed.

# The option lines of `"$@" --help`, one "OPTION SHORT VALUE" a line (SHORT
# "-" when there is none, VALUE empty for a flag): "  -r,--release DIR  ..."
# gives "--release -r DIR".
_fw_option_lines() {
    "$@" --help 2>/dev/null |
        sed -nE 's/^ {1,4}(-[A-Za-z0-9])?,?(--[A-Za-z0-9][A-Za-z0-9-]*)( ([^ ]+))?.*/\2 \1 \4/p' |
        sed -E 's/^([^ ]+)  /\1 - /'
}

# The value `option` (long or short) takes as `"$@" --help` names it ("DIR",
# "FILE", ...).
_fw_value_of() {
    local option="$1" name short value
    shift
    while read -r name short value; do
        if [ "$name" = "$option" ] || [ "$short" = "$option" ]; then
            printf '%s\n' "$value"
            return
        fi
    done < <(_fw_option_lines "$@")
}

# Fills COMPREPLY for the word under the cursor of `"$@"` (the program and,
# for fwupgrade, its command): an option, or the value of the option before.
_fw_complete_options() {
    local cur="${COMP_WORDS[COMP_CWORD]}" prev=""
    ((COMP_CWORD > 0)) && prev="${COMP_WORDS[COMP_CWORD - 1]}"
    if [[ "$prev" == -* && "$cur" != -* ]]; then
        case "$(_fw_value_of "$prev" "$@")" in
            DIR) mapfile -t COMPREPLY < <(compgen -d -- "$cur"); return ;;
            FILE) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
            MODEL) mapfile -t COMPREPLY < <(compgen -W "K7141HA K7142HA K7141B" -- "$cur"); return ;;
            M) mapfile -t COMPREPLY < <(compgen -W "K7141HA K7142HA K7141B other" -- "$cur"); return ;;
            LIST) mapfile -t COMPREPLY < <(compgen -W "HPAP HREC HBRM HUBL" -- "$cur"); return ;;
            "") ;;
            *) COMPREPLY=(); return ;;  # a number, an address, a text: typed
        esac
    fi
    if [[ "$cur" == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_fw_option_lines "$@" | cut -d' ' -f1)" -- "$cur")
    fi
}

_fw_fwupgrade() {
    local program="${COMP_WORDS[0]}" command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ "${COMP_WORDS[i]}" != -* ]] && { command="${COMP_WORDS[i]}"; break; }
    done
    if [ -z "$command" ] && [[ "${COMP_WORDS[COMP_CWORD]}" != -* ]]; then
        # The commands, as the program's help lists them.
        local commands
        commands="$("$program" --help 2>/dev/null |
            sed -nE '/^Subcommands:/,/^$/s/^  ([a-z][a-z-]*) .*/\1/p')"
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "${COMP_WORDS[COMP_CWORD]}")
        return
    fi
    _fw_complete_options "$program" ${command:+"$command"}
}

_fw_single() {
    _fw_complete_options "${COMP_WORDS[0]}"
}

complete -F _fw_fwupgrade fwupgrade
complete -F _fw_single fwvisa-info fwsim
