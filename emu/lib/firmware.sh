# SPDX-License-Identifier: MIT
# Sourced by emu/veeprom-emu for --boot uboot: Debian's U-Boot for QEMU as
# the board's firmware.  Its environment, at the start of flash bank 1 as
# U-Boot keeps it, runs packaging/u-boot/boot.cmd at every reset; QEMU's
# loader puts that script, veeprom.scr, the kernel and the initramfs into
# RAM at every reset, where a board's boot command would load them from its
# boot medium.  U-Boot for QEMU has no MMC driver, so the card is also
# virtio disk 0, read-only: the same image the kernel writes through the SD
# card.
# shellcheck shell=bash disable=SC2154 # set by veeprom-emu and the other parts

"$repo/scripts/need" u-boot-qemu u-boot-tools >&2
# shellcheck source=SCRIPTDIR/uboot.sh
. "$repo/emu/lib/uboot.sh"

# RAM starts at 0x40000000 with QEMU's device tree; U-Boot's own addresses
# for the kernel and the initramfs; the scripts and veeprom.scr's buffer
# between the device tree and the kernel.
boot_scr=0x40200000 veeprom_scr=0x40300000 veeprom_buf=0x40380000 kernel_addr=0x40400000 initrd_addr=0x44000000
image=$sysroot/boot/vmlinuz-$release
# booti takes an arm64 Image as it is ("ARMd" at byte 56), not compressed.
[ "$(tail -c +57 "$image" | head -c 4)" = $'ARM\x64' ] || die "$image: not an arm64 Image, which booti boots"
size=$(stat -c %s "$work/initrd")
# U-Boot keeps the top 64 MiB of RAM or so for itself.
[ $((initrd_addr + size)) -lt $((0x40000000 + ((mem - 64) << 20))) ] ||
	die "the initramfs ($((size >> 20)) MiB) does not fit below U-Boot in $mem MiB"

# veeprom.scr as the build configured it (its partition name), else the source's.
scr=$bin/../packaging/veeprom.cmd
[ -f "$scr" ] || scr=$repo/packaging/u-boot/veeprom.cmd
mkimage -A arm64 -T script -C none -n "veeprom settings" -d "$scr" "$work/veeprom.scr" >/dev/null
mkimage -A arm64 -T script -C none -n "boot the stored target" -d "$repo/packaging/u-boot/boot.cmd" "$work/boot.scr" >/dev/null
# The environment replaces U-Boot's default one whole.  A script run boots
# at once; the board's shell gives 2 s to stop at U-Boot's prompt.
delay=-2 && [ ${#files[@]} -gt 0 ] || delay=2
printf '%s\n' "bootcmd=source $boot_scr" "bootdelay=$delay" "kernel_addr_r=$kernel_addr" "ramdisk_addr_r=$initrd_addr" \
	"veeprom_buf=$veeprom_buf" veeprom_if=virtio veeprom_dev=0 "veeprom_scr=$veeprom_scr" \
	"boot_load=setenv fdt_addr_r \${fdtcontroladdr}; setenv filesize $(printf %x "$size")" \
	"boot_args=console=ttyAMA0 panic=-1 $quiet" | mkenvimage -s 0x40000 -o "$work/env" -
head -c 64M /dev/zero | tr '\0' '\377' >"$work/bank1"
dd if="$work/env" of="$work/bank1" conv=notrunc status=none
qemu+=(-bios "$(uboot_bin bookworm)" -drive "if=pflash,unit=1,format=raw,file=$work/bank1"
	-device "loader,file=$work/boot.scr,addr=$boot_scr,force-raw=on"
	-device "loader,file=$work/veeprom.scr,addr=$veeprom_scr,force-raw=on"
	-device "loader,file=$image,addr=$kernel_addr,force-raw=on"
	-device "loader,file=$work/initrd,addr=$initrd_addr,force-raw=on"
	-drive "if=none,id=ucard,file=$card,format=raw,readonly=on,file.locking=off" -device "virtio-blk-device,drive=ucard")
