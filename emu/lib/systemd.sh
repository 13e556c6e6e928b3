# SPDX-License-Identifier: MIT
# Sourced by emu/veeprom-emu for --init systemd: the arm64 systemd of Debian
# 12 (bookworm) or 13 (trixie, --root) and its run-time dependencies,
# unpacked from the archive's packages (no maintainer script runs), then
# laid into the board's root with the build's unit and shutdown hook,
# installed as the package installs them.  Debian 13's systemd refuses a
# root whose /bin, /sbin and /lib are not links into /usr.
# shellcheck shell=bash disable=SC2154 # set by veeprom-emu and the other parts

"$repo/scripts/need" kmod >&2 # depmod, for the board's module tree
sd=$cache/systemd-$rootfs merged=''
[ "$rootfs" = bookworm ] || merged=1
if [ ! -e "$sd/unpacked" ]; then
	say "downloading the arm64 systemd of $rootfs"
	rm -rf "$sd/root"
	mkdir -p "$sd/apt/state/lists/partial" "$sd/apt/cache/archives/partial"
	: >"$sd/apt/status" # nothing installed: every dependency is fetched
	echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(archive_uri "$rootfs") $rootfs main" \
		>"$sd/apt/sources.list"
	# Private lists of arm64 alone, so the closure is the board's, whatever
	# the host has installed or pinned.
	sdapt=(-o APT::Architecture=arm64 -o APT::Architectures=arm64 -o "Dir::Etc::SourceList=$sd/apt/sources.list"
		-o Dir::Etc::SourceParts=/dev/null -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
		-o "Dir::State=$sd/apt/state" -o "Dir::State::status=$sd/apt/status" -o "Dir::Cache=$sd/apt/cache"
		-o Debug::NoLocking=1 -o APT::Install-Recommends=0 -o Acquire::Languages=none
		-o "APT::Sandbox::User=$(id -un)")
	apt-get "${sdapt[@]}" update -qq
	# Debian 13's systemd opens libkmod only when it loads modules: named.
	apt-get "${sdapt[@]}" install -qq -y --download-only systemd libkmod2 >/dev/null ||
		die "the arm64 systemd of $rootfs could not be downloaded"
	for deb in "$sd"/apt/cache/archives/*.deb; do dpkg-deb -x "$deb" "$sd/root"; done
	rm -rf "$sd/root/usr/share/"{doc,man,locale,info,lintian,bug-reportd}
	if [ -n "$merged" ]; then # what a package still has in /bin, /sbin or /lib, into /usr
		for d in bin sbin lib; do
			mkdir -p "$sd/root/usr/$d"
			[ ! -d "$sd/root/$d" ] || { cp -a "$sd/root/$d/." "$sd/root/usr/$d/" && rm -rf "${sd:?}/root/$d"; }
			ln -s "usr/$d" "$sd/root/$d"
		done
	fi
	rm -f "$sd"/apt/cache/archives/*.deb
	touch "$sd/unpacked"
fi

# systemd_root ROOT: systemd, the build's unit and hook, SCRIPT as a service.
systemd_root() {
	local r=$1 build
	cp -a "$sd/root/." "$r/"
	mkdir -p "$r"/{run,var/tmp,etc/veeprom-emu,etc/systemd/system}
	# What the package installs from the build (cmake --install, component
	# tools): the tools, and the unit and hook where the package has them,
	# systemd.pc's /lib/systemd (a build configured for another prefix puts
	# them under it).
	build=$(cd "$bin/.." && pwd)
	[ -f "$build/cmake_install.cmake" ] || die "--init systemd: $bin is not the tools of a CMake build, whose unit and hook it installs"
	DESTDIR=$work/stage cmake --install "$build" --component tools --prefix /usr >/dev/null
	# On Debian 13 systemd.pc's /usr/lib/systemd, and a copy onto the root's
	# /lib link would fail.
	if [ -z "$merged" ] && [ -d "$work/stage/usr/lib/systemd" ]; then
		mkdir -p "$work/stage/lib" && cp -a "$work/stage/usr/lib/systemd" "$work/stage/lib/" && rm -rf "$work/stage/usr/lib/systemd"
	elif [ -n "$merged" ] && [ -d "$work/stage/lib" ]; then
		mkdir -p "$work/stage/usr/lib" && cp -a "$work/stage/lib/." "$work/stage/usr/lib/" && rm -rf "$work/stage/lib"
	fi
	cp -a "$work/stage/." "$r/"
	printf 'root:x:0:0:root:/root:/bin/sh\n' >"$r/etc/passwd"
	printf 'root:x:0:\n' >"$r/etc/group"
	echo 0123456789abcdef0123456789abcdef >"$r/etc/machine-id" # not a first boot
	printf 'PRETTY_NAME="veeprom-emu board (Debian %s systemd)"\nID=debian\n' "$([ -n "$merged" ] && echo 13 || echo 12)" >"$r/etc/os-release"
	install -m 0755 "$repo/emu/systemd/run" "$r/etc/veeprom-emu/run"
	cp "$repo/emu/systemd/veeprom-emu-script.service" "$r/etc/systemd/system/"
	# Enabled and masked offline, as the host's systemctl does for an image.
	systemctl --root="$r" -q set-default multi-user.target
	systemctl --root="$r" -q enable veeprom-address.service veeprom-emu-script.service
	# shellcheck disable=SC2046 # one unit a word
	systemctl --root="$r" -q mask $(sed 's/#.*//' "$repo/emu/systemd/masked")
}
