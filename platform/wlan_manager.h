// Wi-Fi manager: the platform component that owns hostapd and the radio.
// Its client library (wm_*) talks to the manager over a UNIX socket; its
// record library (wlan_mgr_*) builds and releases configuration records.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// One MAC filter entry; arrays of them have a 51-byte stride, no padding.
struct wlan_mac_entry {
    char mac[18];          // "aa:bb:cc:dd:ee:ff" and NUL
    char description[33];  // at most 32 bytes and NUL
};
static_assert(sizeof(wlan_mac_entry) == 51, "MAC filter entry must stay 51 bytes");

// The manager's configuration record. Its layout comes from the 32-bit
// device, so it is only ever reached through the accessors below, never as
// a C struct: the library allocates it and keeps bytes we do not use.
struct wlan_mgr_config;

// Field offsets and sizes of the record.
enum {
    WMC_SSID = 0, WMC_SSID_SIZE = 36,
    WMC_HIDE_SSID = 36,
    WMC_COUNTRY_CODE = 40, WMC_COUNTRY_CODE_SIZE = 4,
    WMC_WIRELESS_MODE = 44,
    WMC_CHANNEL = 48,
    WMC_ACS_MODE = 52,
    WMC_BAND_TYPE = 56,
    WMC_MAC_ACL_MODE = 60,
    WMC_MAC_ACL_LIST = 132,   // 4-byte list pointer, see wmcGetAclList()
    WMC_MAC_ACL_COUNT = 136,
    WMC_HT_CAPAB = 148, WMC_HT_CAPAB_SIZE = 72,
    WMC_WPA = 220,
    WMC_WPA_KEY_MGMT = 224, WMC_WPA_KEY_MGMT_SIZE = 33,
    WMC_WPA_PAIRWISE = 257, WMC_WPA_PAIRWISE_SIZE = 33,
    WMC_WPA_PSK = 290, WMC_WPA_PSK_SIZE = 65,
    WMC_WPA_PASSPHRASE = 355, WMC_WPA_PASSPHRASE_SIZE = 65,
    WMC_WPS_STATE = 420,
    WMC_EAP_SERVER = 424,
    WMC_AP_ISOLATE = 428,
    WMC_MIN_SIZE = 432,
};

// 32-bit little-endian integer field.
inline int32_t wmcGetInt(const wlan_mgr_config *rec, int offset)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(rec) + offset;
    return (int32_t)((uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
                     ((uint32_t)p[3] << 24));
}

inline void wmcSetInt(wlan_mgr_config *rec, int offset, int32_t value)
{
    unsigned char *p = reinterpret_cast<unsigned char *>(rec) + offset;
    uint32_t v = (uint32_t)value;
    p[0] = (unsigned char)(v & 0xff);
    p[1] = (unsigned char)((v >> 8) & 0xff);
    p[2] = (unsigned char)((v >> 16) & 0xff);
    p[3] = (unsigned char)((v >> 24) & 0xff);
}

// Text field of size bytes. Reads stop at the field's end even when the
// library left it unterminated: out gets at most size - 1 bytes and a NUL.
inline void wmcGetText(const wlan_mgr_config *rec, int offset, int size, char *out, size_t outSize)
{
    if (out == NULL || outSize == 0)
        return;
    const char *p = reinterpret_cast<const char *>(rec) + offset;
    size_t n = 0;
    while (n < (size_t)size - 1 && n < outSize - 1 && p[n] != '\0')
        n++;
    memcpy(out, p, n);
    out[n] = '\0';
}

// Writes text into a field of size bytes, cut to size - 1 and zero-padded.
inline void wmcSetText(wlan_mgr_config *rec, int offset, int size, const char *text)
{
    char *p = reinterpret_cast<char *>(rec) + offset;
    memset(p, 0, (size_t)size);
    size_t len = text != NULL ? strlen(text) : 0;
    if (len > (size_t)size - 1)
        len = (size_t)size - 1;
    if (len > 0)
        memcpy(p, text, len);
}

// The MAC list field is the record's pointer to its list: malloc'ed, owned
// by the record and freed by wlan_mgr_free_config. Setting a new list does
// not free the old one; set null first after freeing it. The field is 4
// bytes wide, which holds a pointer on the 32-bit device; the simulated
// device on a 64-bit host keeps the pointer elsewhere in the record and
// reaches it through two functions of its own.
#if KAL_PLATFORM_SIM && UINTPTR_MAX > 0xffffffffu
#define WMC_ACL_LIST_OUTSIDE_FIELD 1
extern "C" {
wlan_mac_entry *wlan_mgr_acl_list(const wlan_mgr_config *rec);
void wlan_mgr_set_acl_list(wlan_mgr_config *rec, wlan_mac_entry *list);
}
inline wlan_mac_entry *wmcGetAclList(const wlan_mgr_config *rec)
{
    return wlan_mgr_acl_list(rec);
}
inline void wmcSetAclList(wlan_mgr_config *rec, wlan_mac_entry *list)
{
    wlan_mgr_set_acl_list(rec, list);
}
#else
static_assert(sizeof(wlan_mac_entry *) == 4, "the record's MAC list field holds a 32-bit pointer");
inline wlan_mac_entry *wmcGetAclList(const wlan_mgr_config *rec)
{
    wlan_mac_entry *list = NULL;
    memcpy(&list, reinterpret_cast<const unsigned char *>(rec) + WMC_MAC_ACL_LIST, sizeof(list));
    return list;
}
inline void wmcSetAclList(wlan_mgr_config *rec, wlan_mac_entry *list)
{
    memcpy(reinterpret_cast<unsigned char *>(rec) + WMC_MAC_ACL_LIST, &list, sizeof(list));
}
#endif

extern "C" {

// Client library. Every status is 0 for success.
intptr_t wm_connect(const char *localPath, const char *serverPath);  // 0 = failure
void wm_disconnect(intptr_t handle);
int wm_get_wlan_config(intptr_t handle, wlan_mgr_config **config);
int wm_set_wlan_config(intptr_t handle, wlan_mgr_config *config);
int wm_get_wlan_sta_list(intptr_t handle, char *buffer, int *size);
int wm_get_wlan_client_mac(intptr_t handle, char *buffer, int *size);
int wm_get_wlan_switch(intptr_t handle, int *state);
int wm_set_wlan_switch(intptr_t handle, int command);
int wm_set_wlan_auto_down_time(intptr_t handle, int time);
int wm_get_wlan_sta_num(intptr_t handle, int *count);

// Record library.
int wlan_mgr_get_config(wlan_mgr_config **config, const char *path);
void wlan_mgr_free_config(wlan_mgr_config **config);

// Regulatory and product helpers.
int get_chan_width_support(const char *countryCode, uint8_t channel);
void set_ht_cw_capab(int width40, wlan_mgr_config *config);
int getWlanwarnLaunch(void);
void uci_set_wlan_sec_status(int status);
int is_export_product(void);
}

// Switch values.
enum {
    WLAN_SWITCH_ON = 1,
    WLAN_SWITCH_RESTART = 2,
    WLAN_SWITCH_RESTART_RELOAD_KO = 3,
};
