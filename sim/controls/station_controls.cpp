// Stations: the associated stations the Wi-Fi manager reports, wlan/stations.json.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_state_files.h"

namespace {

const char kStationsFile[] = SIM_STATIONS_FILE;
const int kMaxStations = 16;  // more no longer fit the manager's station count buffer
const size_t kMaxStationName = 32;
const char kStationSubnet[] = "192.168.0.";
const int kFirstStationHost = 100;
const int kLastStationHost = 199;

// Normalizes aa:bb:cc:dd:ee:ff (or with '-') to lower case with ':'.
bool normalMac(const char *text, char out[18])
{
    if (strlen(text) != 17)
        return false;
    memset(out, 0, 18);
    for (int i = 0; i < 17; i++) {
        char c = text[i];
        if (i % 3 == 2) {
            if (c != ':' && c != '-')
                return false;
            out[i] = ':';
        } else {
            if (!isxdigit((unsigned char)c))
                return false;
            out[i] = (char)tolower((unsigned char)c);
        }
    }
    return true;
}

cJSON *findStation(cJSON *list, const char *mac, int *index)
{
    int i = 0;
    cJSON *station = NULL;
    cJSON_ArrayForEach(station, list)
    {
        char known[18];
        const cJSON *m = cJSON_GetObjectItemCaseSensitive(station, "mac");
        if (cJSON_IsString(m) && normalMac(m->valuestring, known) && strcmp(known, mac) == 0) {
            if (index != NULL)
                *index = i;
            return station;
        }
        i++;
    }
    return NULL;
}

bool addressTaken(const cJSON *list, const char *ip)
{
    const cJSON *station = NULL;
    cJSON_ArrayForEach(station, list)
    {
        const cJSON *addr = cJSON_GetObjectItemCaseSensitive(station, "ip");
        if (cJSON_IsString(addr) && strcmp(addr->valuestring, ip) == 0)
            return true;
    }
    return false;
}

}  // namespace

int stationControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    const char *verb = argc >= 2 ? argv[1] : "";
    bool add = strcmp(verb, "add") == 0 && (argc == 3 || argc == 4);
    bool remove = strcmp(verb, "remove") == 0 && argc == 3;
    bool clear = strcmp(verb, "clear") == 0 && argc == 2;
    if (!add && !remove && !clear)
        return say(message, size, CONTROL_REFUSED, "station needs: add MAC [NAME], remove MAC or clear");
    char mac[18];
    memset(mac, 0, sizeof(mac));
    if (!clear && !normalMac(argv[2], mac))
        return say(message, size, CONTROL_REFUSED, "station: \"%s\" is not a MAC address like 02:00:00:00:00:09",
                   quote(argv[2]).text);
    const char *name = add && argc == 4 ? argv[3] : "";
    if (add && (strlen(name) > kMaxStationName || !cleanUtf8(name, false)))
        return say(message, size, CONTROL_REFUSED, "station: the name must be up to %zu bytes of UTF-8 without control characters",
                   kMaxStationName);
    if (!apply)
        return CONTROL_OK;
    cJSON *list = loadState(kStationsFile, cJSON_Array, message, size);
    if (list == NULL)
        return CONTROL_FAILED;
    char done[128];
    memset(done, 0, sizeof(done));
    int index = -1;
    if (clear) {
        cJSON_Delete(list);
        list = cJSON_CreateArray();
        snprintf(done, sizeof(done), "no stations connected");
    } else if (remove) {
        if (findStation(list, mac, &index) == NULL) {
            cJSON_Delete(list);
            return say(message, size, CONTROL_REFUSED, "station: %s is not connected", mac);
        }
        cJSON_DeleteItemFromArray(list, index);
        snprintf(done, sizeof(done), "station %s left", mac);
    } else {
        if (findStation(list, mac, NULL) != NULL) {
            cJSON_Delete(list);
            return say(message, size, CONTROL_REFUSED, "station: %s is already connected", mac);
        }
        if (cJSON_GetArraySize(list) >= kMaxStations) {
            cJSON_Delete(list);
            return say(message, size, CONTROL_REFUSED, "station: at most %d stations", kMaxStations);
        }
        char ip[20];
        memset(ip, 0, sizeof(ip));
        for (int host = kFirstStationHost; host <= kLastStationHost; host++) {
            snprintf(ip, sizeof(ip), "%s%d", kStationSubnet, host);
            if (!addressTaken(list, ip))
                break;
        }
        cJSON *station = cJSON_CreateObject();
        if (station == NULL) {
            cJSON_Delete(list);
            return say(message, size, CONTROL_FAILED, "out of memory");
        }
        cJSON_AddStringToObject(station, "mac", mac);
        cJSON_AddStringToObject(station, "ip", ip);
        cJSON_AddStringToObject(station, "hostname", name);
        cJSON_AddItemToArray(list, station);
        snprintf(done, sizeof(done), "station %s connected as %s", mac, ip);
    }
    int rc = list != NULL ? saveState(kStationsFile, list, 0644, message, size)
                          : say(message, size, CONTROL_FAILED, "out of memory");
    cJSON_Delete(list);
    return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "%s", done) : rc;
}

void stationShow(cJSON *out)
{
    char ignored[8];
    cJSON *stations = loadState(kStationsFile, cJSON_Array, ignored, sizeof(ignored));
    if (stations != NULL)
        cJSON_AddItemToObject(out, "stations", stations);
    else
        cJSON_AddArrayToObject(out, "stations");
}
