# SPDX-License-Identifier: MIT
# Sourced by emu/veeprom-emu: what the host needs, the package lists, and
# Debian's arm64 kernel (with the NAND drivers' source for --flash nand).
# shellcheck shell=bash disable=SC2154 # the options are veeprom-emu's

# ---- what the host needs ---------------------------------------------------

"$repo/scripts/need" qemu-system-arm gdisk cpio make gcc g++-aarch64-linux-gnu xz-utils patch \
	linux-libc-dev-arm64-cross cmake ninja-build >&2

# Debian's arm64 packages come through the package manager's own lists.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
	say "adding the arm64 architecture to the package lists"
	$sudo dpkg --add-architecture arm64
	$sudo apt-get update -qq
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/veeprom-emu.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The default kernel comes through the system's own package lists, another
# suite's through private lists under the cache, so that the system's lists
# stay as they are.  The board's userland (busybox, mtd-utils) is always the
# system's, so that only the kernel differs between lines.
klists=()
if [ "$kernel" != bookworm ]; then
	lists=$cache/apt-$kernel
	klists=(-o "Dir::Etc::SourceList=$lists/sources.list" -o Dir::Etc::SourceParts=/dev/null
		-o "Dir::State::Lists=$lists/lists" -o "Dir::Cache=$lists/cache")
fi
archive_uri() { # SUITE: the archive the system uses, which has SUITE too
	local uri
	uri=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' | awk '$1 == "bookworm" || $1 == "stable" { print $2; exit }')
	[ -n "$uri" ] || die "the system's package lists name no bookworm suite, whose archive has $1"
	echo "$uri"
}
update() { # system|kernel: refreshes those package lists
	if [ "$1" = system ] || [ ${#klists[@]} -eq 0 ]; then
		$sudo apt-get update -qq
		return
	fi
	# The suite from the archive the system uses, checked with its keys.
	local uri
	uri=$(archive_uri "$kernel")
	mkdir -p "$lists/lists/partial" "$lists/cache"
	echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $kernel main" >"$lists/sources.list"
	apt-get "${klists[@]}" -o "APT::Sandbox::User=$(id -un)" -o Acquire::Languages=none update -qq
}
kcache() { apt-cache "${klists[@]}" "$@" 2>/dev/null || true; } # empty when the lists lack it

# The ABI of the archive's current kernel; old ones disappear, so it is
# looked up every run, never pinned.
current_abi() {
	kcache show --no-all-versions linux-image-arm64:arm64 |
		sed -n 's/^Depends: linux-image-\(.*\)-arm64 .*/\1/p' | head -n 1
}
abi=$(current_abi)
if [ -z "$abi" ]; then
	update kernel
	abi=$(current_abi)
fi
[ -n "$abi" ] || die "no linux-image-arm64:arm64 in the $kernel package lists"
release=$abi-arm64
kdir=$cache/kernel-$release
sysroot=$kdir/root

download() { # system|kernel DIR PACKAGE...: the lists are refreshed once if they are stale
	local from=$1 dir=$2 opts=()
	shift 2
	[ "$from" = system ] || opts=("${klists[@]}")
	mkdir -p "$dir"
	local get=(apt-get "${opts[@]}" download -qq -o "APT::Sandbox::User=$(id -un)" "$@")
	(cd "$dir" && "${get[@]}") && return
	update "$from"
	(cd "$dir" && "${get[@]}")
}

if [ ! -e "$kdir/unpacked" ]; then
	say "downloading Debian's arm64 kernel $release ($kernel)"
	rm -rf "$kdir"
	# The kbuild package's name whole: linux-kbuild-6.12.95+deb12 has more than digits.
	kbuild=$(kcache show --no-all-versions "linux-headers-$release:arm64" |
		sed -n 's/^Depends:.*\(linux-kbuild-[^ ,]*\).*/\1/p' | head -n 1)
	[ -n "$kbuild" ] || die "linux-headers-$release names no kbuild package"
	download kernel "$kdir/debs" "linux-image-$release:arm64" "linux-headers-$release:arm64" \
		"linux-headers-$abi-common" "$kbuild"
	download system "$kdir/debs" busybox-static:arm64 mtd-utils:arm64
	for deb in "$kdir"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
	# The headers include their common half by absolute path.
	sed -i "s|^include /usr/src/|include $sysroot/usr/src/|" \
		"$sysroot/usr/src/linux-headers-$release/Makefile"
	touch "$kdir/unpacked"
fi

# Debian ships neither the raw NAND core nor its simulator: both are built
# from the kernel's source, the drivers' directory of it kept.
nand=$kdir/nand
if [ "$flash" = nand ] && [ ! -e "$nand/unpacked" ]; then
	say "downloading the source of Debian's kernel $release for the NAND simulator"
	rm -rf "$nand"
	version=$(kcache show --no-all-versions "linux-image-$release:arm64" | sed -n 's/^Version: //p' | head -n 1)
	src=linux-source-$(cut -d. -f1,2 <<<"$abi")
	download system "$nand/debs" "$src=$version"
	dpkg-deb --fsys-tarfile "$nand"/debs/*.deb | tar -xO "./usr/src/$src.tar.xz" |
		tar -xJ -C "$nand" --strip-components=4 "$src/drivers/mtd/nand/raw" "$src/drivers/mtd/nand/ecc-sw-hamming.c" ||
		die "$src: no NAND drivers in it"
	rm -rf "$nand/debs"
	touch "$nand/unpacked"
fi
