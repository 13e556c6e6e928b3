# SPDX-License-Identifier: MIT
SUMMARY = "Virtual EEPROM store library and the board tools"
DESCRIPTION = "libveeprom (C API) and the board tools drask_bootcause, \
drask_netaddr and veeprom; the systemd unit that publishes the stored \
address, the shutdown hook for 'systemctl reboot WORD', and the U-Boot \
script that reads the store."
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=82e3968a4361cb67685ae821310ae339"

# Built from the source tree this recipe sits in; a layer of one's own points
# SRC_URI at a release or a git tree instead.
inherit externalsrc
EXTERNALSRC = "${@os.path.abspath(d.getVar('THISDIR') + '/../..')}"
EXTERNALSRC_BUILD = "${WORKDIR}/build"

# C++20: GCC 10 or later (every Yocto release from kirkstone on).
# mkimage builds veeprom.scr; without it only veeprom.cmd is installed.
DEPENDS = "u-boot-tools-native"

inherit cmake pkgconfig systemd bash-completion

# A board variant's paths and names, e.g. in a bbappend:
#   VEEPROM_BOARD_FLAGS = "-DVEEPROM_PARTITION=config -DVEEPROM_ADDRESS_FILE=/run/ip_ip"
VEEPROM_BOARD_FLAGS ??= ""
# The cmake class asks for no kind of library; a recipe's clients expect the
# shared one (the static library goes to ${PN}-staticdev).
EXTRA_OECMAKE = "-DBUILD_SHARED_LIBS=ON -DVEEPROM_EXAMPLES=OFF \
    -DVEEPROM_SYSTEMD_UNIT_DIR=${systemd_system_unitdir} \
    -DVEEPROM_SYSTEMD_SHUTDOWN_DIR=${systemd_unitdir}/system-shutdown \
    ${VEEPROM_BOARD_FLAGS}"

SYSTEMD_SERVICE:${PN} = "veeprom-address.service"
FILES:${PN} += "${systemd_unitdir}/system-shutdown"
