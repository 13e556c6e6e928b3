# SPDX-License-Identifier: MIT
# The command sequence of the differential check, run on the emulated board
# (real kernel) and on the simulated one (dev build): each step shows the
# command, its output by stream, its exit status and the store window after
# it, so the two transcripts must be equal line for line.
#
# The caller sets store (the store device or image), addr_file (/tmp/ip_ip
# as the tools see it) and scratch (a directory), and defines
# poke OFFSET TEXT, which puts TEXT, its backslash escapes (printf %b)
# interpreted, into the store.
# shellcheck disable=SC2154 # store, addr_file and scratch come from the caller

# The first 2048 bytes of the store as the library reads them, bytes past
# the end reading as zero: their MD5 and the first 48 in hex.
window() {
	if [ ! -e "$store" ]; then
		echo none
		return
	fi
	{ dd if="$store" bs=2048 count=1 2>/dev/null; dd if=/dev/zero bs=2048 count=1 2>/dev/null; } |
		head -c 2048 >"$scratch/window"
	echo "$(md5sum <"$scratch/window" | cut -c1-32) $(od -An -v -tx1 -N48 "$scratch/window" | tr -d ' \n')"
}

lines() { # lines LABEL FILE: the file's lines, and whether its last one ends
	[ -s "$2" ] || return 0
	awk -v l="$1" '{ print "  " l ": " $0 }' "$2"
	[ "$(tail -c 1 "$2" | od -An -tx1 | tr -d ' \n')" = 0a ] || echo "  $1: (no newline at end)"
}

step() {
	echo "\$ $*"
	status=0
	"$@" >"$scratch/out" 2>"$scratch/err" || status=$?
	lines out "$scratch/out"
	lines err "$scratch/err"
	echo "  exit $status, window $(window)"
}

show_addr_file() {
	if [ -e "$addr_file" ]; then
		echo "  ip_ip: $(od -An -v -tx1 "$addr_file" | tr -d ' \n')"
	else
		echo "  ip_ip: none"
	fi
}

sequence() {
	step drask_bootcause
	step drask_bootcause h
	step drask_bootcause boot
	step drask_bootcause Normal
	step drask_bootcause recovery
	step drask_bootcause system extra
	step drask_netaddr
	step drask_netaddr g
	show_addr_file
	step drask_netaddr s 192.168.1.10
	step drask_netaddr g
	show_addr_file
	step drask_netaddr s 10..1
	step drask_netaddr s 300.1.1.1
	step drask_netaddr s -1.2.3.4
	step drask_netaddr s 1.2.3.4.5
	step drask_netaddr s 0.1.2.3
	step drask_netaddr s
	step drask_netaddr x
	step drask_netaddr c
	step drask_netaddr g
	show_addr_file
	poke 29 'AB\000'
	step drask_bootcause recovery
	step drask_bootcause all
	poke 29 'ABC'
	step drask_bootcause recovery
}
