# SPDX-License-Identifier: MIT
# The systemd cells (tests/system/run --init systemd [--root trixie]
# --kernel SUITE, sourced by it): the board build's unit and shutdown hook
# under Debian 12's systemd (252, on the 6.1 kernel) or Debian 13's (257, on
# the 6.12 kernel of bookworm-backports: Debian 13's own 6.12 headers want
# GCC 14 for the board's modules), the store on the SD card (boot mode 0).
# A row a boot, all in one run through U-Boot: board.sh checks the unit's
# result, that it started after the socinfo driver that systemd-modules-load
# loads, and its exposure, and prints what it published as SCRIPT starts,
# then the target and the store U-Boot read, and runs the row's commands,
# the last a reboot through systemd's whole shutdown (a reset into U-Boot)
# or the power-off; the host then reads the card's store.
# shellcheck shell=bash disable=SC2154 # run's work, out, passed, failed, result, row
[ "${2:-}" = systemd ] || { echo "--init ${2:-}: only systemd has a cell of its own" >&2 && exit 2; }
rootfs=bookworm && [ "${3:-}" != --root ] || rootfs=$4
kernel=bookworm && [ "$rootfs" = bookworm ] || kernel=bookworm-backports
out=$out/$rootfs-systemd
mkdir -p "$out"
echo "== system: the boot unit and the shutdown hook under $rootfs's systemd, $kernel kernel, through U-Boot, store on the SD card (systemd)"
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
# TARGET U-Boot boots|the store it read|commands|console lines (^ between)
cat >"$work/boots" <<'TABLE'
normal|- - -|drask_netaddr s 10.1.2.3 && systemctl reboot --reboot-argument=recovery|unit: no address stored (none): /tmp/ip_ip not written^veeprom-reboot-target: boot target set to recovery
recovery|recovery 10.1.2.3 -|drask_bootcause normal && ro_tmp && mkdir -p /etc/veeprom && touch /etc/veeprom/no-reboot-target && hook && rm /etc/veeprom/no-reboot-target && rmmod socinfo && hook && systemctl restart systemd-modules-load && systemctl reboot --reboot-argument=frob|ip_ip: 10.1.2.3^/tmp/ip_ip was not written: it holds 9.9.9.9, not removed^Read-only file system^boot target system not set: turned off by /etc/veeprom/no-reboot-target
normal|normal 10.1.2.3 -|veeprom set scheme AB && systemctl reboot --reboot-argument=recovery|ip_ip: 10.1.2.3^veeprom-reboot-target: boot target recovery not set: Error: AB model not support recovery
normal|normal 10.1.2.3 AB|drask_bootcause uboot && echo 1 >/sys/class/socinfo/boot_mode && systemctl restart veeprom-address.service && [ -c /dev/ubi10_0 ] && on 1 10.1.1.1 && on 5 10.5.5.5 && echo 0 >/sys/class/socinfo/boot_mode && systemctl reboot|ip_ip: 10.1.2.3^no address stored (none)
normal|uboot 10.1.2.3 AB|systemctl poweroff|ip_ip: 10.1.2.3
TABLE
echo systemd >"$work/cell"
st=0
emu/veeprom-emu --boot uboot --init systemd --root "$rootfs" --kernel "$kernel" --boot-mode 0 --bin build/board/tools --card "$work/card.img" \
	--timeout 300 --kernel-log "$out/loop.kernel.log" tests/system/board.sh tests/system/sequence.sh "$work/cell" "$work/boots" >"$out/loop.log" 2>&1 || st=$?
# Each boot's lines, from U-Boot's first on, in a file of its own.
rm -f "$out"/boot*.log
awk -v out="$out" '/^U-Boot [0-9][0-9][0-9][0-9]\./ { if (f) close(f); f = out "/boot" ++n ".log" } f { print >f }' "$out/loop.log"
awk -v out="$out" '/^---- boot [0-9]+$/ { if (f) close(f); f = out "/boot" $3 ".kernel.log" } f { print >f }' "$out/loop.kernel.log"
grep -E '^(ok|FAIL) - |^boot: |^order: |^veeprom: booting|veeprom-reboot-target|^veeprom-emu: (kernel:|timed|boot|the board)' "$out/loop.log" || true
passed=$((passed + $(grep -c '^ok - ' "$out/loop.log" || true)))
failed=$((failed + $(grep -c '^FAIL - ' "$out/loop.log" || true)))
n=0 rows=$(wc -l <"$work/boots")
while IFS='|' read -r target _ commands console; do
	n=$((n + 1)) log=$out/boot$n.log end='reboot: Restarting system'
	[ "$n" -lt "$rows" ] || end='reboot: Power down'
	result "$(grep -q "^veeprom: booting $target " "$log" && grep -q "\] $end" "$log" && echo true || echo false)" \
		"boot $n: U-Boot booted $target, then '${commands##*&& }' ended it ($end)"
	while IFS= read -r -d '^' line; do # the console, or the kernel log for the hook run by hand
		result "$(grep -qsF -- "$line" "$log" "${log%.log}.kernel.log" && echo true || echo false)" "boot $n: the board says '$line'"
	done <<<"$console^"
done <"$work/boots"
result "$([ $st = 0 ] && [ ! -e "$out/boot$((rows + 1)).log" ] && echo true || echo false)" "$rows boots, the last powered off: veeprom-emu exit $st"
got=$(store)
result "$([ "$got" = "uboot 10.1.2.3 AB" ] && echo true || echo false)" "the card's store after power-off holds uboot 10.1.2.3 AB (found $got)"
verdict=passed
[ "$failed" = 0 ] || verdict=failed
echo "system: cells"
row suite kernel flash result s
row "$kernel" "$(sed -n 's/^kernel: //p' "$out/boot1.log") $(sed -n 's/^systemd: //p' "$out/boot1.log")" "mmc" $verdict $(($(date +%s) - started))
echo "system: wall time $(($(date +%s) - started)) s; logs in $out/"
echo "system: $passed passed, $failed failed"
[ "$failed" = 0 ]
