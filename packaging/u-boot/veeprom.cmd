# SPDX-License-Identifier: MIT
# Reads the board's settings store for a U-Boot boot script (hush).  Compile
# it with: mkimage -A arm64 -T script -C none -d veeprom.cmd veeprom.scr
#
# The board's boot script sets these, then sources this script:
#   veeprom_buf   8 KiB of RAM that nothing else holds, to work in (required).
#                 Never kernel_addr_r, fdt_addr_r, ramdisk_addr_r,
#                 pxefile_addr_r or where this script was loaded: a boot
#                 script may have loaded its kernel there already.
# and where the store is, the first of these that is set:
#   veeprom_ubi   UBI: the MTD partition to attach, as "ubi part" takes it
#                 (setenv veeprom_ubi env); the store is the first 2048 bytes
#                 of the volume named by veeprom_ubi_vol, by default the
#                 volume named veeprom (the factory names volume 0 so);
#   veeprom_nor   raw flash: the memory-mapped address of the NOR
#                 partition named veeprom (setenv veeprom_nor 0x04040000);
#   veeprom_if and veeprom_dev   a block device (eMMC; virtio or NVMe on
#                 QEMU), its device number decimal, 0 to 99 (setenv
#                 veeprom_if mmc; setenv veeprom_dev 0); the store is the
#                 first sector of the GPT partition named veeprom (the first
#                 one, if two are).  Devices of 512-byte blocks only.
# It sets, and clears beforehand:
#   veeprom_status     ok when the store was read; else error, and the reason
#                      is printed once.  Test this, not the status of source.
#   veeprom_bootcause  the boot target word (normal recovery uboot boot system
#                      all); empty when none is stored (zeros or erased
#                      flash), and empty, with a line saying so, for anything
#                      else
#   veeprom_ipaddr     the stored IPv4 address as dotted text, empty when none
#   veeprom_ab         1 on an AB model, else 0
# A missing or malformed input gives one usage line, and error.
#
# A boot script then acts on them, for example:
#   setenv veeprom_buf 0x48000000; setenv veeprom_if mmc; setenv veeprom_dev 0
#   load mmc 0:1 ${scriptaddr} veeprom.scr && source ${scriptaddr}
#   if test "${veeprom_status}" = ok; then
#     if test "${veeprom_bootcause}" = recovery; then setenv bootfile recovery.img; fi
#     if test -n "${veeprom_ipaddr}"; then setenv ipaddr ${veeprom_ipaddr}; fi
#   fi
#   if test "${veeprom_ab}" = 1; then run boot_slot; else run boot_single; fi
#
# What it changes besides its variables and veeprom_buf: on eMMC and raw
# flash, nothing.  On UBI, "ubi part" first detaches a UBI device attached
# before on another partition, which unmounts a UBIFS the boot script mounted
# from it, and attaching may write to the flash (erase-counter headers of
# empty eraseblocks, for example).  A boot script that uses UBI itself
# sources this before its own UBI work, or attaches again after it.  It never
# writes the saved environment: do not saveenv after it.
#
# It needs: the hush parser (if, for), test, echo, setenv, env delete, cp and
# mw (CMD_MEMORY), itest (CMD_ITEST), setexpr with .b and .s (CMD_SETEXPR);
# on block devices part (CMD_PART) and the interface's dev and read; on UBI
# ubi (CMD_UBI, MTD_UBI) and mtdids and mtdparts naming the partition.  It
# has been run on U-Boot 2023.01 (with UBI) and 2025.01.  The store's layout
# is in docs/layout.md.

setenv veeprom_status error
setenv veeprom_bootcause
setenv veeprom_ipaddr
setenv veeprom_ab 0
# The partition's (and UBI volume's) name this build was configured with.
setenv veeprom_part veeprom
setenv veeprom_w ${veeprom_buf}
setenv veeprom_v ${veeprom_ubi_vol}
if test -z "${veeprom_v}"; then setenv veeprom_v ${veeprom_part}; fi
setenv veeprom_read
setenv veeprom_t

# Which medium; the device number is checked here, since setexpr below would
# take anything as hex.
setenv veeprom_m
if test -n "${veeprom_ubi}"; then
	setenv veeprom_m ubi
elif test -n "${veeprom_nor}"; then
	setenv veeprom_m nor
elif test -n "${veeprom_if}"; then
	for veeprom_i in 0 1 2 3 4 5 6 7 8 9; do
		if test "x${veeprom_dev}" = x${veeprom_i}; then setenv veeprom_m blk; fi
		for veeprom_o in 0 1 2 3 4 5 6 7 8 9; do
			if test "x${veeprom_dev}" = x${veeprom_i}${veeprom_o} && test ${veeprom_i} != 0; then setenv veeprom_m blk; fi
		done
	done
fi

if test -z "${veeprom_m}"; then
	echo "veeprom: usage: setenv veeprom_buf ADDR and veeprom_ubi MTDPART [veeprom_ubi_vol NAME], veeprom_nor ADDR, or veeprom_if IF and veeprom_dev 0-99; then source this"
elif test -z "${veeprom_w}"; then
	echo "veeprom: set veeprom_buf to 8 KiB of RAM that nothing else holds: the load addresses may hold what the boot loaded"
elif test ${veeprom_m} = ubi; then
	if ubi part ${veeprom_ubi} && ubi read ${veeprom_w} ${veeprom_v} 800; then
		setenv veeprom_read 1
	else
		echo "veeprom: no store in UBI on ${veeprom_ubi}: no such MTD partition, no UBI on it, or no volume named ${veeprom_v}"
	fi
elif test ${veeprom_m} = nor; then
	if cp.b ${veeprom_nor} ${veeprom_w} 200; then
		setenv veeprom_read 1
	else
		echo "veeprom: cannot read raw flash at ${veeprom_nor}"
	fi
else
	# part takes the device number in hex, "mmc dev" in decimal: 12 is c.
	setexpr veeprom_n ${veeprom_dev} / 10
	setexpr veeprom_n ${veeprom_n} * a
	setexpr veeprom_t ${veeprom_dev} % 10
	setexpr veeprom_n ${veeprom_n} + ${veeprom_t}
	# A read writes one whole block, and no command says how large that is:
	# a mark just past the first 512 bytes survives a 512-byte read only.
	setexpr veeprom_a ${veeprom_w} + 200
	mw.l ${veeprom_a} 5a3cc3a5
	# dev first: it brings the device up (an MMC card is initialised there).
	if ${veeprom_if} dev ${veeprom_dev} && part start ${veeprom_if} ${veeprom_n} ${veeprom_part} veeprom_lba; then
		if ${veeprom_if} read ${veeprom_w} ${veeprom_lba} 1; then
			if itest.l *${veeprom_a} == 5a3cc3a5; then
				setenv veeprom_read 1
			else
				echo "veeprom: ${veeprom_if} ${veeprom_dev} has blocks larger than 512 bytes; the store is read from 512-byte blocks only"
			fi
		else
			echo "veeprom: reading ${veeprom_if} ${veeprom_dev} failed"
		fi
	else
		echo "veeprom: no store on ${veeprom_if} ${veeprom_dev}: no partition named ${veeprom_part}, or no such device"
	fi
fi

if test "${veeprom_read}" = 1; then
	setenv veeprom_status ok
	# The window is at veeprom_w; veeprom_s, 4 KiB on, holds a field copied
	# out with a terminator after it.
	setexpr veeprom_s ${veeprom_w} + 1000
	# Boot target word, bytes 9-16: text up to the first zero; recovery fills
	# all 8.  Eight 0xFF bytes are erased flash: no word.
	setexpr veeprom_a ${veeprom_w} + 9
	mw.l ${veeprom_s} 0 4
	cp.b ${veeprom_a} ${veeprom_s} 8
	setexpr veeprom_a ${veeprom_s} + 4
	if itest.l *${veeprom_s} != ffffffff || itest.l *${veeprom_a} != ffffffff; then
		setenv veeprom_t
		setexpr.s veeprom_t *${veeprom_s}
		# Only the six words: anything else is not passed on to the boot.
		for veeprom_i in normal recovery uboot boot system all; do
			if test "x${veeprom_t}" = x${veeprom_i}; then setenv veeprom_bootcause ${veeprom_i}; fi
		done
		if test -n "${veeprom_t}" && test -z "${veeprom_bootcause}"; then
			echo "veeprom: the boot target field holds no known word; taken as none"
		fi
	fi

	# Address, bytes 17-20, first number first: none when the first byte is
	# 0 or all four are 0xFF.  setexpr prints hex, so each number is spelled
	# in decimal digit by digit.
	setexpr veeprom_a ${veeprom_w} + 11
	cp.b ${veeprom_a} ${veeprom_s} 4
	if itest.b *${veeprom_s} != 0 && itest.l *${veeprom_s} != ffffffff; then
		setenv veeprom_sep
		for veeprom_i in 0 1 2 3; do
			setexpr veeprom_a ${veeprom_s} + ${veeprom_i}
			setexpr.b veeprom_n *${veeprom_a}
			setexpr veeprom_h ${veeprom_n} / 64
			setexpr veeprom_t ${veeprom_n} / a
			setexpr veeprom_t ${veeprom_t} % a
			setexpr veeprom_o ${veeprom_n} % a
			if itest ${veeprom_h} != 0; then
				setenv veeprom_ipaddr ${veeprom_ipaddr}${veeprom_sep}${veeprom_h}${veeprom_t}${veeprom_o}
			elif itest ${veeprom_t} != 0; then
				setenv veeprom_ipaddr ${veeprom_ipaddr}${veeprom_sep}${veeprom_t}${veeprom_o}
			else
				setenv veeprom_ipaddr ${veeprom_ipaddr}${veeprom_sep}${veeprom_o}
			fi
			setenv veeprom_sep .
		done
	fi

	# Scheme, bytes 29-36: "AB" and its terminator mark an AB model.
	setexpr veeprom_a ${veeprom_w} + 1d
	cp.b ${veeprom_a} ${veeprom_s} 3
	setexpr veeprom_a ${veeprom_s} + 1
	setexpr veeprom_n ${veeprom_s} + 2
	if itest.b *${veeprom_s} == 41 && itest.b *${veeprom_a} == 42 && itest.b *${veeprom_n} == 0; then
		setenv veeprom_ab 1
	fi
fi
env delete -f veeprom_w veeprom_s veeprom_a veeprom_n veeprom_h veeprom_t veeprom_o veeprom_sep veeprom_lba veeprom_read veeprom_part veeprom_v veeprom_m
