#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The U-Boot cell (tests/system/run --uboot): three boots of emu/veeprom-uboot
# sources the store's script for each row's window on a GPT card (virtio) and
# in NOR bank 1 (2023.01, 2025.01), in UBI (built); its variables must say what `veeprom show --json` says.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$(date +%s) w=build/system/uboot dev=build/system/dev passed=0 failed=0 i=0 cards=()
scripts/need gdisk fdisk mtd-utils cmake ninja-build g++
[ -f $dev/CMakeCache.txt ] || cmake --preset dev -B $dev -DVEEPROM_TESTS=OFF >/dev/null
cmake --build $dev --target veeprom_tool veeprom-sim >/dev/null && rm -rf $w && mkdir -p $w
std="1:boot 2:system 3:veeprom 4:data" mtdparts=nor1:4m\(uenv\)
sed -n '/^\[veeprom\]/,/^```/p' docs/layout.md | grep -v '^```' >$w/veeprom.ini # the factory's recipe
echo 'setenv veeprom_buf 0x48000000; setenv veeprom_if virtio' | tee $w/cases >$w/ubi.cases
add() { # CASES KEY COMMANDS [SOURCE]: one source of the script between markers
	printf "echo \"=[ %s\"\n%s\n%s\necho \"=%s |\${veeprom_bootcause}|\${veeprom_ipaddr}|\${veeprom_ab}|\${veeprom_status}\"\n" \
		"$2" "$3" "${4:-source 0x50000000}" "$2" >>"$1"
}
while IFS='|' read -r name parts fields expect; do # the window: veeprom image's, @OFFSET=BYTES written over it, or erased
	i=$((i + 1))
	for m in emmc mtd ubi; do
		[ $m = emmc ] || [ "$parts" = "$std" ] || continue
		# shellcheck disable=SC2046,SC2001 # FIELD VALUE words
		$dev/tools/veeprom image $m $w/$i.$m $(sed 's/@[^ ]*\|erased//g' <<<"$fields")
		for p in $fields; do [[ $p != @* ]] || printf %b "${p#*=}" | dd of=$w/$i.$m bs=1 seek="${p:1:2}" conv=notrunc status=none; done
		[ "$fields" != erased ] || { tr '\0-\377' '\377' <$w/$i.$m >$w/erased && mv $w/erased $w/$i.$m; }
		$dev/sim/veeprom-sim make $w/sim $m >/dev/null && dd if=$w/$i.$m of=$w/sim/"$(cat $w/sim/.store)" conv=notrunc status=none
		want=$(VEEPROM_ROOT=$w/sim $dev/tools/veeprom show --json | sed -E 's/.*"bootcause":(null|"([^"]*)"),"address":(null|"none"|"([^"]*)"),"scheme":(null|"(AB)"|"[^"]*")\}$/|\2|\4|\6/; s/\|AB$/|1/; s/\|$/|0/')
		if [ $m = ubi ]; then # its own 1 MiB partition u$i from 4 MiB on, attached by name
			if [ "$fields" = erased ]; then grep -v '^image=' $w/veeprom.ini; else sed "s|^image=.*|image=$i.ubi|" $w/veeprom.ini; fi >$w/$i.ini
			(cd $w && ubinize -o $i.ubi.img -p 128KiB -m 1 $i.ini)
			# QEMU's flash erases 256 KiB where U-Boot sees 128 KiB: the rest is filled
			# with formatted eraseblocks, so that attaching erases none (no board's trap).
			{ cat $w/$i.ubi.img && for ((b = $(stat -c %s $w/$i.ubi.img) >> 17; b < 8; b++)); do
				head -c 64 $w/$i.ubi.img && head -c $((128 * 1024 - 64)) /dev/zero | tr '\0' '\377'
			done; } | dd of=$w/nor.img bs=1M seek=$((3 + i)) conv=notrunc status=none
			mtdparts+=",1m@$((3 + i))m(u$i)"
			add $w/ubi.cases "$m $i" "setenv veeprom_ubi u$i"
		elif [ $m = mtd ]; then # bank 1 from 0x40000 on, a 64 KiB block a row
			dd if=$w/$i.mtd of=$w/nor.img bs=64K seek=$((4 + i)) conv=notrunc status=none
			add $w/cases "$m $i" "setenv veeprom_nor $(printf %x $((0x4040000 + i * 0x10000)))"
		else
			add $w/cases "$m $i" "setenv veeprom_nor; setenv veeprom_dev $((${#cards[@]} / 2))" && cards+=(--card "$w/$i.img") && truncate -s 4M $w/$i.img
			# shellcheck disable=SC2046 # NUMBER:NAME in the order made: the first lies first on the card
			sgdisk -o $(for p in $parts; do echo "-n ${p%:*}:0:+256K -c $p"; done) $w/$i.img >/dev/null
			at=$(sgdisk -p $w/$i.img | awk '$NF == "veeprom" {print $2; exit}')
			[ -z "$at" ] || dd if=$w/$i.emmc of=$w/$i.img bs=512 seek="$at" conv=notrunc status=none
		fi
		echo "$name|$m $i$want|${expect:-ok}" >>$w/rows
	done
done <<TABLE
normal|$std|bootcause normal address 192.168.1.10
recovery, 8 bytes with no terminator|$std|bootcause recovery address 10.0.0.1
uboot, an address with first byte 0|$std|bootcause uboot address 1.2.3.4 @17=\x00
boot|$std|bootcause boot address 100.20.3.0
system, AB marker, 255.255.255.254|$std|bootcause system address 255.255.255.254 scheme AB
all, ABC is no AB marker|$std|bootcause all address 10.20.30.40 @29=ABC
erased (all 0xFF; on UBI a volume never written)|$std|erased
zeroed|$std|
eight letters, no word|$std|address 10.1.2.3 @09=abcdefgh|word
norm and four 0xFF|$std|@09=norm\xff\xff\xff\xff|word
veeprom the last entry, first on the card|4:veeprom 1:boot 2:system 3:data|bootcause system address 192.168.1.10
two partitions named veeprom: the first|1:boot 2:system 3:veeprom 4:veeprom|bootcause boot
after an unused entry|1:boot 2:system 4:veeprom|bootcause boot|2023.01 no store
TABLE
truncate -s 4M $w/nvme.img && printf 'g\nn\n1\n\n+256K\nn\n2\n\n+256K\nx\nn\n1\nboot\nn\n2\nveeprom\nr\nw\n' | fdisk -b 4096 $w/nvme.img >/dev/null &&
	dd if=$w/1.emmc of=$w/nvme.img bs=4096 seek=70 conv=notrunc status=none
# Bad input, 4096-byte blocks, known bytes at each load address sourced beside from scriptaddr (CRCs before and after).
crcs="; crc32 \${kernel_addr_r} 1000000; crc32 \${fdt_addr_r} 100000; crc32 \${ramdisk_addr_r} 100000; crc32 \${pxefile_addr_r} 100000"
while IFS='|' read -r name medium commands expect source; do
	i=$((i + 1))
	add $w/"$([ "$medium" = ubi ] && echo ubi.)"cases "$medium $i" "$commands" "$source"
	echo "$name|$medium $i|||0|$expect" >>$w/rows
done <<TABLE
veeprom_if without veeprom_dev|bad|setenv veeprom_nor; setenv veeprom_dev|usage
veeprom_dev not a decimal number|bad|setenv veeprom_dev 1x|usage
4096-byte blocks (NVMe)|bad|pci enum; nvme scan; setenv veeprom_if nvme; setenv veeprom_dev 0|blocks larger than 512
no volume of that name|ubi|setenv veeprom_ubi u1; setenv veeprom_ubi_vol other|no store in UBI
no such MTD partition|ubi|setenv veeprom_ubi_vol; setenv veeprom_ubi nosuch|no store in UBI
veeprom_buf unset: kernel, fdt, ramdisk, pxefile untouched|bad|if test -z "\${fdt_addr_r}"; then setenv fdt_addr_r 0x43000000; fi${crcs//crc32/cp.b 0}$crcs; cp.b 50000000 \${scriptaddr} 10000; setenv veeprom_if virtio; setenv veeprom_dev 0; setenv veeprom_buf|veeprom_buf|source \${scriptaddr}$crcs
TABLE
check() { # VERSION CONSOLE MEDIA...: those rows on that console, with one line why where not ok
	local v=$1 log=$2 got lines crc
	shift 2
	while IFS='|' read -r name key bootcause address ab expect; do
		[[ " $* " == *" ${key% *} "* ]] || continue
		[[ $expect != [0-9]* ]] || { [[ $expect == "$v "* ]] && expect=${expect#"$v "} || expect=ok; } # VERSION EXPECT
		want="|$bootcause|$address|$ab|ok" && [ "$expect" != word ] || want="||$address|$ab|ok" # no word taken
		[[ $expect == ok || $expect == word ]] || want="|||0|error"
		sed -n "/^=\[ $key\$/,/^=$key |/p" "$log" >$w/region
		got=$(sed -n "s/^=$key |/|/p" $w/region) lines=$(grep '^veeprom: ' $w/region || true) crc=$(grep '^crc32 for' $w/region || true)
		if [ "$got" = "$want" ] && [ "$(head -n 4 <<<"$crc")" = "$(tail -n +5 <<<"$crc")" ] &&
			if [ "$expect" = ok ]; then [ -z "$lines" ]; else [ "$(wc -l <<<"$lines")" = 1 ] && [[ $lines == *"$expect"* ]]; fi; then
			passed=$((passed + 1)) && echo "ok - uboot $v $key $name: $want${lines:+ ($lines)}"
		else failed=$((failed + 1)) && echo "FAIL - uboot $v $key $name: U-Boot said '$got'${lines:+ ($lines)}, want '$want' ($expect)"; fi
	done <$w/rows
}
echo "setenv mtdids nor1=nor1; setenv mtdparts mtdparts=$mtdparts" | cat - $w/ubi.cases >$w/ubi.cmds
for v in bookworm:2023.01 trixie:2025.01 ubi:2023.01; do
	t=$(date +%s) f=$failed u=${v%:*} cmds=$w/cases media=(emmc mtd bad) opts=(--nvme "$w/nvme.img" "${cards[@]}")
	[ "$u" != ubi ] || cmds=$w/ubi.cmds media=(ubi) opts=()
	emu/veeprom-uboot --uboot "$u" --script $dev/packaging/veeprom.cmd --flash $w/nor.img "${opts[@]}" --timeout 100 "$cmds" \
		>$w/console-"$u".log || true && check "${v#*:}" $w/console-"$u".log "${media[@]}"
	printf '  %-20s %-22s %-5s %-7s %4s\n' uboot "U-Boot ${v#*:}$([ "$u" != ubi ] || echo ' built')" "${media[*]/bad/}" \
		"$([ $failed = "$f" ] && echo passed || echo failed)" $(($(date +%s) - t)) >>$w/table
done
echo "system: cells; consoles in $w/"
cat $w/table
echo "system: wall time $(($(date +%s) - started)) s, the U-Boot build included"
echo "system: $passed passed, $failed failed"
[ $failed = 0 ]
