// Simulated Wi-Fi manager. Its running configuration is the hostapd
// configuration file under the root; the rest of its state lives in
// <root>/sim/wlan/ (see docs/simulated-device.md):
//   stations.json   station list handed out as JSON (seedable)
//   client_mac      MAC address of the requesting client, may be empty
//   switch          "1" while Wi-Fi is on
//   auto_down_time  last idle switch-off time given to the manager
//   sec_status      last security status code reported through uci
//   warn_launch     "1" when the security warning feature is active
//   export_product  "1" on an export product
//   restarts        journal, one line per restart: "<ms since epoch> <command>"
//   unreachable     when this file exists, every connection is refused
#include "platform/wlan_manager.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include <cjson/cJSON.h>

#include "platform/device_paths.h"
#include "platform/replace_file.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_fields.h"
#include "sim/sim_files.h"
#include "sim/sim_lock.h"
#include "sim/sim_state_files.h"

namespace {

// The record as the library allocates it: the device's 432 bytes, then
// room for the list pointer where a 4-byte field cannot hold it (64-bit hosts).
const int kRecordSize = 512;
#if WMC_ACL_LIST_OUTSIDE_FIELD
const int kListSlot = 448;
#endif

// Most deny-list entries the manager keeps (the modules store at most 64,
// which keeps their replies inside one datagram).
const int kMaxAclEntries = 64;
// Largest configuration file read or written.
const size_t kMaxConfBytes = 64 * 1024;

intptr_t g_nextHandle = 1;

const char kFactoryConf[] =
    "# Access point configuration, written by the Wi-Fi manager\n"
    "interface=wlan0\n"
    "driver=nl80211\n"
    "ssid=MH4G_4D4801\n"
    "ignore_broadcast_ssid=0\n"
    "country_code=JP\n"
    "band_type=0\n"
    "wireless_mode=5\n"
    "channel=0\n"
    "acs_mode=2\n"
    "macaddr_acl=0\n"
    "ht_capab=[HT40+][SHORT-GI-20][SHORT-GI-40]\n"
    "wpa=3\n"
    "wpa_key_mgmt=WPA-PSK\n"
    "wpa_pairwise=CCMP\n"
    "wpa_psk=\n"
    "wpa_passphrase=mh4g4d4801\n"
    "wps_state=0\n"
    "eap_server=0\n"
    "ap_isolate=0\n";

const char kFactoryStations[] =
    "[{\"mac\":\"a4:5e:60:12:34:56\",\"ip\":\"192.168.1.100\",\"hostname\":\"laptop\"}]\n";

struct StateFile {
    const char *name;
    const char *factory;
};

const StateFile kStateFiles[] = {
    {SIM_STATIONS_FILE, kFactoryStations},
    {"wlan/client_mac", "a4:5e:60:12:34:56"},
    {"wlan/switch", "1"},
    {"wlan/auto_down_time", "0"},
    {"wlan/sec_status", "3"},
    {"wlan/warn_launch", "1"},
    {"wlan/export_product", "0"},
    {"wlan/restarts", ""},
};

// Small state files: a short text without its trailing newline.
int readState(const char *name, char *buf, size_t size)
{
    char path[512];
    if (simStatePath(path, sizeof(path), name) != 0 || simReadFile(path, buf, size) < 0)
        return -1;
    size_t len = strlen(buf);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r'))
        buf[--len] = '\0';
    return 0;
}

int readStateInt(const char *name, int fallback)
{
    char buf[32];
    memset(buf, 0, sizeof(buf));
    if (readState(name, buf, sizeof(buf)) != 0)
        return fallback;
    return atoi(buf);
}

int writeState(const char *name, const char *text)
{
    char path[512];
    if (simStatePath(path, sizeof(path), name) != 0)
        return -1;
    return replaceFile(path, text, strlen(text), 0644);
}

int writeStateInt(const char *name, int value)
{
    char buf[32];
    memset(buf, 0, sizeof(buf));
    snprintf(buf, sizeof(buf), "%d", value);
    return writeState(name, buf);
}

bool reachable(void)
{
    char path[512];
    return simStatePath(path, sizeof(path), SIM_WLAN_UNREACHABLE_FILE) == 0 && !simExists(path);
}

// The configuration's lines after the network name, in file order; the
// network name and the deny list have forms of their own.
const SimField kConfFields[] = {
    {"ignore_broadcast_ssid", SIM_FIELD_INT, WMC_HIDE_SSID, 0},
    {"country_code", SIM_FIELD_TEXT, WMC_COUNTRY_CODE, WMC_COUNTRY_CODE_SIZE},
    {"band_type", SIM_FIELD_INT, WMC_BAND_TYPE, 0},
    {"wireless_mode", SIM_FIELD_INT, WMC_WIRELESS_MODE, 0},
    {"channel", SIM_FIELD_INT, WMC_CHANNEL, 0},
    {"acs_mode", SIM_FIELD_INT, WMC_ACS_MODE, 0},
    {"macaddr_acl", SIM_FIELD_INT, WMC_MAC_ACL_MODE, 0},
    {"ht_capab", SIM_FIELD_TEXT, WMC_HT_CAPAB, WMC_HT_CAPAB_SIZE},
    {"wpa", SIM_FIELD_INT, WMC_WPA, 0},
    {"wpa_key_mgmt", SIM_FIELD_TEXT, WMC_WPA_KEY_MGMT, WMC_WPA_KEY_MGMT_SIZE},
    {"wpa_pairwise", SIM_FIELD_TEXT, WMC_WPA_PAIRWISE, WMC_WPA_PAIRWISE_SIZE},
    {"wpa_psk", SIM_FIELD_TEXT, WMC_WPA_PSK, WMC_WPA_PSK_SIZE},
    {"wpa_passphrase", SIM_FIELD_TEXT, WMC_WPA_PASSPHRASE, WMC_WPA_PASSPHRASE_SIZE},
    {"wps_state", SIM_FIELD_INT, WMC_WPS_STATE, 0},
    {"eap_server", SIM_FIELD_INT, WMC_EAP_SERVER, 0},
    {"ap_isolate", SIM_FIELD_INT, WMC_AP_ISOLATE, 0},
};

// Output buffer for the configuration text.
struct Out {
    char *buf;
    size_t size;
    size_t len;
    bool overflow;
};

void put(Out *out, const char *text, size_t n)
{
    if (out->overflow || out->len + n >= out->size) {
        out->overflow = true;
        return;
    }
    memcpy(out->buf + out->len, text, n);
    out->len += n;
}

void puts_(Out *out, const char *text)
{
    put(out, text, strlen(text));
}

void putInt(Out *out, const char *key, int value)
{
    char line[96];
    memset(line, 0, sizeof(line));
    int n = snprintf(line, sizeof(line), "%s=%d\n", key, value);
    put(out, line, (size_t)n);
}

bool plainText(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++) {
        if (*p < 0x20 || *p == 0x7f)
            return false;
    }
    return true;
}

// A text field written as "key=value"; a value that could break the line
// format is refused rather than written.
bool putText(Out *out, const char *key, const wlan_mgr_config *rec, int offset, int size)
{
    char value[128];
    memset(value, 0, sizeof(value));
    wmcGetText(rec, offset, size, value, sizeof(value));
    if (!plainText(value))
        return false;
    puts_(out, key);
    puts_(out, "=");
    puts_(out, value);
    puts_(out, "\n");
    return true;
}

// Escapes control bytes, DEL and '%' as %XX so any description stays on
// its line and reads back byte for byte.
void putEscaped(Out *out, const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++) {
        if (*p < 0x21 || *p == 0x7f || *p == '%') {
            char esc[4];
            memset(esc, 0, sizeof(esc));
            snprintf(esc, sizeof(esc), "%%%02X", *p);
            put(out, esc, 3);
        } else {
            put(out, (const char *)p, 1);
        }
    }
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void unescape(const char *in, char *out, size_t size)
{
    memset(out, 0, size);
    size_t n = 0;
    for (size_t i = 0; in[i] != '\0' && n < size - 1; i++) {
        int hi = in[i] == '%' ? hexValue(in[i + 1]) : -1;
        int lo = hi >= 0 ? hexValue(in[i + 2]) : -1;
        if (hi >= 0 && lo >= 0) {
            out[n++] = (char)(hi * 16 + lo);
            i += 2;
        } else {
            out[n++] = in[i];
        }
    }
}

int formatConfig(const wlan_mgr_config *rec, Out *out)
{
    char ssid[WMC_SSID_SIZE];
    memset(ssid, 0, sizeof(ssid));
    wmcGetText(rec, WMC_SSID, WMC_SSID_SIZE, ssid, sizeof(ssid));
    puts_(out, "# Access point configuration, written by the Wi-Fi manager\n");
    puts_(out, "interface=wlan0\ndriver=nl80211\n");
    if (plainText(ssid)) {
        puts_(out, "ssid=");
        puts_(out, ssid);
        puts_(out, "\n");
    } else {
        // Control bytes in a network name travel as hex, as hostapd allows.
        puts_(out, "ssid2=");
        for (const unsigned char *p = (const unsigned char *)ssid; *p != '\0'; p++) {
            char hex[3];
            memset(hex, 0, sizeof(hex));
            snprintf(hex, sizeof(hex), "%02x", *p);
            put(out, hex, 2);
        }
        puts_(out, "\n");
    }
    const wlan_mgr_config *r = rec;
    bool ok = true;
    for (const SimField &f : kConfFields) {
        if (f.type == SIM_FIELD_TEXT)
            ok = ok && putText(out, f.name, r, (int)f.offset, (int)f.size);
        else
            putInt(out, f.name, wmcGetInt(r, (int)f.offset));
    }
    if (!ok)
        return -1;

    int count = wmcGetInt(r, WMC_MAC_ACL_COUNT);
    const wlan_mac_entry *list = wmcGetAclList(r);
    if (count < 0 || count > kMaxAclEntries || (count > 0 && list == NULL))
        return -1;
    // One line per entry: "deny_mac=<address> <escaped description>";
    // "-" stands for an empty address.
    for (int i = 0; i < count; i++) {
        char mac[sizeof(list[i].mac)];
        char description[sizeof(list[i].description)];
        memset(mac, 0, sizeof(mac));
        memset(description, 0, sizeof(description));
        memcpy(mac, list[i].mac, sizeof(mac) - 1);
        memcpy(description, list[i].description, sizeof(description) - 1);
        puts_(out, "deny_mac=");
        if (mac[0] == '\0')
            puts_(out, "-");
        else
            putEscaped(out, mac);
        puts_(out, " ");
        putEscaped(out, description);
        puts_(out, "\n");
    }
    return out->overflow ? -1 : 0;
}

void setAclEntry(wlan_mgr_config *rec, const char *value)
{
    int count = wmcGetInt(rec, WMC_MAC_ACL_COUNT);
    if (count < 0 || count >= kMaxAclEntries)
        return;
    wlan_mac_entry *list = wmcGetAclList(rec);
    wlan_mac_entry *grown = (wlan_mac_entry *)realloc(list, (size_t)(count + 1) * sizeof(wlan_mac_entry));
    if (grown == NULL)
        return;
    memset(&grown[count], 0, sizeof(wlan_mac_entry));
    char word[256];
    memset(word, 0, sizeof(word));
    const char *space = strchr(value, ' ');
    size_t macLen = space != NULL ? (size_t)(space - value) : strlen(value);
    if (macLen >= sizeof(word))
        macLen = sizeof(word) - 1;
    memcpy(word, value, macLen);
    char text[256];
    unescape(word, text, sizeof(text));
    if (strcmp(word, "-") != 0) {
        size_t n = strlen(text) < sizeof(grown[count].mac) - 1 ? strlen(text) : sizeof(grown[count].mac) - 1;
        memcpy(grown[count].mac, text, n);
    }
    if (space != NULL) {
        unescape(space + 1, text, sizeof(text));
        size_t n = strlen(text);
        if (n > sizeof(grown[count].description) - 1)
            n = sizeof(grown[count].description) - 1;
        memcpy(grown[count].description, text, n);
    }
    wmcSetAclList(rec, grown);
    wmcSetInt(rec, WMC_MAC_ACL_COUNT, count + 1);
}

void setFromLine(wlan_mgr_config *rec, const char *key, const char *value)
{
    for (const SimField &f : kConfFields) {
        if (strcmp(key, f.name) != 0)
            continue;
        if (f.type == SIM_FIELD_TEXT)
            wmcSetText(rec, (int)f.offset, (int)f.size, value);
        else
            wmcSetInt(rec, (int)f.offset, (int32_t)strtol(value, NULL, 10));
        return;
    }
    if (strcmp(key, "ssid") == 0) {
        wmcSetText(rec, WMC_SSID, WMC_SSID_SIZE, value);
    } else if (strcmp(key, "ssid2") == 0) {
        char ssid[WMC_SSID_SIZE];
        memset(ssid, 0, sizeof(ssid));
        size_t n = 0;
        for (size_t i = 0; value[i] != '\0' && value[i + 1] != '\0' && n < sizeof(ssid) - 1; i += 2) {
            int hi = hexValue(value[i]);
            int lo = hexValue(value[i + 1]);
            if (hi < 0 || lo < 0)
                break;
            ssid[n++] = (char)(hi * 16 + lo);
        }
        wmcSetText(rec, WMC_SSID, WMC_SSID_SIZE, ssid);
    } else if (strcmp(key, "deny_mac") == 0) {
        setAclEntry(rec, value);
    }
}

wlan_mgr_config *newRecord(void)
{
    return (wlan_mgr_config *)calloc(1, kRecordSize);
}

// Parses a configuration file into a new record; null when it cannot be read.
wlan_mgr_config *parseFile(const char *path)
{
    char *text = simReadFileAlloc(path, kMaxConfBytes + 1, NULL);
    if (text == NULL)
        return NULL;
    wlan_mgr_config *rec = newRecord();
    if (rec != NULL) {
        char *save = NULL;
        for (char *line = strtok_r(text, "\n", &save); line != NULL; line = strtok_r(NULL, "\n", &save)) {
            size_t len = strlen(line);
            if (len > 0 && line[len - 1] == '\r')
                line[len - 1] = '\0';
            char *eq = strchr(line, '=');
            if (line[0] == '#' || eq == NULL)
                continue;
            *eq = '\0';
            setFromLine(rec, line, eq + 1);
        }
    }
    free(text);
    return rec;
}

int confPath(char *out, size_t size)
{
    return kalPath(out, size, HOSTAPD_CONF_PATH);
}

void journalRestart(int command)
{
    simLocked(0, [&] {
        char path[512];
        if (simStatePath(path, sizeof(path), "wlan/restarts") != 0)
            return 0;
        char old[16384];
        if (simReadFile(path, old, sizeof(old)) < 0)
            old[0] = '\0';
        // Keep the journal short: drop the oldest half once it fills.
        size_t len = strlen(old);
        const char *keep = old;
        if (len > sizeof(old) / 2) {
            keep = strchr(old + len / 2, '\n');
            keep = keep != NULL ? keep + 1 : old + len;
        }
        struct timeval tv;
        gettimeofday(&tv, NULL);
        char line[64];
        memset(line, 0, sizeof(line));
        int n = snprintf(line, sizeof(line), "%lld %d\n", (long long)tv.tv_sec * 1000 + tv.tv_usec / 1000, command);
        char all[16384 + 64];
        memset(all, 0, sizeof(all));
        size_t keepLen = strlen(keep);
        memcpy(all, keep, keepLen);
        memcpy(all + keepLen, line, (size_t)n);
        replaceFile(path, all, keepLen + (size_t)n, 0644);
        return 0;
    });
}

}  // namespace

extern "C" {

#if WMC_ACL_LIST_OUTSIDE_FIELD
wlan_mac_entry *wlan_mgr_acl_list(const wlan_mgr_config *rec)
{
    if (rec == NULL || wmcGetInt(rec, WMC_MAC_ACL_LIST) == 0)
        return NULL;
    wlan_mac_entry *list = NULL;
    memcpy(&list, reinterpret_cast<const unsigned char *>(rec) + kListSlot, sizeof(list));
    return list;
}

void wlan_mgr_set_acl_list(wlan_mgr_config *rec, wlan_mac_entry *list)
{
    if (rec == NULL)
        return;
    // The 4-byte field only says whether there is a list; the pointer
    // itself lives in the library's part of the record.
    wmcSetInt(rec, WMC_MAC_ACL_LIST, list != NULL ? 1 : 0);
    memcpy(reinterpret_cast<unsigned char *>(rec) + kListSlot, &list, sizeof(list));
}
#endif

intptr_t wm_connect(const char *localPath, const char *serverPath)
{
    if (simServiceFails(SIM_SERVICE_WLAN_MANAGER))
        return 0;
    if (localPath == NULL || serverPath == NULL || !reachable())
        return 0;
    intptr_t handle = g_nextHandle++;
    if (g_nextHandle <= 0)
        g_nextHandle = 1;
    return handle;
}

void wm_disconnect(intptr_t) {}

int wm_get_wlan_config(intptr_t handle, wlan_mgr_config **config)
{
    if (simServiceFails(SIM_SERVICE_WLAN_MANAGER))
        return -1;
    char path[512];
    if (handle == 0 || config == NULL || confPath(path, sizeof(path)) != 0)
        return -1;
    *config = parseFile(path);
    return *config != NULL ? 0 : -1;
}

int wm_set_wlan_config(intptr_t handle, wlan_mgr_config *config)
{
    if (simServiceFails(SIM_SERVICE_WLAN_MANAGER))
        return -1;
    char path[512];
    if (handle == 0 || config == NULL || confPath(path, sizeof(path)) != 0)
        return -1;
    Out out;
    memset(&out, 0, sizeof(out));
    out.buf = (char *)calloc(1, kMaxConfBytes);
    if (out.buf == NULL)
        return -1;
    out.size = kMaxConfBytes;
    int rc = formatConfig(config, &out);
    if (rc == 0)
        rc = replaceFile(path, out.buf, out.len, 0644);
    free(out.buf);
    return rc == 0 ? 0 : -1;
}

int wm_get_wlan_sta_list(intptr_t handle, char *buffer, int *size)
{
    if (simServiceFails(SIM_SERVICE_WLAN_MANAGER))
        return -1;
    if (handle == 0 || buffer == NULL || size == NULL || *size <= 0)
        return -1;
    char path[512];
    if (simStatePath(path, sizeof(path), SIM_STATIONS_FILE) != 0)
        return -1;
    char *text = simReadFileAlloc(path, kMaxConfBytes + 1, NULL);
    if (text == NULL)
        return -1;
    int rc = -1;
    cJSON *list = cJSON_Parse(text);
    if (list == NULL) {
        // Not JSON: handed over as it is, as a broken manager would.
        if (strlen(text) < (size_t)*size) {
            memset(buffer, 0, (size_t)*size);
            memcpy(buffer, text, strlen(text));
            rc = 0;
        }
    } else {
        // A list longer than the caller's buffer loses its last
        // stations, never the whole list.
        for (;;) {
            char *printed = cJSON_PrintUnformatted(list);
            size_t len = printed != NULL ? strlen(printed) : 0;
            if (printed != NULL && len < (size_t)*size) {
                memset(buffer, 0, (size_t)*size);
                memcpy(buffer, printed, len);
                rc = 0;
            }
            free(printed);
            if (rc == 0 || printed == NULL || !cJSON_IsArray(list) || cJSON_GetArraySize(list) == 0)
                break;
            cJSON_DeleteItemFromArray(list, cJSON_GetArraySize(list) - 1);
        }
        cJSON_Delete(list);
    }
    free(text);
    return rc;
}

int wm_get_wlan_client_mac(intptr_t handle, char *buffer, int *size)
{
    if (simServiceFails(SIM_SERVICE_WLAN_MANAGER))
        return -1;
    if (handle == 0 || buffer == NULL || size == NULL || *size <= 0)
        return -1;
    char mac[64];
    memset(mac, 0, sizeof(mac));
    if (readState("wlan/client_mac", mac, sizeof(mac)) != 0 || strlen(mac) >= (size_t)*size)
        return -1;
    memset(buffer, 0, (size_t)*size);
    memcpy(buffer, mac, strlen(mac));
    return 0;
}

int wm_get_wlan_switch(intptr_t handle, int *state)
{
    if (simServiceFails(SIM_SERVICE_WLAN_MANAGER))
        return -1;
    if (handle == 0 || state == NULL)
        return -1;
    *state = readStateInt("wlan/switch", 0);
    return 0;
}

int wm_set_wlan_switch(intptr_t handle, int command)
{
    if (simServiceFails(SIM_SERVICE_WLAN_MANAGER))
        return -1;
    if (handle == 0)
        return -1;
    if (command != 2 && command != 3)
        return -1;
    journalRestart(command);
    return writeStateInt("wlan/switch", 1) == 0 ? 0 : -1;
}

int wm_set_wlan_auto_down_time(intptr_t handle, int time)
{
    if (simServiceFails(SIM_SERVICE_WLAN_MANAGER))
        return -1;
    if (handle == 0)
        return -1;
    return writeStateInt("wlan/auto_down_time", time) == 0 ? 0 : -1;
}

int wm_get_wlan_sta_num(intptr_t handle, int *count)
{
    if (simServiceFails(SIM_SERVICE_WLAN_MANAGER))
        return -1;
    if (handle == 0 || count == NULL)
        return -1;
    char buf[1600];
    int size = (int)sizeof(buf);
    *count = 0;
    if (wm_get_wlan_sta_list(handle, buf, &size) == 0) {
        cJSON *list = cJSON_Parse(buf);
        if (cJSON_IsArray(list))
            *count = cJSON_GetArraySize(list);
        cJSON_Delete(list);
    }
    return 0;
}

int wlan_mgr_get_config(wlan_mgr_config **config, const char *path)
{
    if (config == NULL || path == NULL)
        return -1;
    *config = parseFile(path);
    return *config != NULL ? 0 : -1;
}

void wlan_mgr_free_config(wlan_mgr_config **config)
{
    if (config == NULL || *config == NULL)
        return;
    free(wmcGetAclList(*config));
    free(*config);
    *config = NULL;
}

int get_chan_width_support(const char *countryCode, uint8_t channel)
{
    (void)countryCode;
    // 40 MHz pairs exist for 2.4 GHz channels 1-13 and 5 GHz up to 161.
    return (channel >= 1 && channel <= 13) || (channel >= 36 && channel <= 161) ? 1 : 0;
}

void set_ht_cw_capab(int width40, wlan_mgr_config *config)
{
    if (config == NULL)
        return;
    int channel = wmcGetInt(config, WMC_CHANNEL);
    const char *capab = "[SHORT-GI-20]";
    if (width40 != 0)
        capab = (channel >= 5 && channel <= 13) ? "[HT40-][SHORT-GI-20][SHORT-GI-40]"
                                                : "[HT40+][SHORT-GI-20][SHORT-GI-40]";
    wmcSetText(config, WMC_HT_CAPAB, WMC_HT_CAPAB_SIZE, capab);
}

int getWlanwarnLaunch(void)
{
    return readStateInt("wlan/warn_launch", 0) != 0 ? 1 : 0;
}

void uci_set_wlan_sec_status(int status)
{
    writeStateInt("wlan/sec_status", status);
}

int is_export_product(void)
{
    return readStateInt("wlan/export_product", 0) != 0 ? 1 : 0;
}

}  // extern "C"

int simWlanSeed(void)
{
    char path[512];
    if (simStatePath(path, sizeof(path), "wlan") != 0 || simMakeDirs(path, 0755) != 0)
        return -1;
    for (const StateFile &f : kStateFiles) {
        if (simStatePath(path, sizeof(path), f.name) != 0)
            return -1;
        if (!simExists(path) && replaceFile(path, f.factory, strlen(f.factory), 0644) != 0)
            return -1;
    }
    if (confPath(path, sizeof(path)) != 0)
        return -1;
    if (!simExists(path) && replaceFile(path, kFactoryConf, strlen(kFactoryConf), 0644) != 0)
        return -1;
    return 0;
}
