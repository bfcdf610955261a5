// The Wi-Fi manager's configuration file (hostapd's format) and the
// record the library hands out for it, shared by the simulated manager.
#pragma once

#include <stddef.h>

#include "platform/wlan_manager.h"

// Largest configuration file (or station list) read or written.
const size_t kWlanMaxFileBytes = 64 * 1024;

// The file at path as a new record (wlan_mgr_free_config() it); null when
// it cannot be read.
wlan_mgr_config *simWlanConfigRead(const char *path);

// Replaces the file at path with rec; -1 when rec holds a value that
// would break the file's format or does not fit, or the file cannot be
// written.
int simWlanConfigWrite(const wlan_mgr_config *rec, const char *path);
