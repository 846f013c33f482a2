#!/usr/bin/env bash
# The bash completion loads in a plain bash, completes fwupgrade's commands
# and offers every option each program's --help lists, so that the two cannot
# drift apart.
set -uo pipefail
script="$1" fwupgrade="$2" fwvisa_info="$3" fwsim="$4"
failed=0
fail() { echo "FAIL $*"; failed=1; }

# COMPREPLY for the words given, the last one being completed.
complete_words() {
    bash --norc --noprofile -c '
        source "$1" || exit 1
        shift
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        case "$(basename "$1")" in
            fwupgrade) _fw_fwupgrade ;;
            *) _fw_single ;;
        esac
        printf "%s\n" "${COMPREPLY[@]}"' _ "$script" "$@"
}

out="$(bash --norc --noprofile -c 'source "$1" && complete -p fwupgrade fwvisa-info fwsim' _ "$script")" ||
    fail "the script does not load: $out"
[ "$(complete_words "$fwupgrade" up)" = upgrade ] || fail "fwupgrade up<TAB> is not upgrade"
[ "$(complete_words "$fwupgrade" upgrade --images H | tr '\n' ' ')" = "HPAP HREC HBRM HUBL " ] ||
    fail "--images does not offer the images"
[ "$(complete_words "$fwupgrade" upgrade -m K7141H | tr '\n' ' ')" = "K7141HA " ] ||
    fail "-m does not offer the models"

# Every option of every help, as its option lines begin.
check_options() {  # WHAT PROGRAM [COMMAND]
    local what="$1" offered option
    shift
    offered="$(complete_words "$@" --)"
    for option in $("$@" --help | grep -oE -- '^ +(-[A-Za-z0-9],)?--[A-Za-z0-9-]+' |
                    grep -oE -- '--[A-Za-z0-9-]+$'); do
        grep -qxF -- "$option" <<<"$offered" || fail "$what: $option is not completed"
    done
}
commands="$(complete_words "$fwupgrade" "")"
[ -n "$commands" ] || fail "no fwupgrade commands are completed"
for command in $commands; do
    check_options "fwupgrade $command" "$fwupgrade" "$command"
done
check_options fwupgrade "$fwupgrade"
check_options fwvisa-info "$fwvisa_info"
check_options fwsim "$fwsim"
[ "$failed" = 0 ] && echo "ok   completion of fwupgrade ($(wc -w <<<"$commands") commands), fwvisa-info and fwsim"
exit "$failed"
