# The system test's part on the emulated board (busybox sh, run by
# veeprom-emu): the board build of the tools on the real MTD, UBI and MMC
# drivers.  Prints ok/FAIL lines, each medium's differential transcript
# between "=== sequence MEDIUM" and "=== end", and the card's store bytes.
# shellcheck disable=SC2016,SC2034 # check evaluates its tests; sequence.sh reads scratch
. ./sequence.sh
scratch=/tmp addr_file=/tmp/ip_ip failed=0

check() { # DESCRIPTION TEST [WHAT WAS FOUND]
	if eval "$2"; then echo "ok - $1"; else
		failed=$((failed + 1))
		echo "FAIL - $1${3:+: $3}"
	fi
}
expect() { # STATUS OUTPUT COMMAND...: exit status and output of both streams
	want="$1 '$2'"
	shift 2
	got="$("$@" 2>&1)"
	got="$? '$got'"
	check "$* gives $want" '[ "$got" = "$want" ]' "$got"
}
hex() { dd if="$1" bs=65536 count=1 2>/dev/null | od -An -v -tx1 -j "$2" -N "$3" | tr -d ' \n'; }
text() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
holds() { # OFFSET HEX: the store holds HEX there
	want=$2 got=$(hex "$store" "$1" $((${#2} / 2)))
	check "store at $1 holds $2" '[ "$got" = "$want" ]' "$got"
}
poke() { # rewrites the store's first block, as each medium must be written
	dd if="$store" of=/tmp/block bs=65536 count=1 2>/dev/null
	printf '%b' "$2" | dd of=/tmp/block bs=1 seek="$1" conv=notrunc 2>/dev/null
	case $store in
	*ubi*) ubiupdatevol "$store" /tmp/block ;;
	*mtd*) flash_erase -q "$store" 0 1 && dd if=/tmp/block of="$store" 2>/dev/null ;;
	*) dd if=/tmp/block of="$store" 2>/dev/null ;;
	esac
}

# medium NAME BOOT_MODE STORE: the differential sequence on a fresh store,
# then both tools at once, each checking what it reads back; at the end the
# store holds the last value of each: no update was lost, no run failed.
medium() {
	echo "$2" >/sys/class/socinfo/boot_mode
	store=$3
	rm -f "$addr_file" /tmp/errors
	echo "=== sequence $1"
	sequence
	echo "=== end"
	for r in 1 2 3 4; do
		for w in normal uboot boot system all; do
			out=$(drask_bootcause $w 2>&1) || echo "$w: $out" >>/tmp/errors
			[ "$out" = $w ] || echo "$w read back '$out'" >>/tmp/errors
		done
	done &
	for i in $(seq 20); do
		out=$(drask_netaddr s "10.0.$i.1" 2>&1) || echo "s 10.0.$i.1: $out" >>/tmp/errors
		[ "$(drask_netaddr g 2>&1)" = "10.0.$i.1" ] || echo "g after s 10.0.$i.1 failed" >>/tmp/errors
	done
	wait
	check "$1: both tools at once" '[ ! -e /tmp/errors ]' "$(cat /tmp/errors 2>/dev/null)"
	holds 9 "$(text all)00000000000a001401"
}

# ab MEDIUM DEVICE: veeprom marks the board an AB model, after which
# drask_bootcause refuses recovery; veeprom show --json names the medium and
# the device.
ab() {
	m=$1 d=$2
	expect 0 "" veeprom set scheme none
	holds 29 0000000000000000
	expect 0 "" veeprom set scheme AB
	holds 29 4142000000000000
	expect 255 "Error: AB model not support recovery" drask_bootcause recovery
	json=$(veeprom show --json 2>&1)
	echo "$m: veeprom show --json: $json"
	check "$m: veeprom show --json" 'case $json in "{\"medium\":\"$m\",\"device\":\"$d\","*",\"scheme\":\"AB\"}") ;; *) false ;; esac' "$json"
}

# hold rw|ro SECONDS: another program has the volume open meanwhile
hold() {
	rm -f /tmp/held
	if [ "$1" = rw ]; then
		(exec 3<>"$store" && touch /tmp/held && exec sleep "$2") &
	else
		(exec 3<"$store" && touch /tmp/held && exec sleep "$2") &
	fi
	holder=$!
	for i in $(seq 50); do [ -e /tmp/held ] || sleep 0.1; done
	check "another program holds the volume open ($1) for $2 s" '[ -e /tmp/held ]'
}
release() { { kill "$holder" && wait "$holder"; } 2>/dev/null; }

medium ubi 1 /dev/ubi10_0
ubidetach -d 10
expect 0 uboot drask_bootcause uboot
check "ubi: the run attached UBI device 10 on env (mtd1)" '[ "$(cat /sys/class/ubi/ubi10/mtd_num)" = 1 ]'
expect 0 "" drask_netaddr s 172.16.5.4
holds 9 "$(text uboot)000000ac100504"
ubidetach -d 10
expect 0 uboot drask_bootcause
expect 0 172.16.5.4 drask_netaddr g
check "ubi: the address file" '[ "$(hex $addr_file 0 64)" = "$(text 172.16.5.4)" ]'
poke 29 'AB\000'
expect 255 "Error: AB model not support recovery" drask_bootcause recovery
holds 9 "$(text uboot)000000"
hold rw 1
expect 0 boot drask_bootcause boot
hold ro 1
expect 0 system drask_bootcause system
hold rw 30
expect 255 "veeprom_init error" drask_bootcause all
release
hold ro 30
expect 255 "veeprom_write ret = -1" drask_bootcause all
release
holds 9 "$(text system)0000"
ab ubi /dev/ubi10_0
ubidetach -d 10

medium mtd 5 /dev/mtd3
# A pattern in the neighbours and in the store's second erase block shows
# any erase or write that strays from the store's first block.
yes neighbour | head -c 131072 >/tmp/pattern
for p in mtd2 mtd4; do dd if=/tmp/pattern of=/dev/$p 2>/dev/null; done
dd if=/tmp/pattern of=/dev/mtd3 bs=65536 seek=1 count=1 2>/dev/null
sums() { md5sum /dev/mtd1 /dev/mtd2 /dev/mtd4 && dd if=/dev/mtd3 bs=65536 skip=1 2>/dev/null | md5sum; }
before=$(sums)
expect 0 system drask_bootcause system
expect 0 boot drask_bootcause boot
holds 9 "$(text boot)00000000" # NOR without the erase: "system" AND "boot"
check "mtd: bytes 2048-65535 of the partition erased" \
	'[ "$(dd if=/dev/mtd3 bs=2048 skip=1 count=31 2>/dev/null | tr -d "\377" | wc -c)" = 0 ]'
check "mtd: env, boot, data and the store's second erase block untouched" '[ "$(sums)" = "$before" ]'
ab mtd /dev/mtd3

medium mmc 0 /dev/mmcblk0p3
expect 0 system drask_bootcause system
expect 0 "" drask_netaddr s 10.1.2.3
ab emmc /dev/mmcblk0p3
echo "card store: $(hex "$store" 0 2048)"
[ $failed = 0 ]
