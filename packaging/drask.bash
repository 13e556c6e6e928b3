# SPDX-License-Identifier: MIT
# bash completion for drask_bootcause and drask_netaddr, installed under both
# names.  Only the first argument chooses anything: a boot target word (or h
# for help), or the address command g, s or c.

_drask_first_word()
{
    COMPREPLY=()
    [ "$COMP_CWORD" -eq 1 ] || return 0
    mapfile -t COMPREPLY < <(compgen -W "$1" -- "${COMP_WORDS[1]}")
}

_drask_bootcause() { _drask_first_word 'normal recovery uboot boot system all h'; }
_drask_netaddr() { _drask_first_word 'g s c'; }

complete -F _drask_bootcause drask_bootcause
complete -F _drask_netaddr drask_netaddr
