# SPDX-License-Identifier: MIT
SUMMARY = "Virtual EEPROM store library and the board tools"
DESCRIPTION = "libveeprom (C API) and the board tools drask_bootcause, \
drask_netaddr and veeprom; the systemd unit or the init script that \
publishes the stored address, the shutdown hook for 'systemctl reboot WORD', \
and the U-Boot script that reads the store."
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=82e3968a4361cb67685ae821310ae339"

# The release tarball (scripts/release), placed beside this recipe by the
# layer.  It holds this recipe, so it cannot hold its own checksum: the copy
# scripts/release writes beside the tarball has the checksum filled in.
SRC_URI = "file://veeprom-${PV}.tar.xz"

# C++20: GCC 10 or later (every Yocto release from kirkstone on).
inherit cmake pkgconfig systemd update-rc.d bash-completion lib_package deploy

# systemd: the boot unit and the shutdown hook; sysvinit: the init script
# that publishes the address instead; uboot-script: the U-Boot script,
# compiled by mkimage for the target's architecture and deployed for the
# boot partition (IMAGE_BOOT_FILES).
PACKAGECONFIG ??= "${@bb.utils.filter('DISTRO_FEATURES', 'systemd sysvinit', d)} uboot-script"
PACKAGECONFIG[systemd] = "-DVEEPROM_SYSTEMD=ON -DVEEPROM_SYSTEMD_UNIT_DIR=${systemd_system_unitdir} \
    -DVEEPROM_SYSTEMD_SHUTDOWN_DIR=${systemd_unitdir}/system-shutdown,-DVEEPROM_SYSTEMD=OFF"
PACKAGECONFIG[sysvinit] = "-DVEEPROM_INIT_SCRIPT=${INIT_D_DIR}/veeprom-address,-DVEEPROM_INIT_SCRIPT="
PACKAGECONFIG[uboot-script] = "-DVEEPROM_UBOOT_SCRIPT=ON -DVEEPROM_MKIMAGE_ARCH=${@oe.kernel.map_uboot_arch(d)}, \
    -DVEEPROM_UBOOT_SCRIPT=OFF,u-boot-tools-native"

# A board variant's paths and names, e.g. in a bbappend:
#   VEEPROM_BOARD_FLAGS = "-DVEEPROM_PARTITION=config -DVEEPROM_ADDRESS_FILE=/run/ip_ip"
VEEPROM_BOARD_FLAGS ??= ""
# The cmake class asks for no kind of library; a recipe's clients expect the
# shared one (the static library goes to ${PN}-staticdev).
EXTRA_OECMAKE = "-DBUILD_SHARED_LIBS=ON -DVEEPROM_EXAMPLES=OFF ${VEEPROM_BOARD_FLAGS}"

# The library alone in ${PN}; the tools, the unit or init script, the
# shutdown hook and the U-Boot script in ${PN}-bin, so that a recipe that
# links the library pulls in no boot-time job.
PACKAGE_BEFORE_PN = "${PN}-bash-completion ${PN}-bin"
FILES:${PN}-bin += "${systemd_unitdir}/system-shutdown ${INIT_D_DIR} ${datadir}/veeprom"
SYSTEMD_PACKAGES = "${PN}-bin"
SYSTEMD_SERVICE:${PN}-bin = "${@bb.utils.contains('PACKAGECONFIG', 'systemd', 'veeprom-address.service', '', d)}"
INITSCRIPT_PACKAGES = "${PN}-bin"
INITSCRIPT_NAME:${PN}-bin = "veeprom-address"
# Early in rcS, before the network is set up, as the unit runs.
INITSCRIPT_PARAMS:${PN}-bin = "start 38 S ."

# For the boot partition: IMAGE_BOOT_FILES += "veeprom.scr" in the machine's
# or image's configuration.
do_deploy() {
    if ${@bb.utils.contains('PACKAGECONFIG', 'uboot-script', 'true', 'false', d)}; then
        install -m 0644 ${B}/packaging/veeprom.scr ${DEPLOYDIR}/veeprom.scr
    fi
}
addtask deploy after do_compile before do_build
