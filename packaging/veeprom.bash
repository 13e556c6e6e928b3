# SPDX-License-Identifier: MIT
# bash completion for veeprom: the command, then a field after get and set,
# then the values set takes for that field.

_veeprom()
{
    local words
    COMPREPLY=()
    case $COMP_CWORD in
    1) words='show get set dump read write clear format --json --help --version' ;;
    2)
        case ${COMP_WORDS[1]} in
        show) words='--json' ;;
        get | set) words='bootcause address scheme' ;;
        *) return 0 ;;
        esac
        ;;
    3)
        [ "${COMP_WORDS[1]}" = set ] || return 0
        case ${COMP_WORDS[2]} in
        bootcause) words='normal recovery uboot boot system all' ;;
        address) words='none' ;;
        scheme) words='AB none' ;;
        *) return 0 ;;
        esac
        ;;
    *) return 0 ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "${COMP_WORDS[COMP_CWORD]}")
}

complete -F _veeprom veeprom
