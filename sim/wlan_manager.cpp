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

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "sim/sim_device.h"
#include "sim/sim_files.h"
#include "sim/sim_getter.h"
#include "sim/sim_lock.h"
#include "sim/sim_state_files.h"
#include "sim/wlan_config.h"

namespace {

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

intptr_t wm_connect(const char *localPath, const char *serverPath)
{
    return simServe(SIM_SERVICE_WLAN_MANAGER, (intptr_t)0, [&]() -> intptr_t {
        if (localPath == NULL || serverPath == NULL || !reachable())
            return 0;
        intptr_t handle = g_nextHandle++;
        if (g_nextHandle <= 0)
            g_nextHandle = 1;
        return handle;
    });
}

void wm_disconnect(intptr_t) {}

int wm_get_wlan_config(intptr_t handle, wlan_mgr_config **config)
{
    return simServe(SIM_SERVICE_WLAN_MANAGER, -1, [&] {
        char path[512];
        if (handle == 0 || config == NULL || confPath(path, sizeof(path)) != 0)
            return -1;
        *config = simWlanConfigRead(path);
        return *config != NULL ? 0 : -1;
    });
}

int wm_set_wlan_config(intptr_t handle, wlan_mgr_config *config)
{
    return simServe(SIM_SERVICE_WLAN_MANAGER, -1, [&] {
        char path[512];
        if (handle == 0 || config == NULL || confPath(path, sizeof(path)) != 0)
            return -1;
        return simWlanConfigWrite(config, path);
    });
}

int wm_get_wlan_sta_list(intptr_t handle, char *buffer, int *size)
{
    return simServe(SIM_SERVICE_WLAN_MANAGER, -1, [&] {
        if (handle == 0 || buffer == NULL || size == NULL || *size <= 0)
            return -1;
        char path[512];
        if (simStatePath(path, sizeof(path), SIM_STATIONS_FILE) != 0)
            return -1;
        char *text = simReadFileAlloc(path, kWlanMaxFileBytes + 1, NULL);
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
    });
}

int wm_get_wlan_client_mac(intptr_t handle, char *buffer, int *size)
{
    return simServe(SIM_SERVICE_WLAN_MANAGER, -1, [&] {
        if (handle == 0 || buffer == NULL || size == NULL || *size <= 0)
            return -1;
        char mac[64];
        memset(mac, 0, sizeof(mac));
        if (readState("wlan/client_mac", mac, sizeof(mac)) != 0 || strlen(mac) >= (size_t)*size)
            return -1;
        memset(buffer, 0, (size_t)*size);
        memcpy(buffer, mac, strlen(mac));
        return 0;
    });
}

int wm_get_wlan_switch(intptr_t handle, int *state)
{
    return simServe(SIM_SERVICE_WLAN_MANAGER, -1, [&] {
        if (handle == 0 || state == NULL)
            return -1;
        *state = readStateInt("wlan/switch", 0);
        return 0;
    });
}

int wm_set_wlan_switch(intptr_t handle, int command)
{
    return simServe(SIM_SERVICE_WLAN_MANAGER, -1, [&] {
        if (handle == 0)
            return -1;
        if (command != 2 && command != 3)
            return -1;
        journalRestart(command);
        return writeStateInt("wlan/switch", 1) == 0 ? 0 : -1;
    });
}

int wm_set_wlan_auto_down_time(intptr_t handle, int time)
{
    return simServe(SIM_SERVICE_WLAN_MANAGER, -1, [&] {
        if (handle == 0)
            return -1;
        return writeStateInt("wlan/auto_down_time", time) == 0 ? 0 : -1;
    });
}

int wm_get_wlan_sta_num(intptr_t handle, int *count)
{
    return simServe(SIM_SERVICE_WLAN_MANAGER, -1, [&] {
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
    });
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
