#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The U-Boot cell (tests/system/run --uboot): one boot of emu/veeprom-uboot
# sources the store's script for each row's window on a GPT card (virtio) and
# in NOR bank 1; its variables must say what `veeprom show --json` says.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$(date +%s) w=build/system/uboot dev=build/system/dev passed=0 failed=0 i=0 cards=()
scripts/need gdisk cmake ninja-build g++
[ -f $dev/CMakeCache.txt ] || cmake --preset dev -B $dev -DVEEPROM_TESTS=OFF >/dev/null
cmake --build $dev --target veeprom_tool veeprom-sim >/dev/null && rm -rf $w && mkdir -p $w
std="1:boot 2:system 3:veeprom 4:data" && echo "setenv veeprom_if virtio" >$w/cases
while IFS='|' read -r name parts fields; do # the window: veeprom image's, @OFFSET=BYTES written over it, or erased
	i=$((i + 1))
	for m in emmc mtd; do
		[ $m = emmc ] || [ "$parts" = "$std" ] || continue
		# shellcheck disable=SC2046,SC2001 # FIELD VALUE words
		$dev/tools/veeprom image $m $w/$i.$m $(sed 's/@[^ ]*\|erased//g' <<<"$fields")
		for p in $fields; do [[ $p != @* ]] || printf %b "${p#*=}" | dd of=$w/$i.$m bs=1 seek="${p:1:2}" conv=notrunc status=none; done
		[ "$fields" != erased ] || head -c 512 /dev/zero | tr '\0' '\377' | dd of=$w/$i.$m conv=notrunc status=none
		$dev/sim/veeprom-sim make $w/sim $m >/dev/null && dd if=$w/$i.$m of=$w/sim/"$(cat $w/sim/.store)" conv=notrunc status=none
		want=$(VEEPROM_ROOT=$w/sim $dev/tools/veeprom show --json | sed -E 's/.*"bootcause":(null|"([^"]*)"),"address":(null|"none"|"([^"]*)"),"scheme":(null|"(AB)"|"[^"]*")\}$/|\2|\4|\6/; s/\|AB$/|1/; s/\|$/|0/')
		[[ $name != "not found"* ]] || want='|||0' # U-Boot says why
		if [ $m = mtd ]; then # bank 1 from 0x40000 on, a 64 KiB block a row
			dd if=$w/$i.mtd of=$w/nor.img bs=64K seek=$((4 + i)) conv=notrunc status=none
			echo "setenv veeprom_nor $(printf %x $((0x4040000 + i * 0x10000)))" >>$w/cases
		else
			echo "setenv veeprom_nor; setenv veeprom_dev $((${#cards[@]} / 2))" >>$w/cases && cards+=(--card "$w/$i.img") && truncate -s 4M $w/$i.img
			# shellcheck disable=SC2046 # NUMBER:NAME in the order made: the first lies first on the card
			sgdisk -o $(for p in $parts; do echo "-n ${p%:*}:0:+256K -c $p"; done) $w/$i.img >/dev/null
			at=$(sgdisk -p $w/$i.img | awk '$NF == "veeprom" {print $2; exit}')
			[ -z "$at" ] || dd if=$w/$i.emmc of=$w/$i.img bs=512 seek="$at" conv=notrunc status=none
		fi
		echo "source 0x50000000; echo \"=$m $i |\${veeprom_bootcause}|\${veeprom_ipaddr}|\${veeprom_ab}\"" >>$w/cases
		echo "$name|$m $i|$want" >>$w/rows
	done
done <<TABLE
normal|$std|bootcause normal address 192.168.1.10
recovery, 8 bytes with no terminator|$std|bootcause recovery address 10.0.0.1
uboot, an address with first byte 0|$std|bootcause uboot address 1.2.3.4 @17=\x00
boot|$std|bootcause boot address 100.20.3.0
system, AB marker, 255.255.255.254|$std|bootcause system address 255.255.255.254 scheme AB
all, ABC is no AB marker|$std|bootcause all address 10.20.30.40 @29=ABC
erased (all 0xFF)|$std|erased
zeroed|$std|
veeprom the last entry, first on the card|4:veeprom 1:boot 2:system 3:data|bootcause system address 192.168.1.10
two partitions named veeprom: the first|1:boot 2:system 3:veeprom 4:veeprom|bootcause boot
not found after an unused entry|1:boot 2:system 4:veeprom|bootcause boot
TABLE
emu/veeprom-uboot --flash $w/nor.img "${cards[@]}" --timeout 100 $w/cases >$w/console.log || true
while IFS='|' read -r name key want; do
	got=$(sed -n "s/^=$key |//p" $w/console.log)
	if [ "|$got" = "$want" ]; then passed=$((passed + 1)) && echo "ok - uboot $key $name: $want"
	else failed=$((failed + 1)) && echo "FAIL - uboot $key $name: U-Boot said '|$got', want '$want'"; fi
done <$w/rows
echo "system: cells; console in $w/console.log"
printf '  %-20s %-22s %-5s %-7s %4s\n' uboot "U-Boot $(grep -om1 '20[0-9][0-9]\.[0-9]*' $w/console.log)" nor+sd \
	"$([ $failed = 0 ] && echo passed || echo failed)" $(($(date +%s) - started))
echo "system: $passed passed, $failed failed"
[ $failed = 0 ]
