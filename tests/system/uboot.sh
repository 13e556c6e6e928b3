#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The U-Boot cell (tests/system/run --uboot): packaging/u-boot/veeprom.cmd on
# Debian's qemu_arm64 U-Boot, in one boot, reads each row's window from a GPT
# card (a virtio disk) and from NOR flash bank 1; its three variables must say
# what `veeprom show --json` says of the same window.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$(date +%s) w=build/system/uboot dev=build/dev passed=0 failed=0 i=0 disks=()
scripts/need qemu-system-arm u-boot-qemu u-boot-tools gdisk cmake ninja-build g++
[ -f $dev/CMakeCache.txt ] || { dev=build/system/dev && cmake --preset dev -B $dev -DVEEPROM_TESTS=OFF >/dev/null; }
cmake --build $dev --target veeprom_tool veeprom-sim >/dev/null
rm -rf $w && mkdir -p $w && truncate -s 64M $w/nor.img
mkimage -A arm64 -T script -C none -d packaging/u-boot/veeprom.cmd $w/veeprom.scr >/dev/null
declare -A gpt=([std]="1:boot 2:system 3:veeprom 4:data" [last]="4:veeprom 1:boot 2:system 3:data"
	[twice]="1:boot 2:system 3:veeprom 4:veeprom" [none]="1:boot 2:system 3:data" [gap]="1:boot 2:system 4:veeprom")
while IFS='|' read -r name layout fields; do # the window: veeprom image's, @OFFSET=BYTES written over it, or erased
	i=$((i + 1)) uuid=$(printf '00000000-0000-4000-8000-%012x' $i)
	for m in emmc mtd; do
		[ $m = emmc ] || [ "$layout" = std ] || continue
		# shellcheck disable=SC2046,SC2001 # FIELD VALUE words
		$dev/tools/veeprom image $m $w/$i.$m $(sed 's/@[^ ]*\|erased//g' <<<"$fields")
		for p in $fields; do [[ $p != @* ]] || printf %b "${p#*=}" | dd of=$w/$i.$m bs=1 seek="${p:1:2}" conv=notrunc status=none; done
		[ "$fields" != erased ] || head -c 512 /dev/zero | tr '\0' '\377' | dd of=$w/$i.$m conv=notrunc status=none
		$dev/sim/veeprom-sim make $w/sim $m >/dev/null && dd if=$w/$i.$m of=$w/sim/"$(cat $w/sim/.store)" conv=notrunc status=none
		want=$(VEEPROM_ROOT=$w/sim $dev/tools/veeprom show --json | sed -E 's/.*"bootcause":(null|"([^"]*)"),"address":(null|"none"|"([^"]*)"),"scheme":(null|"(AB)"|"[^"]*")\}$/|\2|\4|\6/; s/\|AB$/|1/; s/\|$/|0/')
		[[ $layout != none && $layout != gap ]] || want='|||0' # and a message
		if [ $m = mtd ]; then # bank 1 from 0x40000 on, a 64 KiB block a row
			key="mtd $(printf %x $((0x4040000 + i * 0x10000)))"
			dd if=$w/$i.mtd of=$w/nor.img bs=64K seek=$((4 + i)) conv=notrunc status=none
		else # a card a row, known by the GUID of its partition 1
			key="emmc $uuid" && truncate -s 4M $w/$i.img
			disks+=(-drive "if=none,id=d$i,format=raw,file=$w/$i.img" -device "virtio-blk-device,drive=d$i")
			# shellcheck disable=SC2046 # partition NUMBER:NAME, in the order made: the first lies first
			sgdisk -o $(for p in ${gpt[$layout]}; do echo "-n ${p%:*}:0:+256K -c $p"; done) -u "1:$uuid" $w/$i.img >/dev/null
			at=$(sgdisk -p $w/$i.img | awk '$NF == "veeprom" {print $2; exit}')
			[ -z "$at" ] || dd if=$w/$i.emmc of=$w/$i.img bs=512 seek="$at" conv=notrunc status=none
		fi
		echo "$name|$key|$want" >>$w/rows
	done
done <<'TABLE'
normal|std|bootcause normal address 192.168.1.10
recovery, 8 bytes with no terminator|std|bootcause recovery address 10.0.0.1
uboot|std|bootcause uboot address 1.2.3.4
boot|std|bootcause boot address 100.20.3.0
system and the AB marker|std|bootcause system scheme AB
all, 255.255.255.254|std|bootcause all address 255.255.255.254
erased (all 0xFF)|std|erased
zeroed|std|
AB marker|std|scheme AB address 172.16.0.99
address with first byte 0|std|bootcause normal @17=\x00\x0a\x01\x02
ABC is no AB marker|std|@29=ABC
veeprom the last entry, first on the disk|last|bootcause system address 192.168.1.10
two partitions named veeprom: the first|twice|bootcause boot
no partition named veeprom: fails, all cleared|none|
after an unused entry: U-Boot does not look there|gap|bootcause boot
TABLE
cat >$w/cases.cmd <<EOF
env default -a
virtio scan
setenv veeprom_if virtio
$(for d in $(seq 0 $((${#disks[@]} / 4 - 1))); do echo "part uuid virtio $(printf %x "$d"):1 c; setenv veeprom_dev $d; source 0x50000000"
	echo "echo \"=emmc \${c} |\${veeprom_bootcause}|\${veeprom_ipaddr}|\${veeprom_ab}\""; done)
setenv veeprom_if
for n in $(sed -n 's/.*|mtd \([0-9a-f]*\)|.*/\1/p' $w/rows | tr '\n' ' '); do setenv veeprom_nor \${n}; source 0x50000000; echo "=mtd \${n} |\${veeprom_bootcause}|\${veeprom_ipaddr}|\${veeprom_ab}"; done
poweroff
EOF
mkimage -A arm64 -T script -C none -d $w/cases.cmd $w/cases.scr >/dev/null
# U-Boot's environment, at the start of bank 1, only runs the cases at once.
printf 'bootcmd=source 0x50100000\nbootdelay=0\n' | mkenvimage -s 0x40000 -o $w/env - && dd if=$w/env of=$w/nor.img conv=notrunc status=none
timeout 100 qemu-system-aarch64 -M virt -cpu cortex-a53 -m 1G -nographic -net none \
	-bios /usr/lib/u-boot/qemu_arm64/u-boot.bin -drive if=pflash,unit=1,format=raw,file=$w/nor.img "${disks[@]}" \
	-device loader,file=$w/veeprom.scr,addr=0x50000000,force-raw=on -device loader,file=$w/cases.scr,addr=0x50100000,force-raw=on </dev/null 2>&1 |
	tr -d '\r' >$w/console.log || true
while IFS='|' read -r name key want; do
	got=$(sed -n "s/^=$key |//p" $w/console.log)
	if [ "|$got" = "$want" ]; then passed=$((passed + 1)) && echo "ok - uboot ${key%% *} $name: $want"
	else failed=$((failed + 1)) && echo "FAIL - uboot ${key%% *} $name: U-Boot said '|$got', want '$want'"; fi
done <$w/rows
echo "system: cells; console in $w/console.log"
printf '  %-20s %-22s %-5s %-7s %4s\n' uboot "U-Boot $(grep -om1 '20[0-9][0-9]\.[0-9]*' $w/console.log)" nor+sd \
	"$([ $failed = 0 ] && echo passed || echo failed)" $(($(date +%s) - started))
echo "system: $passed passed, $failed failed"
[ $failed = 0 ]
