# SPDX-License-Identifier: MIT
# An example boot command (hush) for a board: reads the settings store with
# veeprom.scr and boots the target it names.  Both targets are the same
# kernel and initramfs here, told apart by veeprom.target=normal or
# veeprom.target=recovery on the kernel's command line; a board with a
# recovery image of its own loads that one in boot_load instead.  Compile it
# with: mkimage -A arm64 -T script -C none -d boot.cmd boot.scr
#
# The board's environment sets beforehand:
#   veeprom_buf and where the store is, as veeprom.scr takes them
#   veeprom_scr   the address veeprom.scr was loaded at, for example by
#                 load mmc 0:1 ${veeprom_scr} veeprom.scr in bootcmd
#   boot_load     commands that put the kernel at kernel_addr_r, the device
#                 tree at fdt_addr_r and, last, the initramfs at
#                 ramdisk_addr_r, whose size they leave in filesize; e.g.
#                 load mmc 0:1 ${kernel_addr_r} Image;
#                 load mmc 0:1 ${fdt_addr_r} board.dtb;
#                 load mmc 0:1 ${ramdisk_addr_r} initrd.img
#                 (veeprom_target, normal or recovery, is set by then)
#   boot_args     the kernel's command line, without the target
#
# recovery is booted only when the store was read (veeprom_status ok) and
# holds recovery; any other word, an erased store or a store that cannot be
# read boots normal, so that a broken store never keeps a board from its
# system.

setenv veeprom_target normal
if source ${veeprom_scr} && test "${veeprom_status}" = ok && test "${veeprom_bootcause}" = recovery; then
	setenv veeprom_target recovery
fi
echo "veeprom: booting ${veeprom_target} (store ${veeprom_status}, boot target [${veeprom_bootcause}])"
run boot_load
setenv bootargs "${boot_args} veeprom.target=${veeprom_target}"
booti ${kernel_addr_r} ${ramdisk_addr_r}:${filesize} ${fdt_addr_r}
