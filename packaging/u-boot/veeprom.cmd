# SPDX-License-Identifier: MIT
# Reads the board's settings store for a U-Boot boot script (hush).  Compile
# it with: mkimage -A arm64 -T script -C none -d veeprom.cmd veeprom.scr
#
# The board's boot script says where the store is, then sources this:
#   block device (eMMC; virtio on QEMU): veeprom_if and veeprom_dev (decimal,
#     0 to 99), as in "setenv veeprom_if mmc; setenv veeprom_dev 0"; the store
#     is the first sector of the GPT partition named veeprom (the first one,
#     if two are);
#   raw flash: veeprom_nor, the memory-mapped address of the NOR partition
#     named veeprom, as in "setenv veeprom_nor 0x04040000"; when set, it is
#     used and veeprom_if is not.
#   veeprom_buf: 1 KiB of RAM to work in, default ${kernel_addr_r}; not where
#     this script itself was loaded.
# It sets, and clears beforehand:
#   veeprom_bootcause  the boot target word (normal recovery uboot boot system
#                      all), empty when none is stored (zeros or erased flash)
#   veeprom_ipaddr     the stored IPv4 address as dotted text, empty when none
#   veeprom_ab         1 on an AB model, else 0
# When the store cannot be read it says why, and leaves all three empty or 0.
#
# A boot script then acts on them, for example:
#   load mmc 0:1 ${scriptaddr} veeprom.scr && source ${scriptaddr}
#   if test "${veeprom_bootcause}" = recovery; then setenv bootfile recovery.img; fi
#   if test -n "${veeprom_ipaddr}"; then setenv ipaddr ${veeprom_ipaddr}; fi
#   if test "${veeprom_ab}" = 1; then run boot_slot; else run boot_single; fi
# The store's layout is in docs/layout.md.  Nothing here writes the store or
# the environment; do not saveenv after it.

setenv veeprom_bootcause
setenv veeprom_ipaddr
setenv veeprom_ab 0
setenv veeprom_w ${veeprom_buf}
if test -z "${veeprom_w}"; then setenv veeprom_w ${kernel_addr_r}; fi
setenv veeprom_read
if test -n "${veeprom_nor}"; then
	cp.b ${veeprom_nor} ${veeprom_w} 200 && setenv veeprom_read 1
elif test -z "${veeprom_if}"; then
	echo "veeprom: set veeprom_if and veeprom_dev, or veeprom_nor"
else
	# part takes the device number in hex, "mmc dev" in decimal: 12 is c.
	setexpr veeprom_n ${veeprom_dev} / 10
	setexpr veeprom_n ${veeprom_n} * a
	setexpr veeprom_t ${veeprom_dev} % 10
	setexpr veeprom_n ${veeprom_n} + ${veeprom_t}
	# dev first: it brings the device up (an MMC card is initialised there).
	if ${veeprom_if} dev ${veeprom_dev} && part start ${veeprom_if} ${veeprom_n} veeprom veeprom_lba; then
		${veeprom_if} read ${veeprom_w} ${veeprom_lba} 1 && setenv veeprom_read 1
	else
		echo "veeprom: no store on ${veeprom_if} ${veeprom_dev}: no partition named veeprom, or no such device"
	fi
fi

# The window is at veeprom_w; veeprom_s, past its 512 bytes, holds a field
# copied out with a terminator after it.
setexpr veeprom_s ${veeprom_w} + 200
if test "${veeprom_read}" = 1; then
	# Boot target word, bytes 9-16: text up to the first zero; recovery fills
	# all 8.  Eight 0xFF bytes are erased flash: no word.
	setexpr veeprom_a ${veeprom_w} + 9
	mw.l ${veeprom_s} 0 4
	cp.b ${veeprom_a} ${veeprom_s} 8
	setexpr veeprom_a ${veeprom_s} + 4
	if itest.l *${veeprom_s} != ffffffff || itest.l *${veeprom_a} != ffffffff; then
		setexpr.s veeprom_bootcause *${veeprom_s}
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
env delete -f veeprom_w veeprom_s veeprom_a veeprom_n veeprom_h veeprom_t veeprom_o veeprom_sep veeprom_lba veeprom_read
