// Every device path the server, the modules and the simulated device use.
// With KAL_ROOT set, each of them lives under that directory; unset, the
// device's own paths are used. Build real paths only through kalPath().
#pragma once

#include <stddef.h>

// Request socket of the server.
#define KAL_SERVER_SOCKET_PATH "/tmp/vy_kal_server.sock"

// Wi-Fi manager sockets and configuration.
#define WM_SERVER_SOCKET_PATH "/tmp/run/ha_wm.sock"
#define WM_LOCAL_SOCKET_PATH "/tmp/run/wlan_local.sock"
#define WM_STATE_SOCKET_PATH "/tmp/run/state_wlan.sock"
#define HOSTAPD_CONF_PATH "/app/config/hostapd.conf"

// Time zone files.
#define TIMEZONE_FILE_PATH "/system/usr/share/zoneinfo/timezone"
#define TEMP_TIMEZONE_FILE_PATH "/system/usr/share/zoneinfo/temptimezone"

// Logs.
#define SYSLOG_DIR_PATH "/data/data/syslog"
#define USERLOG_FILE_PATH "/data/data/syslog/userlog.txt"
#define SAVELOG_ARCHIVE_PATH "/data/data/syslog/savelog.tar.gz"
#define EXPORTED_LOG_DIR_PATH "/data/data/syslog/exported_log"

// Firmware update package and block devices.
#define UPDATE_PACKAGE_PATH "/update.zip"
#define BLOCK_DEVICE_DIR_PATH "/dev/block"

// Factory copies of the uci packages.
#define UCI_DEFAULT_CONFIG_DIR_PATH "/app/default_config"
// Live uci packages (the uci tool's default directory).
#define UCI_CONFIG_DIR_PATH "/etc/config"

// Directory of the simulated device's own state (not a device path).
#define SIM_STATE_DIR_PATH "/sim"

// Longest root accepted, so every device path above still fits a path buffer.
#define KAL_ROOT_MAX 200

// Reads and checks KAL_ROOT once. Returns 0, or -1 after printing one line
// that says why the root cannot be used. Safe to call more than once.
int kalPathInit(void);

// The root directory ("" when KAL_ROOT is unset). Never ends with '/'.
const char *kalRoot(void);

#if KAL_PLATFORM_SIM
// Simulation tools: within the calling thread, device paths lead under
// root instead of KAL_ROOT (null: back to KAL_ROOT), so that a new
// device's files can be made aside. 0, or -1 when root is unusable.
int kalPathRedirect(const char *root);
#endif

// Writes root + devicePath into out. Returns 0, or -1 when it does not fit
// (out then holds an empty text).
int kalPath(char *out, size_t size, const char *devicePath);
