# SPDX-License-Identifier: MIT
# bash completion for veeprom: the command, then what it takes: a field after
# get; FIELD VALUE pairs after set and after image's medium and file, the
# values set takes for each field; a file after load and check; after --store, a
# medium and a file, then the command as without it.

_veeprom()
{
    local words cur=${COMP_WORDS[COMP_CWORD]} pair at=1
    COMPREPLY=()
    # --store MEDIUM:FILE: bash splits the word at the colon (COMP_WORDBREAKS).
    if [ "${COMP_WORDS[1]:-}" = --store ]; then
        if [ "$COMP_CWORD" = 2 ]; then
            mapfile -t COMPREPLY < <(compgen -W 'ubi: mtd: emmc:' -- "$cur")
            compopt -o nospace 2>/dev/null
            return 0
        fi
        at=3
        if [ "${COMP_WORDS[3]:-}" = : ]; then
            at=5
            if [ "$COMP_CWORD" -lt 5 ]; then
                [ "$cur" != : ] || cur=
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
                return 0
            fi
        fi
    fi
    # n: the word's place after the command's name
    local n=$((COMP_CWORD - at))
    case $n in
    0) words='show get set load check dump read write clear format --json'
       [ "$at" != 1 ] || words="$words image --store --help --version" ;;
    *)
        case ${COMP_WORDS[at]} in
        show) [ "$n" = 1 ] && words='--json' ;;
        get) [ "$n" = 1 ] && words='bootcause address scheme' ;;
        load | check)
            [ "$n" = 1 ] || return 0
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return 0
            ;;
        image)
            if [ "$n" = 1 ]; then
                words='ubi mtd emmc'
            elif [ "$n" = 2 ]; then
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
                return 0
            fi
            pair=$((n - 3))
            ;;
        set) pair=$((n - 1)) ;;
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
