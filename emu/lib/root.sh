# SPDX-License-Identifier: MIT
# Sourced by emu/veeprom-emu: the board binaries, the SD card, and the
# initramfs root (busybox, the flash tools, the modules, the start-up).
# shellcheck shell=bash disable=SC2154 # set by veeprom-emu and the other parts

# ---- board binaries and SD card ----------------------------------------------

if [ -z "$bin" ]; then
	say "building the board binaries"
	(cd "$repo" && cmake --preset board >/dev/null && cmake --build --preset board >/dev/null) ||
		die "the board build failed"
	bin=$repo/build/board/tools
fi
for t in drask_bootcause drask_netaddr veeprom; do
	[ -x "$bin/$t" ] || die "$bin/$t: missing"
done

if [ -z "$card" ]; then
	card=$work/card.img
fi
if [ ! -e "$card" ]; then
	# QEMU's SD card wants a power-of-two size; the store is not partition 1.
	truncate -s 16M "$card"
	sgdisk -o -n 1:2048:+1M -c 1:boot -n 2:0:+1M -c 2:system -n 3:0:+1M -c 3:veeprom \
		-n 4:0:+1M -c 4:data "$card" >/dev/null
	sgdisk -i 3 "$card" | grep -q "^Partition name: 'veeprom'" || die "$card: no GPT was written"
fi
card_parts=$(sgdisk -p "$card" 2>/dev/null | awk '/^ +[0-9]+ /{n = $1} END{print n + 0}')

# ---- the initramfs ---------------------------------------------------------

root=$work/root
# Debian 13's root: /bin, /sbin and /lib links into /usr (systemd.sh).
if [ "$init" = systemd ] && [ -n "$merged" ]; then
	mkdir -p "$root"/usr/{bin,sbin,lib}
	for d in bin sbin lib; do ln -s "usr/$d" "$root/$d"; done
fi
mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,root,usr/bin,usr/sbin,lib/modules}
cp "$sysroot/bin/busybox" "$root/bin/"
# Under systemd the C library is Debian's own, which systemd needs.
if [ "$init" = systemd ]; then systemd_root "$root"; else
	cp /usr/aarch64-linux-gnu/lib/{ld-linux-aarch64.so.1,libc.so.6} "$root/lib/"
fi
# The flash tools that need nothing but the C library.
for tool in "$sysroot"/usr/sbin/*; do
	needed=$(aarch64-linux-gnu-readelf -d "$tool" 2>/dev/null | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
		grep -vx -e libc.so.6 -e ld-linux-aarch64.so.1 || true)
	[ -n "$needed" ] || cp "$tool" "$root/usr/sbin/"
done
for ko in "${order[@]}"; do
	cp "$ko" "$root/lib/modules/"
	basename "$ko" .ko >>"$root/lib/modules/order"
done
for m in "${ours[@]}"; do cp "$mdir/$m.ko" "$root/lib/modules/"; done
# Under systemd the socinfo driver arrives late, as a board's modules do:
# systemd-modules-load loads it after PID 1 starts, by name from a module
# tree depmod has indexed, with its parameters from modprobe.d.
if [ "$init" = systemd ]; then
	tree=$root/lib/modules/$release
	mkdir -p "$tree/extra" "$root/etc/modules-load.d" "$root/etc/modprobe.d"
	mv "$root/lib/modules/socinfo.ko" "$tree/extra/"
	cp "$sysroot/lib/modules/$release"/modules.{order,builtin,builtin.modinfo} "$tree/"
	depmod -b "$root" "$release" || die "depmod failed on the board's module tree"
	echo socinfo >"$root/etc/modules-load.d/socinfo.conf"
	echo "options socinfo board_id=$board_id boot_mode=$boot_mode" >"$root/etc/modprobe.d/socinfo.conf"
fi
cp "$bin"/drask_bootcause "$bin"/drask_netaddr "$bin"/veeprom "$root/usr/bin/"
install -m 0755 "$repo/emu/init" "$root/init"
# --init sysv: the init script as the build made it, under Buildroot's name.
if [ -n "$sysv" ]; then
	script=$(cd "$bin/.." && pwd)/packaging/veeprom-address.init
	[ -f "$script" ] || die "--init sysv: no $script (the build's init script)"
	install -D -m 0755 "$script" "$root/etc/init.d/S30veeprom-address"
fi
cat >"$root/etc/board.conf" <<EOF
BOARD_ID='$board_id'
BOOT_MODE='$boot_mode'
CARD_PARTS=$card_parts
FLASH=$flash
NAND_OPTS='$nand_opts'
VERBOSE=$verbose
INIT=$init
EOF
for f in "${files[@]}"; do cp "$f" "$root/root/"; done
[ ${#files[@]} -eq 0 ] || basename "${files[0]}" >"$root/root/.script"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initrd"
