// Names of the simulated device's state files under <root>/sim/ that both
// the stand-ins and the device controls (sim/controls/) use, and the limits
// of what those files may hold.
#pragma once

#include "common/device_paths.h"

#define SIM_MODEM_FILE "mobile/modem.json"
#define SIM_CARD_FILE "mobile/sim.json"
#define SIM_SMS_FILE "mobile/sms.json"
#define SIM_STATIONS_FILE "wlan/stations.json"
#define SIM_WLAN_UNREACHABLE_FILE "wlan/unreachable"
#define SIM_UPDATE_OFFER_FILE "upgrade/offer"
#define SIM_UPDATE_PACKAGE_FILE "upgrade/offer.zip"

// Device directories of the stand-ins: the Wi-Fi manager's configuration
// and the time zone files.
#define SIM_APP_CONFIG_DIR_PATH "/app/config"
#define SIM_ZONEINFO_DIR_PATH "/system/usr/share/zoneinfo"

// Saved devices, beside the device's own files (kal_sim snapshot).
#define SIM_SNAPSHOTS_DIR_PATH "/sim-snapshots"

// The SD card is in its slot while these block devices exist.
#define SIM_CARD_DEVICE_PATH BLOCK_DEVICE_DIR_PATH "/mmcblk0"
#define SIM_CARD_PARTITION_PATH BLOCK_DEVICE_DIR_PATH "/mmcblk0p1"

// The SMS store: messages held, longest text (four concatenated parts)
// and longest number.
#define SIM_SMS_CAPACITY 100
#define SIM_SMS_MAX_TEXT 640
#define SIM_SMS_MAX_NUMBER 20

// The lock every writer of these files holds around a change (sim/sim_lock.h).
#define SIM_LOCK_FILE ".lock"
// How many times the device was reset or restored (sim/sim_files.h).
#define SIM_GENERATION_FILE "generation"
