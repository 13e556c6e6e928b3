# SPDX-License-Identifier: MIT
# The system test's part on the emulated board (busybox sh, run by
# veeprom-emu): the board build of the tools on the real MTD, UBI and MMC
# drivers.  Prints ok/FAIL lines, each medium's differential transcript
# between "=== sequence MEDIUM" and "=== end", the power-cut table, and the
# card's store bytes.  The FILEs beside it: sequence.sh, halfchange, forkchild, cell
# (what this boot runs: full, media, nand, wear or rc; tests/system/run).
# shellcheck disable=SC2016,SC2034 # check evaluates its tests; sequence.sh reads scratch
. ./sequence.sh
scratch=/tmp addr_file=/tmp/ip_ip failed=0 cell=$(cat cell) lost=0
echo "kernel: $(uname -r)"

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
hex() { dd if="$1" bs=512 skip=$(($2 / 512)) count=$((($2 % 512 + $3 + 511) / 512)) 2>/dev/null | od -An -v -tx1 -j $(($2 % 512)) -N "$3" | tr -d ' \n'; }
text() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
holds() { # OFFSET HEX: the store holds HEX there
	want=$2 got=$(hex "$store" "$1" $((${#2} / 2)))
	check "store at $1 holds $2" '[ "$got" = "$want" ]' "$got"
}
put_block() { # FILE: into the store's first block, as each medium must be written
	case $store in
	*ubi*) ubiupdatevol "$store" "$1" ;;
	*mtd*) flash_erase -q "$store" 0 1 && dd if="$1" of="$store" 2>/dev/null ;;
	*) dd if="$1" of="$store" 2>/dev/null ;;
	esac
}
poke() { # OFFSET TEXT: rewrites the store's first block with TEXT there
	dd if="$store" of=/tmp/block bs=65536 count=1 2>/dev/null
	printf '%b' "$2" | dd of=/tmp/block bs=1 seek="$1" conv=notrunc 2>/dev/null
	put_block /tmp/block
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

# erased MEDIUM: a store never written (0xFF) holds no value; a change writes it.
erased() {
	check "$1: the erased store reads all 0xFF" '[ -z "$(hex "$store" 0 2048 | tr -d f)" ]'
	rm -f "$addr_file"
	expect 255 "255.255.255.255
ERR: invalid ip, drop IP value from eeprom!!" drask_netaddr g
	check "$1: no address file from the erased store" '[ ! -e "$addr_file" ]'
	check "$1: drask_bootcause prints one empty line, exit 0" 'drask_bootcause >/tmp/o 2>&1 && [ "$(od -An -tx1 </tmp/o | tr -d " ")" = 0a ]'
	shown=$(veeprom show 2>&1)
	check "$1: veeprom show: every field erased" 'case $shown in *"bootcause: erased"*"address: erased"*"scheme: erased"*) ;; *) false ;; esac' "$shown"
	expect 0 boot drask_bootcause boot
	holds 9 "$(text boot)00000000ffffffff"
}

# systemd (tests/system/systemd.sh): as SCRIPT starts, the boot unit's result
# and what it published; boot N (counted on the card's data partition) checks
# row N of ./boots against /proc/cmdline and the store, and runs its commands.
if [ "$cell" = systemd ]; then
	check "systemd: veeprom-address.service succeeded" \
		'[ "$(systemctl show -p Result --value veeprom-address.service)" = success ] && systemctl -q is-active veeprom-address.service'
	echo "systemd: systemd $(systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p'), $(. /etc/os-release && echo "$PRETTY_NAME" | sed -n 's/.*(\(Debian [0-9]*\).*/\1/p')"
	echo "boot: $(systemd-analyze time | head -n 1)"
	# socinfo arrives after PID 1 (modules-load.d): the unit starts only then.
	journalctl -b -o short-monotonic | grep -E "Inserted module 'socinfo'|(Starting|Finished) .*Publish the stored|veeprom-address.service: |Reached target.*[Nn]etwork" |
		sed 's/^/order: /' | tee /tmp/order
	check "systemd: socinfo loaded by systemd-modules-load, then the unit started" \
		"awk '/Inserted module/ { m = NR } /Starting/ && !s { s = NR } END { exit !(m && s > m) }' /tmp/order"
	unit=$(systemctl show -p FragmentPath --value veeprom-address.service)
	exposure=$(systemd-analyze security --offline=yes "$unit" 2>&1 | sed -n 's/.*Overall exposure level.*: \([0-9.]*\) .*/\1/p')
	check "systemd: exposure of the unit $exposure, at most 3.0" "awk 'BEGIN { exit !(\"$exposure\" != \"\" && \"$exposure\" <= 3.0) }'"
	echo "unit: $(journalctl -b -u veeprom-address.service -o cat | grep '^no address' || echo -)"
	echo "ip_ip: $(cat /tmp/ip_ip 2>/dev/null || echo -)"
	ro_tmp() { # the unit again, /tmp read-only and a stale /tmp/ip_ip in it: it must fail
		d=/run/systemd/system/veeprom-address.service.d
		mkdir -p "$d" && printf '[Service]\nReadWritePaths=\nExecStartPre=+/bin/sh -c "echo 9.9.9.9 >/tmp/ip_ip"\n' >"$d"/ro.conf &&
			systemctl daemon-reload && ! systemctl restart veeprom-address.service && rm -r "$d" && systemctl daemon-reload
	}
	hook() { # the shutdown hook as systemd-shutdown runs it, for reboot system; its kernel log line on the console too
		echo system >/run/systemd/reboot-param && /lib/systemd/system-shutdown/veeprom-reboot-target reboot &&
			{ busybox dmesg | grep -F 'veeprom-reboot-target:' | tail -n 1 || true; }
	}
	on() { # BOOT-MODE ADDRESS: the unit again, that medium's store holding ADDRESS
		want=$2
		echo "$1" >/sys/class/socinfo/boot_mode && drask_netaddr s "$2" && systemctl restart veeprom-address.service &&
			check "systemd: boot mode $1, the unit publishes $2" '[ "$(cat /tmp/ip_ip)" = "$want" ]'
	}
	n=$(dd if=/dev/mmcblk0p4 bs=8 count=1 2>/dev/null | tr -dc 0-9)
	n=$((${n:-0} + 1))
	printf '%-8d' "$n" | dd of=/dev/mmcblk0p4 conv=notrunc 2>/dev/null && sync
	IFS='|' read -r want stored commands _ <<EOF
$(sed -n "${n}p" boots)
EOF
	target=$(sed -n 's/.*veeprom\.target=\([a-z]*\).*/\1/p' /proc/cmdline)
	check "boot $n: U-Boot booted $want (/proc/cmdline: veeprom.target=$target)" '[ -n "$want" ] && [ "$target" = "$want" ]'
	# The store's bytes as U-Boot read them: target, address, scheme, - for none.
	dd if=/dev/mmcblk0p3 of=/tmp/store bs=512 count=1 2>/dev/null
	b=$(head -c 17 /tmp/store | tail -c 8 | tr -d '\0') a=$(od -An -tu1 -j 17 -N 4 /tmp/store | xargs | tr ' ' .)
	s=$(head -c 37 /tmp/store | tail -c 8 | tr -d '\0')
	case $a in 0.*) a=- ;; esac
	check "boot $n: the card's store holds $stored" '[ "${b:--} $a ${s:--}" = "$stored" ]' "${b:--} $a ${s:--}"
	eval "$commands" || check "boot $n: $commands" false
	exit 1
fi
# rc (--init sysv, the card's store): the init script published at boot what
# the cell's first boot left stored; again with a directory in the file's place.
if [ "$cell" = rc ]; then
	check "rc: at boot the init script published the card's 10.1.2.3" '[ "$(cat $addr_file)" = 10.1.2.3 ]' "$(cat $addr_file 2>&1)"
	rm $addr_file && mkdir $addr_file
	expect 1 "Starting veeprom-address: FAIL
veeprom-address: the store holds 10.1.2.3 but $addr_file was not written: a directory is in its place" /etc/init.d/S30veeprom-address start
	rmdir $addr_file
	exit $((failed != 0))
fi
if [ "$cell" = wear ]; then
	for i in $(seq 200); do
		a=10.1.$((i / 100)).$((i % 100))
		drask_netaddr s $a && [ "$(drask_netaddr g)" = $a ] || lost=$((lost + 1))
	done
	bad=$(cat /sys/class/ubi/ubi10/bad_peb_count) weak=$(tr ',' '\n' </sys/module/nandsim/parameters/weakblocks | wc -l)
	check "nand: 200 changes while blocks wear out: $lost lost, $bad of the $weak weak blocks retired" '[ $lost = 0 ] && [ "$bad" = "$weak" ]'
	ubidetach -d 10 && ubiattach -m 1 -d 10 >/dev/null
	check "nand: after a re-attach still $bad retired, the last change read back" '[ "$(cat /sys/class/ubi/ubi10/bad_peb_count)" = "$bad" ] && [ "$(drask_netaddr g)" = 10.1.2.0 ]'
	exit $((failed != 0))
fi
medium ubi 1 /dev/ubi10_0
ubidetach -d 10
[ "$cell" != nand ] || ubiattach -m 1 -d 10 >/dev/null # nandsim badblocks=3,9: marked bad on the chip
[ "$cell" != nand ] || check "nand: UBI counts the factory bad blocks 3 and 9" '[ "$(cat /sys/class/ubi/ubi10/bad_peb_count)" = 2 ]'
if [ "$cell" = full ]; then
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
ubirmvol /dev/ubi10 -n 0 && ubimkvol /dev/ubi10 -n 0 -N veeprom -s 2048 >/dev/null
erased ubi
ubidetach -d 10
fi

[ "$cell" = nand ] || medium mtd 5 /dev/mtd3
if [ "$cell" = full ]; then
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
flash_erase -q /dev/mtd3 0 1
erased mtd
fi

# ---- power cuts and first runs at once ----------------------------------------
# The flash simulator's cut (emu/modules/norsim.c): cut_after=k tears the k-th
# program or block erase from then on and freezes the flash after it; ops
# counts the operations since.  "Power returns" clears the cut and, for UBI,
# detaches and attaches again: a fresh scan, as after a reboot.  NAND has the
# same controls (emu/modules/nandsim.patch).
if [ "$cell" = full ] || [ "$cell" = nand ]; then
ns=/sys/module/norsim/parameters
[ "$cell" = full ] || ns=/sys/module/nandsim/parameters
echo 1 >/sys/class/socinfo/boot_mode
rm -f /tmp/errors
if [ "$cell" = full ]; then
for r in $(seq 20); do # every run sees no volume and asks to attach
	[ ! -e /sys/class/ubi/ubi10 ] || ubidetach -d 10
	for i in 1 2 3 4; do
		(out=$(drask_bootcause 2>&1) || echo "round $r run $i: $out" >>/tmp/errors) &
	done
	wait
done
found=
[ ! -e /tmp/errors ] || found="$(wc -l </tmp/errors) of 80 failed, the first: $(head -n 1 /tmp/errors)"
check "ubi: four first runs at once after a detach, 20 rounds: no run fails" '[ ! -e /tmp/errors ]' "$found"
fi

# The store's window before each change: every byte set, so that a write torn
# anywhere shows; word normal, address 10.0.0.1.
yes old | head -c 2048 >/tmp/old
printf '%b' 'normal\000\000\012\000\000\001' | dd of=/tmp/old bs=1 seek=9 conv=notrunc 2>/dev/null
expected() { # OFFSET BYTES: the window after the change, in /tmp/new
	cp /tmp/old /tmp/new
	printf '%b' "$2" | dd of=/tmp/new bs=1 seek="$1" conv=notrunc 2>/dev/null
	field_at=$1 field=$(printf '%b' "$2" | od -An -tx1 | tr -d ' \n')
}
stored() { [ "$(hex "$store" "$field_at" $((${#field} / 2)))" = "$field" ]; } # the changed field
settle() { # until UBI's background thread is idle and the flash still
	bgt=$(pidof ubi_bgt10d || true) n=-1
	while m=$(cat $ns/ops); [ "$m" != "$n" ] || { [ -n "$bgt" ] && [ "$(cut -d' ' -f3 /proc/"$bgt"/stat)" != S ]; }; do
		n=$m
		sleep 0.05
	done
}
power_returns() {
	echo 0 >$ns/cut_after
	case $store in *ubi*) ubidetach -d 10 && ubiattach -m 1 -d 10 >/dev/null ;; esac
}
state() { # old, new or damaged: the store's first 2048 bytes
	if ! dd if="$store" of=/tmp/got bs=2048 count=1 2>/dev/null; then
		echo damaged
	elif cmp -s /tmp/got /tmp/old; then echo old
	elif cmp -s /tmp/got /tmp/new; then echo new
	else echo damaged; fi
}
row() { printf '%-26s %3s  %-26s %-8s %s\n' "$@" >>/tmp/cuts; }
: >/tmp/cuts

# cut_at NAME K COMMAND...: the old window, a cut at the K-th flash operation
# of COMMAND, power back; then the store's state (s), and the next runs of
# both tools (next: a read each, an erased address refused, and COMMAND again,
# which must store its field).  One table row.  Fails, with ops and s and
# COMMAND's status st, when COMMAND ended before its cut.
cut_at() {
	name=$1 k=$2
	shift 2
	put_block /tmp/old
	settle
	echo "$k" >$ns/cut_after
	st=0
	"$@" >/dev/null 2>&1 || st=$?
	settle
	ops=$(cat $ns/ops)
	if [ "$ops" -lt "$k" ]; then
		echo 0 >$ns/cut_after
		s=$(state)
		row "$name" - "none: $ops in the run" "$s" "exit $st"
		return 1
	fi
	torn=$(cat $ns/torn)
	power_returns
	s=$(state) next=ok
	{ drask_bootcause && { drask_netaddr g || [ "$(hex "$store" 17 4)" = ffffffff ]; } && "$@"; } >/dev/null 2>&1 && stored || next=failed
	row "$name" "$k" "$torn" "$s" $next
}

# walk NAME COMMAND...: cut_at k = 1, 2, ... until COMMAND ends before its
# cut.  Sets cuts, damaged (the k that damaged the store), fails (the k after
# which a next run failed, or whole when the uncut run did not exit 0 with the
# new window), ended (the uncut run's operations), erase_k and write_k (the
# k that tore the erase and the write-back of the raw-flash store's block,
# at 0x200000 on the flash).
walk() {
	name=$1 k=0 cuts=0 damaged='' fails='' ended='' erase_k='' write_k=''
	shift
	while [ "$k" -lt 200 ]; do
		k=$((k + 1))
		if ! cut_at "$name" $k "$@"; then
			ended=$ops
			[ "$s" = new ] && [ $st = 0 ] || fails="$fails whole"
			break
		fi
		cuts=$((cuts + 1))
		[ "$s" != damaged ] || damaged="$damaged $k"
		[ "$next" = ok ] || fails="$fails $k"
		case $torn in
		"erase 0x200000+"*) erase_k=$k ;;
		"program 0x200000+"*) write_k=$k ;;
		esac
	done
}
counts() { # the walk's figures for a check line
	echo "$cuts cut points, damaged at ${damaged:-none}, next runs failed after ${fails:-none}, ran whole in ${ended:-?} operations"
}
others() { md5sum "$@" | cut -c1-32 | tr '\n' ' '; }

# UBI, dynamic volume: the atomic change of LEB 0 (old or new at every cut).
store=/dev/ubi10_0
before=$(others /dev/mtd2 /dev/mtd3 /dev/mtd4)
expected 9 'all\000\000\000\000\000'
walk "ubi: bootcause all" drask_bootcause all
check "ubi: drask_bootcause all, $(counts)" '[ -n "$ended" ] && [ -z "$damaged$fails" ]'
expected 17 '\012\024\036\050'
walk "ubi: netaddr s" drask_netaddr s 10.20.30.40
check "ubi: drask_netaddr s 10.20.30.40, $(counts)" '[ -n "$ended" ] && [ -z "$damaged$fails" ]'

if [ "$cell" = full ]; then
# A run killed between the atomic change's request and its last byte.
put_block /tmp/old
st=0
./halfchange || st=$?
expected 17 '\012\011\010\007'
check "ubi: a run that dies 100 bytes into the atomic change leaves the old window; both tools work next" \
	'[ $st = 0 ] && [ "$(state)" = old ] && [ "$(drask_bootcause)" = normal ] && [ "$(drask_netaddr g)" = 10.0.0.1 ] &&
	drask_netaddr s 10.9.8.7 && [ "$(state)" = new ]' "helper status $st, store $(state)"
# UBI admits one writer: the parent's descriptor must not keep its child out.
st=0 && out=$(./forkchild 2>&1) || st=$?
check "ubi: the child of a client that called veeprom_init and forked writes and reads at once ($out)" '[ $st = 0 ]'

# A static volume refuses the atomic change (EROFS) and the library falls back
# to the volume update: one run whole, then one cut halfway through it.
ubirmvol /dev/ubi10 -n 0 && ubimkvol /dev/ubi10 -n 0 -N veeprom -s 2048 -t static >/dev/null
expected 9 'all\000\000\000\000\000'
cut_at "ubi static: bootcause all" 100000 drask_bootcause all
whole=$ops
check "ubi static volume: drask_bootcause all falls back to the volume update ($whole operations, exit $st, store $s)" \
	'[ $st = 0 ] && [ $s = new ]'
cut_at "ubi static: bootcause all" $(((whole + 1) / 2)) drask_bootcause all
ubirmvol /dev/ubi10 -n 0 && ubimkvol /dev/ubi10 -n 0 -N veeprom -s 2048 >/dev/null
put_block /tmp/old
check "ubi: boot, veeprom and data (mtd2-4) unchanged by every cut" '[ "$(others /dev/mtd2 /dev/mtd3 /dev/mtd4)" = "$before" ]'

# Raw flash: the erase and the write-back of the store's block.
echo 5 >/sys/class/socinfo/boot_mode
store=/dev/mtd3
before=$(sums)
expected 9 'all\000\000\000\000\000'
walk "mtd: bootcause all" drask_bootcause all
inside=true
for d in $damaged; do [ -n "$erase_k" ] && [ -n "$write_k" ] && [ "$d" -ge "$erase_k" ] && [ "$d" -le "$write_k" ] || inside=false; done
check "mtd: drask_bootcause all, $(counts); the erase is operation ${erase_k:-?}, the write-back ${write_k:-?}" \
	'[ -n "$ended" ] && $inside && [ -z "$fails" ]'
check "mtd: env, boot, data and the store's second erase block unchanged by every cut" '[ "$(sums)" = "$before" ]'
fi

echo "=== power cuts: the store after a cut at the k-th flash operation, then power back"
printf '  %-26s %3s  %-26s %-8s %s\n' run k "operation torn" store "next runs"
sed 's/^/  /' /tmp/cuts
fi
# An uncorrectable read on NAND: two bits flipped in the first byte of the
# window's page, more than its ECC corrects; the tools fail and write nothing.
if [ "$cell" = nand ]; then
	ubidetach -d 10
	for peb in $(seq 0 127); do # the VID header (at 512) of volume 0, LEB 0
		case $(hex /dev/mtd1 $((peb * 131072 + 512)) 16) in 55424921????????0000000000000000) at=$peb && break ;; esac
	done
	nandflipbits -q /dev/mtd1 0@$((at * 131072 + 2048)) 1@$((at * 131072 + 2048))
	ubiattach -m 1 -d 10 >/dev/null
	echo 0 >$ns/cut_after
	rm -f "$addr_file"
	expect 255 "veeprom_read ret = -1" drask_bootcause
	expect 255 "veeprom_write ret = -1" drask_bootcause all
	expect 255 "veeprom_read ret = -1" drask_netaddr g
	check "nand: the window's page (block $at) unreadable: no address file, $(cat $ns/ops) flash operations" '[ ! -e "$addr_file" ] && [ "$(cat $ns/ops)" = 0 ]'
fi

# veeprom image: what a factory programs, written with each medium's own
# tools, read back by the tools.
if [ "$cell" = full ]; then
echo 5 >/sys/class/socinfo/boot_mode
veeprom image mtd /tmp/image.mtd bootcause boot address 10.7.7.7 scheme AB &&
	flash_erase -q /dev/mtd3 0 1 && dd if=/tmp/image.mtd of=/dev/mtd3 bs=65536 2>/dev/null
expect 0 boot drask_bootcause
expect 0 10.7.7.7 drask_netaddr g
expect 0 AB veeprom get scheme
echo 1 >/sys/class/socinfo/boot_mode
[ -e /dev/ubi10_0 ] || ubiattach -m 1 -d 10 >/dev/null
veeprom image ubi /tmp/image.ubi bootcause uboot address 10.8.8.8 && ubiupdatevol /dev/ubi10_0 /tmp/image.ubi
expect 0 uboot drask_bootcause
expect 0 10.8.8.8 drask_netaddr g
expect 0 "" veeprom get scheme
fi

if [ "$cell" != nand ]; then
medium mmc 0 /dev/mmcblk0p3
expect 0 system drask_bootcause system
expect 0 "" drask_netaddr s 10.1.2.3
ab emmc /dev/mmcblk0p3
echo "card store: $(hex "$store" 0 2048)"
fi
[ $failed = 0 ]
