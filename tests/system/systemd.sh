# SPDX-License-Identifier: MIT
# The systemd cells (tests/system/run --init systemd [--root trixie]
# --kernel SUITE, sourced by it): the board build's unit and shutdown hook
# under Debian 12's systemd (252, on the 6.1 kernel) or Debian 13's (257, on
# the 6.12 kernel of bookworm-backports: Debian 13's own 6.12 headers want
# GCC 14 for the board's modules), the store on the SD card (boot mode 0).
# A row a boot: board.sh checks the unit's result, that it started after
# the socinfo driver that systemd-modules-load loads, and its exposure, and
# prints what it published as SCRIPT starts, then runs the row's commands,
# the last a reboot through systemd's whole shutdown; the host then reads
# the card's store.
# shellcheck shell=bash disable=SC2154 # run's work, out, passed, failed, result, row
[ "${2:-}" = systemd ] || { echo "--init ${2:-}: only systemd has a cell of its own" >&2 && exit 2; }
rootfs=bookworm && [ "${3:-}" != --root ] || rootfs=$4
kernel=bookworm && [ "$rootfs" = bookworm ] || kernel=bookworm-backports
out=$out/$rootfs-systemd
mkdir -p "$out"
echo "== system: the boot unit and the shutdown hook under $rootfs's systemd, $kernel kernel, store on the SD card (systemd)"
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
	emu/veeprom-emu --init systemd --root "$rootfs" --kernel "$kernel" --boot-mode 0 --bin build/board/tools --card "$work/card.img" --timeout 300 \
		--kernel-log "$out/boot$n.kernel.log" tests/system/board.sh tests/system/sequence.sh "$work/cell" >"$out/boot$n.log" 2>&1 || st=$?
	grep -E '^(ok|FAIL) - |^boot: |^order: |veeprom-reboot-target|^veeprom-emu: (kernel:|timed|the board)' "$out/boot$n.log" || true
	passed=$((passed + $(grep -c '^ok - ' "$out/boot$n.log" || true)))
	failed=$((failed + $(grep -c '^FAIL - ' "$out/boot$n.log" || true)))
	got=$(store)
	result "$([ $st = 0 ] && grep -q '\] reboot: Restarting system' "$out/boot$n.log" && echo true || echo false)" \
		"boot $n: '$commands' rebooted through systemd, veeprom-emu exit $st"
	result "$([ "$got" = "$want" ] && echo true || echo false)" "boot $n: the card's store holds $want (found $got)"
	while IFS= read -r -d '^' line; do # the console, or the kernel log for the hook run by hand
		result "$(grep -qsF -- "$line" "$out/boot$n.log" "$out/boot$n.kernel.log" && echo true || echo false)" "boot $n: the board says '$line'"
	done <<<"$console^"
done <<'TABLE'
drask_netaddr s 10.1.2.3 && systemctl reboot --reboot-argument=recovery|recovery 10.1.2.3 -|unit: no address stored (none): /tmp/ip_ip not written
ro_tmp && mkdir -p /etc/veeprom && touch /etc/veeprom/no-reboot-target && hook && rm /etc/veeprom/no-reboot-target && rmmod socinfo && hook && systemctl restart systemd-modules-load && systemctl reboot --reboot-argument=frob|recovery 10.1.2.3 -|ip_ip: 10.1.2.3^/tmp/ip_ip was not written: it holds 9.9.9.9, not removed^Read-only file system^boot target system not set: turned off by /etc/veeprom/no-reboot-target
drask_bootcause normal && veeprom set scheme AB && systemctl reboot --reboot-argument=recovery|normal 10.1.2.3 AB|veeprom-reboot-target: boot target recovery not set: Error: AB model not support recovery
drask_bootcause uboot && echo 1 >/sys/class/socinfo/boot_mode && systemctl restart veeprom-address.service && [ -c /dev/ubi10_0 ] && on 1 10.1.1.1 && on 5 10.5.5.5 && echo 0 >/sys/class/socinfo/boot_mode && systemctl reboot|uboot 10.1.2.3 AB|ip_ip: 10.1.2.3^no address stored (none)
TABLE
verdict=passed
[ "$failed" = 0 ] || verdict=failed
echo "system: cells"
row suite kernel flash result s
row "$kernel" "$(sed -n 's/^kernel: //p' "$out/boot1.log") $(sed -n 's/^systemd: //p' "$out/boot1.log")" "mmc" $verdict $(($(date +%s) - started))
echo "system: wall time $(($(date +%s) - started)) s; logs in $out/"
echo "system: $passed passed, $failed failed"
[ "$failed" = 0 ]
