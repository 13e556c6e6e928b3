################################################################################
#
# veeprom
#
################################################################################

# SPDX-License-Identifier: MIT
# Built from the source tree this external tree sits in:
#   make BR2_EXTERNAL=/path/to/veeprom/packaging/buildroot menuconfig

VEEPROM_VERSION = 1.0.0
VEEPROM_SITE = $(BR2_EXTERNAL_VEEPROM_PATH)/../..
VEEPROM_SITE_METHOD = local
VEEPROM_LICENSE = MIT
VEEPROM_LICENSE_FILES = LICENSE
VEEPROM_INSTALL_STAGING = YES
VEEPROM_DEPENDENCIES = host-pkgconf host-uboot-tools # mkimage, for veeprom.scr
# lib, not a multiarch directory, whatever the toolchain's search path says;
# the example client stays in the sources.
VEEPROM_CONF_OPTS = -DCMAKE_INSTALL_LIBDIR=lib -DVEEPROM_EXAMPLES=OFF \
	$(call qstrip,$(BR2_PACKAGE_VEEPROM_BOARD_FLAGS))

# The build turns LTO on by default (it sizes the tools); the toolchain's
# setting decides here.
ifeq ($(BR2_ENABLE_LTO),y)
VEEPROM_CONF_OPTS += -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
else
VEEPROM_CONF_OPTS += -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF
endif

ifeq ($(BR2_INIT_SYSTEMD),y)
VEEPROM_CONF_OPTS += -DVEEPROM_SYSTEMD=ON \
	-DVEEPROM_SYSTEMD_UNIT_DIR=/usr/lib/systemd/system \
	-DVEEPROM_SYSTEMD_SHUTDOWN_DIR=/usr/lib/systemd/system-shutdown
else
VEEPROM_CONF_OPTS += -DVEEPROM_SYSTEMD=OFF
endif

# BusyBox or SysV init: the init script that publishes the address, as the
# build made it for the board variant's address file (S30veeprom-address in
# the sources).
define VEEPROM_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(VEEPROM_BUILDDIR)/packaging/veeprom-address.init \
		$(TARGET_DIR)/etc/init.d/S30veeprom-address
endef

$(eval $(cmake-package))
