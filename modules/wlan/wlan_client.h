// Client layer over the Wi-Fi manager shared by the Wi-Fi modules, and the
// process-wide Wi-Fi settings record those modules work on.
#pragma once

#include <signal.h>
#include <stdint.h>

#include <cjson/cJSON.h>

#include "platform/android_log.h"
#include "platform/wlan_manager.h"
#include "server/handler.h"

// Every Wi-Fi line goes to the main log; the handlers' own steps also to
// the system buffer.
const char kWlanTag[] = "WLAN";
#define WLOG(...) __android_log_print(ANDROID_LOG_INFO, kWlanTag, __VA_ARGS__)
#define SYSLOG(prio, ...) __android_log_buf_print(LOG_ID_SYSTEM, prio, kWlanTag, __VA_ARGS__)

// Cipher codes of wlan_setting.encryption.
enum {
    WLAN_CIPHER_TKIP = 0,
    WLAN_CIPHER_CCMP_TKIP = 1,
    WLAN_CIPHER_CCMP = 2,
    WLAN_CIPHER_AUTO = 3,
};

// Filter mode the Wi-Fi modules write when they switch MAC filtering on.
enum { WLAN_MAC_ACL_ON = 3 };

// Longest deny list this system stores. Chosen so that a full list, read
// back as JSON with the longest descriptions, still fits one reply datagram.
enum { WLAN_MAC_ACL_MAX = 64 };

struct WlanSetting {
    char ssid[36];
    int32_t ssid_broadcast;
    char region[4];
    int32_t band_type;
    int32_t channel;
    int32_t wireless_mode;
    int32_t ht40;
    int32_t security_mode;
    int32_t encryption;
    char key[68];
    int32_t mac_acl_enable;
    wlan_mac_entry *mac_acl_list;  // malloc'ed, null when the count is 0
    int32_t mac_acl_count;
    int32_t wps_enable;
    int32_t ap_isolation;
};

// Valid from receive_wlan_setting to the end of the request that loaded it.
extern WlanSetting wlan_setting;

// Record <-> settings translations. 0 or 1.
int receive_wlan_setting(void);
int set_wlan_config(void);
// The two halves on their own, so the translation can be checked without a
// manager. recordToSetting replaces wlan_setting's list; settingToRecord
// replaces the record's list and gives the security status code to report
// once the record is saved (-1: none). 0 or 1 (no memory).
int recordToSetting(const wlan_mgr_config *record);
int settingToRecord(wlan_mgr_config *record, int *secStatus);
// Frees wlan_setting's list and zeroes the whole record.
void clearWlanSetting(void);

// Records whether the MAC list changed ("1" or "0") and saves
// wlan_setting. 0 or 1.
int storeWlanSetting(const char *aclChanged);

// Connection wrappers: one connection per call. 0 or 1.
int getOnlineStationList(char *buffer, int *size);
int getClientMac(char *buffer, int *size);
int getWlanSwitch(int *state);
int restartWlan(void);
int restartWlanWithReloadKo(void);
int setDisableTimer(int time);

// Logs why a Wi-Fi handler fails: to the main log and, as an error, to the
// system buffer.
void logWlanFailure(const char *why);

// The steps the Wi-Fi handlers log: "<name> Entry", the null request and
// missing action lines, and "<name> LEAVE". With a leavePriority the lines
// also go to the system buffer, an undefined action is logged and the leave
// line there is "<name> LEAVE!!" at that priority; with 0 only the main log
// is written.
void traceWlanStep(ModuleStep step, const char *name, int leavePriority);
// The answers of a Wi-Fi module's read: ok, or the empty object when the
// settings cannot be read.
constexpr ModuleAction wlanReadResults(ModuleAction row, const char *ok)
{
    return row.result(0, ok).refused(KAL_TEXT("unreadable: the Wi-Fi settings could not be read"));
}
// The answers of a Wi-Fi module's change: ok, stored without its restart,
// or the empty object (refused says when).
constexpr ModuleAction wlanChangeResults(ModuleAction row, const char *ok, const char *refused)
{
    return row.result(0, ok)
        .result(1, KAL_TEXT("notRestarted: stored, but the Wi-Fi restart could not be scheduled"))
        .refused(refused);
}
// The action's answer from a Wi-Fi setter's: nothing written (> 0) is the
// empty rejection; written, but its restart not scheduled (< 0), is a
// failure rather than a rejection.
inline int wlanSetAnswer(int setterResult)
{
    if (setterResult > 0)
        return kActionRejected;
    return setterResult < 0 ? 1 : 0;
}
// Loads wlan_setting before an action; the request is refused (the empty
// object) when the settings cannot be read.
int prepareWlanSetting(cJSON *request, int code, Prepared *prepared);

// Web timer expiry functions.
void restartWlanHandler(int signal, siginfo_t *info, void *context);
void restartWlanWithLoadKoHandler(int signal, siginfo_t *info, void *context);
