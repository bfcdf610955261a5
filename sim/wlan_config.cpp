// The simulated Wi-Fi manager's configuration: the hostapd file read into
// the library's record and written back from it.
#include "sim/wlan_config.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/replace_file.h"
#include "sim/sim_fields.h"
#include "sim/sim_files.h"

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

}  // namespace

wlan_mgr_config *simWlanConfigRead(const char *path)
{
    char *text = simReadFileAlloc(path, kWlanMaxFileBytes + 1, NULL);
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

int simWlanConfigWrite(const wlan_mgr_config *rec, const char *path)
{
    Out out;
    memset(&out, 0, sizeof(out));
    out.buf = (char *)calloc(1, kWlanMaxFileBytes);
    if (out.buf == NULL)
        return -1;
    out.size = kWlanMaxFileBytes;
    int rc = formatConfig(rec, &out);
    if (rc == 0)
        rc = replaceFile(path, out.buf, out.len, 0644);
    free(out.buf);
    return rc == 0 ? 0 : -1;
}

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

int wlan_mgr_get_config(wlan_mgr_config **config, const char *path)
{
    if (config == NULL || path == NULL)
        return -1;
    *config = simWlanConfigRead(path);
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

}  // extern "C"
