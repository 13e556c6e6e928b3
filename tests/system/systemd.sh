# SPDX-License-Identifier: MIT
# The systemd cell (tests/system/run --init systemd, sourced by it): the
# board build's unit and shutdown hook under Debian 12's systemd on the 6.1
# kernel, the store on the SD card (boot mode 0).  A row a boot: board.sh
# checks the unit's result and prints what it published as SCRIPT starts,
# then runs the row's commands, the last a reboot through systemd's whole
# shutdown; the host then reads the card's store.
# shellcheck shell=bash disable=SC2154 # run's work, out, passed, failed, result, row
[ "${2:-}" = systemd ] || { echo "--init ${2:-}: only systemd has a cell of its own" >&2 && exit 2; }
kernel=bookworm out=$out/bookworm-systemd
mkdir -p "$out"
echo "== system: the boot unit and the shutdown hook under systemd, $kernel kernel, store on the SD card (systemd)"
scripts/need cmake ninja-build g++-aarch64-linux-gnu gdisk
[ -f build/board/build.ninja ] || cmake --preset board >/dev/null
cmake --build --preset board >/dev/null
store() { # the card's store: boot target, address, scheme (- for none)
	local first b a s
	first=$(sgdisk -i 3 "$work/card.img" | sed -n 's/^First sector: \([0-9]*\) .*/\1/p')
	dd if="$work/card.img" of="$work/store" bs=512 skip="$first" count=1 2>/dev/null
	b=$(head -c 17 "$work/store" | tail -c 8 | tr -d '\0') s=$(head -c 37 "$work/store" | tail -c 8 | tr -d '\0')
	a=$(od -An -tu1 -j 17 -N 4 "$work/store" | xargs | tr ' ' .)
	echo "${b:--} ${a/#0.*/-} ${s:--}"
}
n=0
while IFS='|' read -r commands want console; do
	n=$((n + 1)) st=0
	echo "systemd $commands" >"$work/cell"
	emu/veeprom-emu --init systemd --boot-mode 0 --bin build/board/tools --card "$work/card.img" --timeout 300 \
		tests/system/board.sh tests/system/sequence.sh "$work/cell" >"$out/boot$n.log" 2>&1 || st=$?
	grep -E '^(ok|FAIL) - |^boot: |veeprom-reboot-target' "$out/boot$n.log" || true
	passed=$((passed + $(grep -c '^ok - ' "$out/boot$n.log" || true)))
	failed=$((failed + $(grep -c '^FAIL - ' "$out/boot$n.log" || true)))
	got=$(store)
	result "$([ $st = 0 ] && grep -q '\] reboot: Restarting system' "$out/boot$n.log" && echo true || echo false)" \
		"boot $n: '$commands' rebooted through systemd, veeprom-emu exit $st"
	result "$([ "$got" = "$want" ] && echo true || echo false)" "boot $n: the card's store holds $want (found $got)"
	result "$(grep -qF -- "$console" "$out/boot$n.log" && echo true || echo false)" "boot $n: the console says '$console'"
done <<'TABLE'
drask_netaddr s 10.1.2.3 && systemctl reboot recovery|recovery 10.1.2.3 -|unit: no address stored (none): /tmp/ip_ip not written
systemctl reboot frob|recovery 10.1.2.3 -|ip_ip: 10.1.2.3
drask_bootcause normal && veeprom set scheme AB && systemctl reboot recovery|normal 10.1.2.3 AB|veeprom-reboot-target: boot target recovery not set: Error: AB model not support recovery
drask_bootcause uboot && systemctl reboot|uboot 10.1.2.3 AB|ip_ip: 10.1.2.3
TABLE
verdict=passed
[ "$failed" = 0 ] || verdict=failed
echo "system: cells"
row suite kernel flash result s
row "$kernel" "$(sed -n 's/^kernel: //p' "$out/boot1.log") systemd" "mmc" $verdict $(($(date +%s) - started))
echo "system: wall time $(($(date +%s) - started)) s; logs in $out/"
echo "system: $passed passed, $failed failed"
[ "$failed" = 0 ]
