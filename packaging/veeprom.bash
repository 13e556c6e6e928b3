# SPDX-License-Identifier: MIT
# bash completion for veeprom: the command, then what it takes: a field after
# get; FIELD VALUE pairs after set and after image's medium and file, the
# values set takes for each field; a file after load.

_veeprom()
{
    local words cur=${COMP_WORDS[COMP_CWORD]} pair
    COMPREPLY=()
    case $COMP_CWORD in
    1) words='show get set load image dump read write clear format --json --help --version' ;;
    *)
        case ${COMP_WORDS[1]} in
        show) [ "$COMP_CWORD" = 2 ] && words='--json' ;;
        get) [ "$COMP_CWORD" = 2 ] && words='bootcause address scheme' ;;
        load)
            [ "$COMP_CWORD" = 2 ] || return 0
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return 0
            ;;
        image)
            if [ "$COMP_CWORD" = 2 ]; then
                words='ubi mtd emmc'
            elif [ "$COMP_CWORD" = 3 ]; then
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
                return 0
            fi
            pair=$((COMP_CWORD - 4))
            ;;
        set) pair=$((COMP_CWORD - 2)) ;;
        *) return 0 ;;
        esac
        if [ -n "${pair:-}" ] && [ "$pair" -ge 0 ]; then
            if [ $((pair % 2)) = 0 ]; then
                words='bootcause address scheme'
            else
                case ${COMP_WORDS[COMP_CWORD - 1]} in
                bootcause) words='normal recovery uboot boot system all' ;;
                address) words='none' ;;
                scheme) words='AB none' ;;
                *) return 0 ;;
                esac
            fi
        fi
        ;;
    esac
    [ -n "${words:-}" ] || return 0
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
}

complete -F _veeprom veeprom
