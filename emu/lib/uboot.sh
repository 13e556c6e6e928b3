# SPDX-License-Identifier: MIT
# Sourced by emu/veeprom-uboot: the U-Boot it boots, as uboot_bin UBOOT
# prints its path.
#   bookworm  the system's u-boot-qemu (Debian 12, 2023.01)
#   SUITE     that suite's u-boot-qemu (trixie: Debian 13, 2025.01), through
#             package lists of its own under the cache
#   ubi       U-Boot built from the u-boot source package of Debian 12 with
#             UBI, qemu_arm64_defconfig plus the options below, built once
#             per source version and options into the cache
# The cache is VEEPROM_UBOOT_CACHE, by default ~/.cache/veeprom-uboot: out
# of any checkout, so that clones and clean builds share it.
# shellcheck shell=bash disable=SC2154 # repo, say and die are veeprom-uboot's

ucache=${VEEPROM_UBOOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veeprom-uboot}
uboot_options=(CMD_UBI MTD_UBI)

# apt-get or apt-cache with the lists of one suite (deb or deb-src) of the archive the
# system uses, kept under the cache; the system's own lists stay as they are.
suite_apt() { # deb|deb-src SUITE apt-get|apt-cache ARGS...
	local kind=$1 suite=$2 dir=$ucache/apt-$1-$2 uri
	shift 2
	local o=(-o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
		-o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" -o "APT::Sandbox::User=$(id -un)"
		-o Acquire::Languages=none)
	if [ ! -e "$dir/updated" ]; then
		# shellcheck disable=SC2016 # apt's and awk's own $
		uri=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' | awk '$1 == "bookworm" || $1 == "stable" { print $2; exit }')
		[ -n "$uri" ] || die "the system's package lists name no bookworm suite, whose archive has $suite"
		mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
		echo "$kind [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main" >"$dir/sources.list"
		apt-get "${o[@]}" update -qq >&2 || die "$suite: the package lists could not be fetched"
		touch "$dir/updated"
	fi
	"$1" "${o[@]}" "${@:2}"
}

uboot_bin() { # bookworm|SUITE|ubi
	case $1 in
	bookworm) echo /usr/lib/u-boot/qemu_arm64/u-boot.bin ;;
	ubi) uboot_built ;;
	*)
		local dir=$ucache/qemu-$1
		if [ ! -e "$dir/u-boot.bin" ]; then
			say "downloading $1's u-boot-qemu"
			rm -rf "$dir" "$ucache/apt-deb-$1/updated" && mkdir -p "$dir" # lists as the archive is now
			(cd "$dir" && suite_apt deb "$1" apt-get download -qq u-boot-qemu >&2) || die "$1: no u-boot-qemu"
			dpkg-deb --fsys-tarfile "$dir"/u-boot-qemu_*.deb | tar -xO ./usr/lib/u-boot/qemu_arm64/u-boot.bin >"$dir/u-boot.bin.new"
			mv "$dir/u-boot.bin.new" "$dir/u-boot.bin"
		fi
		echo "$dir/u-boot.bin"
		;;
	esac
}

# Keyed by the source version and the options, so that a new upload or other
# options build anew, and a cached one is taken as it is.
uboot_dir() { # the build's directory, for the version the source lists name
	local version key
	version=$(suite_apt deb-src bookworm apt-cache showsrc --only-source u-boot 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1) || true
	[ -n "$version" ] || die "bookworm's source lists have no u-boot"
	key=$(IFS=+ && echo "${uboot_options[*]}")
	echo "$ucache/u-boot-$version-qemu_arm64+$key"
}
uboot_built() {
	local dir version src
	dir=$(uboot_dir)
	if [ ! -e "$dir/u-boot.bin" ]; then
		# Lists of an earlier run may name a version the archive has dropped.
		rm -f "$ucache/apt-deb-src-bookworm/updated" && dir=$(uboot_dir)
	fi
	version=${dir#"$ucache/u-boot-"} && version=${version%-qemu_arm64+*}
	if [ ! -e "$dir/u-boot.bin" ]; then
		"$repo/scripts/need" dpkg-dev gcc-aarch64-linux-gnu make bison flex bc libssl-dev libgnutls28-dev uuid-dev >&2
		say "building U-Boot $version (qemu_arm64_defconfig + ${uboot_options[*]}) into $dir, a few minutes"
		rm -rf "$dir" && mkdir -p "$dir/src"
		(cd "$dir/src" && suite_apt deb-src bookworm apt-get source -qq --download-only "u-boot=$version" >&2) ||
			die "u-boot $version: the source could not be fetched"
		src=$dir/src/u-boot
		dpkg-source --no-check -x "$dir"/src/u-boot_*.dsc "$src" >/dev/null || die "u-boot $version: dpkg-source -x failed"
		local make=(nice make -C "$src" O="$dir/out" CROSS_COMPILE=aarch64-linux-gnu- -j2) enable=() o
		for o in "${uboot_options[@]}"; do enable+=(-e "$o"); done
		{
			"${make[@]}" qemu_arm64_defconfig &&
				"$src/scripts/config" --file "$dir/out/.config" "${enable[@]}" &&
				"${make[@]}" olddefconfig && "${make[@]}" u-boot.bin
		} >"$dir/build.log" 2>&1 || die "U-Boot build failed: $(tail -n 5 "$dir/build.log")"
		cp "$dir/out/.config" "$dir/config"
		cp "$dir/out/u-boot.bin" "$dir/u-boot.bin.new"
		rm -rf "$dir/src" "$dir/out"
		mv "$dir/u-boot.bin.new" "$dir/u-boot.bin"
	fi
	echo "$dir/u-boot.bin"
}
