# SPDX-License-Identifier: MIT
# Sourced by emu/veeprom-emu: the test-only modules built against the
# kernel's headers, and Debian's drivers the board needs, in load order.
# shellcheck shell=bash disable=SC2154 # set by veeprom-emu and fetch.sh

# ---- the test-only kernel modules -------------------------------------------

mdir=$kdir/modules
ours=(norsim socinfo)
mkdir -p "$mdir"
cp -p "$repo"/emu/modules/{Kbuild,norsim.c,socinfo.c} "$mdir/"
if [ "$flash" = nand ]; then
	ours+=(nand nandsim)
	cp -p "$nand"/raw/{nand_*.c,internals.h} "$nand/ecc-sw-hamming.c" "$mdir/"
	cp "$nand/raw/nandsim.c" "$work/nandsim.c"
	patch -s -d "$work" -p1 <"$repo/emu/modules/nandsim.patch" || die "nandsim.patch does not apply to $release"
	# Copied only when changed, so that make builds it again only then.
	cmp -s "$work/nandsim.c" "$mdir/nandsim.c" || cp "$work/nandsim.c" "$mdir/"
fi
# Debian's headers name the compiler their kernel was built with (bullseye's
# gcc-10); the installed cross compiler builds these modules as well.
make -s -C "$sysroot/usr/src/linux-headers-$release" M="$mdir" ARCH=arm64 \
	CROSS_COMPILE=aarch64-linux-gnu- CC=aarch64-linux-gnu-gcc CONFIG_DEBUG_INFO_BTF_MODULES= modules >&2 ||
	die "building the kernel modules failed"

# Debian's drivers the board needs, each after the modules it depends on;
# compressed ones (6.12 on) decompressed into the cache.
kmods=$sysroot/lib/modules/$release/kernel
declare -A loaded=()
order=()
module_file() {
	find "$kmods" \( -name "$1.ko" -o -name "${1//_/-}.ko" -o -name "$1.ko.xz" -o -name "${1//_/-}.ko.xz" \) -print -quit
}
depends() { # KO: the modules it needs, read through a file (objcopy removes a failed output)
	aarch64-linux-gnu-objcopy -O binary --only-section=.modinfo "$1" "$work/modinfo" ||
		die "$1: no module information"
	tr '\0' '\n' <"$work/modinfo" | sed -n 's/^depends=//p' | tr ',' ' '
}
add_module() {
	[ -z "${loaded[$1]:-}" ] || return 0
	loaded[$1]=1
	local ko dep deps
	ko=$(module_file "$1")
	[ -n "$ko" ] || die "kernel $release has no module $1"
	case $ko in *.xz)
		mkdir -p "$kdir/ko"
		if [ ! -e "$kdir/ko/$1.ko" ]; then
			xz -dc "$ko" >"$kdir/ko/$1.ko.part" && mv "$kdir/ko/$1.ko.part" "$kdir/ko/$1.ko"
		fi
		ko=$kdir/ko/$1.ko
		;;
	esac
	deps=$(depends "$ko")
	for dep in $deps; do add_module "$dep"; done
	order+=("$ko")
}
for m in "${ours[@]}"; do loaded[$m]=1; done
for m in mtd ubi sdhci-pci; do add_module "$m"; done
# The virtio console the kernel log leaves by (veeprom-emu), where a module.
for m in virtio_mmio virtio_console; do [ -z "$(module_file $m)" ] || add_module $m; done
for m in "${ours[@]}"; do
	deps=$(depends "$mdir/$m.ko")
	for dep in $deps; do add_module "$dep"; done
done
