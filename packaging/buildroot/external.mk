# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_VEEPROM_PATH)/*/*.mk))
