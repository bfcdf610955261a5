// Controls of the simulated device. Every control reads the state file it
// changes afresh, changes the members it owns and replaces the file whole,
// so members a developer added by hand survive; it does so holding the
// device's lock, as the server's simulated platform does around its own
// changes, so that neither undoes the other's.
#include "sim/controls/device_controls.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "platform/config_store.h"
#include "platform/device_paths.h"
#include "platform/replace_file.h"
#include "server/utils.h"
#include "sim/sim_card.h"
#include "sim/sim_device.h"
#include "sim/sim_digest.h"
#include "sim/sim_files.h"
#include "sim/sim_kv.h"
#include "sim/sim_lock.h"
#include "sim/sim_json.h"
#include "sim/sim_state_files.h"

namespace {

const char kModemFile[] = SIM_MODEM_FILE;
const char kSimFile[] = SIM_CARD_FILE;
const char kSmsFile[] = SIM_SMS_FILE;
const char kStationsFile[] = SIM_STATIONS_FILE;
const char kUnreachableFile[] = SIM_WLAN_UNREACHABLE_FILE;
const char kOfferFile[] = SIM_UPDATE_OFFER_FILE;
const char kOfferPackageFile[] = SIM_UPDATE_PACKAGE_FILE;
const char *const kCardDevices[] = {SIM_CARD_DEVICE_PATH, SIM_CARD_PARTITION_PATH};

const int kMaxSignalLevel = 5;  // bars
const int kSmsCapacity = SIM_SMS_CAPACITY;
const size_t kMaxSmsNumber = SIM_SMS_MAX_NUMBER;
const size_t kMaxSmsText = SIM_SMS_MAX_TEXT;
const int kMaxStations = 16;  // more no longer fit the manager's station count buffer
const size_t kMaxStationName = 32;
const size_t kMaxVersion = 15;
const size_t kMaxNote = 200;
const size_t kOfferPayloadBytes = 256 * 1024;  // large enough for a download to show progress
const char kStationSubnet[] = "192.168.0.";
const int kFirstStationHost = 100;
const int kLastStationHost = 199;

const char kRestartHint[] =
    "; a real device reads its SIM only at power-on: stop kal_server and start it again to power on with this card";

const char kUsage[] =
    "battery LEVEL [--charging|--not-charging]   level 0-100\n"
    "signal LEVEL                                 signal bars 0-5\n"
    "registration on|off                          the network accepts the card or not\n"
    "roaming on|off                               the network in use is a visited one\n"
    "sim ready|pin-required PIN|puk-required|absent\n"
    "sms receive NUMBER TEXT                      an unread incoming message\n"
    "station add MAC [NAME] | station remove MAC | station clear\n"
    "sdcard in|out\n"
    "update offer VERSION [NOTE] | update none    a firmware update on the update server\n"
    "wifi reachable|unreachable                   the Wi-Fi manager accepts connections or not\n"
    "show                                         the current values, as JSON\n";

// A word of the command as quoted in a message: at most 40 bytes of it.
struct Quoted {
    char text[41];
};

Quoted quote(const char *word)
{
    Quoted q;
    memset(&q, 0, sizeof(q));
    copyText(q.text, word, sizeof(q.text));
    return q;
}

int say(char *message, size_t size, int code, const char *format, ...) __attribute__((format(printf, 4, 5)));

int say(char *message, size_t size, int code, const char *format, ...)
{
    if (message != NULL && size > 0) {
        va_list args;
        va_start(args, format);
        formatText(message, size, format, args);
        va_end(args);
    }
    return code;
}

// A whole decimal number within [low, high]; false for anything else.
bool parseInt(const char *text, long low, long high, long *out)
{
    if (text == NULL || text[0] == '\0' || isspace((unsigned char)text[0]))
        return false;
    errno = 0;
    char *end = NULL;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return false;
    *out = value;
    return true;
}

// Well-formed UTF-8 without control characters (tab and newline allowed
// when multiline).
bool cleanUtf8(const char *text, bool multiline)
{
    const unsigned char *p = (const unsigned char *)text;
    while (*p != '\0') {
        unsigned char c = *p;
        if (c < 0x80) {
            if ((c < 0x20 && !(multiline && (c == '\n' || c == '\t'))) || c == 0x7f)
                return false;
            p++;
            continue;
        }
        int more;
        unsigned long cp;
        if (c >= 0xc2 && c <= 0xdf) {
            more = 1;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            more = 2;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (int i = 1; i <= more; i++) {
            if ((p[i] & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3f);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        if ((more == 2 && cp < 0x800) || (more == 3 && (cp < 0x10000 || cp > 0x10ffff)) ||
            (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        p += more + 1;
    }
    return true;
}

bool onOff(const char *word, bool *out)
{
    if (word != NULL && strcmp(word, "on") == 0) {
        *out = true;
        return true;
    }
    if (word != NULL && strcmp(word, "off") == 0) {
        *out = false;
        return true;
    }
    return false;
}

int statePath(char *out, size_t size, const char *name, char *message, size_t msgSize)
{
    if (simStatePath(out, size, name) != 0)
        return say(message, msgSize, CONTROL_FAILED, "state path of %s does not fit", name);
    return CONTROL_OK;
}

int removeFile(const char *path, char *message, size_t size)
{
    if (unlink(path) != 0 && errno != ENOENT)
        return say(message, size, CONTROL_FAILED, "cannot remove %s: %s", path, strerror(errno));
    // The removal lasts across a power cut only once the directory is synced.
    if (syncDirectoryOf(path) != 0)
        return say(message, size, CONTROL_FAILED, "cannot sync the directory of %s: %s", path, strerror(errno));
    return CONTROL_OK;
}

int writeState(const char *name, const char *data, size_t len, mode_t mode, char *message, size_t size)
{
    char path[600];
    int rc = statePath(path, sizeof(path), name, message, size);
    if (rc != CONTROL_OK)
        return rc;
    if (replaceFile(path, data, len, mode) != 0)
        return say(message, size, CONTROL_FAILED, "cannot write %s: %s", path, strerror(errno));
    return CONTROL_OK;
}

// Loads a JSON state file; a missing one starts empty, as its members then
// take their factory values.
cJSON *loadState(const char *name, int type, char *message, size_t size)
{
    char path[600];
    if (statePath(path, sizeof(path), name, message, size) != CONTROL_OK)
        return NULL;
    cJSON *json = NULL;
    if (!simExists(path)) {
        json = type == cJSON_Array ? cJSON_CreateArray() : cJSON_CreateObject();
    } else {
        char *text = simReadFileAlloc(path, 1024 * 1024, NULL);
        json = text != NULL ? cJSON_Parse(text) : NULL;
        free(text);
    }
    if (json == NULL || (json->type & 0xff) != type) {
        say(message, size, CONTROL_FAILED, "%s does not hold a JSON %s: fix or delete it", path,
            type == cJSON_Array ? "list" : "object");
        cJSON_Delete(json);
        return NULL;
    }
    return json;
}

int saveState(const char *name, cJSON *json, mode_t mode, char *message, size_t size)
{
    char *text = cJSON_Print(json);
    if (text == NULL)
        return say(message, size, CONTROL_FAILED, "out of memory printing %s", name);
    size_t len = strlen(text);
    int rc = writeState(name, text, len, mode, message, size);
    cJSON_free(text);
    return rc;
}

void setMember(cJSON *object, const char *key, cJSON *item)
{
    // The key may be the item's own name, which replacing frees.
    char name[64];
    memset(name, 0, sizeof(name));
    snprintf(name, sizeof(name), "%s", key);
    if (cJSON_HasObjectItem(object, name))
        cJSON_ReplaceItemInObjectCaseSensitive(object, name, item);
    else
        cJSON_AddItemToObject(object, name, item);
}

// Sets members of a JSON object state file and saves it.
int changeObject(const char *name, mode_t mode, cJSON *changes, char *message, size_t size)
{
    cJSON *json = loadState(name, cJSON_Object, message, size);
    if (json == NULL) {
        cJSON_Delete(changes);
        return CONTROL_FAILED;
    }
    cJSON *item = changes->child;
    while (item != NULL) {
        cJSON *next = item->next;
        cJSON_DetachItemViaPointer(changes, item);
        setMember(json, item->string, item);
        item = next;
    }
    cJSON_Delete(changes);
    int rc = saveState(name, json, mode, message, size);
    cJSON_Delete(json);
    return rc;
}

int battery(int argc, const char *const argv[], char *message, size_t size)
{
    long level = 0;
    if (argc < 2 || argc > 3 || !parseInt(argv[1], 0, 100, &level))
        return say(message, size, CONTROL_REFUSED, "battery needs a level from 0 to 100, then --charging or --not-charging");
    int charging = -1;
    if (argc == 3) {
        if (strcmp(argv[2], "--charging") == 0)
            charging = 1;
        else if (strcmp(argv[2], "--not-charging") == 0)
            charging = 0;
        else
            return say(message, size, CONTROL_REFUSED, "battery: unknown option \"%s\" (--charging or --not-charging)",
                       quote(argv[2]).text);
    }
    // Through the configuration store, which keeps each key in a file of its own.
    char text[8];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%ld", level);
    if (set_config_data_permanent(CFG_BATTERY_LEVEL, text, (int)strlen(text)) != 0 ||
        (charging >= 0 && set_config_data_permanent(CFG_BATTERY_CHARGING, charging ? "1" : "0", 1) != 0))
        return say(message, size, CONTROL_FAILED, "cannot write the battery's configuration keys %d and %d",
                   CFG_BATTERY_LEVEL, CFG_BATTERY_CHARGING);
    if (charging < 0)
        return say(message, size, CONTROL_OK, "battery at %ld %%", level);
    return say(message, size, CONTROL_OK, "battery at %ld %%, %s", level, charging ? "charging" : "not charging");
}

int modemControl(int argc, const char *const argv[], char *message, size_t size)
{
    cJSON *changes = cJSON_CreateObject();
    if (changes == NULL)
        return say(message, size, CONTROL_FAILED, "out of memory");
    const char *what = argv[0];
    char done[96];
    memset(done, 0, sizeof(done));
    bool on = false;
    long level = 0;
    if (strcmp(what, "signal") == 0) {
        if (argc != 2 || !parseInt(argv[1], 0, kMaxSignalLevel, &level)) {
            cJSON_Delete(changes);
            return say(message, size, CONTROL_REFUSED, "signal needs a level from 0 to %d", kMaxSignalLevel);
        }
        cJSON_AddNumberToObject(changes, "signalLevel", (double)level);
        snprintf(done, sizeof(done), "signal level %ld", level);
    } else if (argc != 2 || !onOff(argv[1], &on)) {
        cJSON_Delete(changes);
        return say(message, size, CONTROL_REFUSED, "%s needs on or off", what);
    } else if (strcmp(what, "registration") == 0) {
        cJSON_AddBoolToObject(changes, "registered", on);
        snprintf(done, sizeof(done), "%s", on ? "registered on the network" : "not registered (no service)");
    } else {
        cJSON_AddBoolToObject(changes, "roamingNetwork", on);
        snprintf(done, sizeof(done), "%s", on ? "on a visited network (roaming)" : "on the home network");
    }
    int rc = changeObject(kModemFile, 0644, changes, message, size);
    return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "%s", done) : rc;
}

bool validPin(const char *pin)
{
    size_t len = strlen(pin);
    if (len < 4 || len > 8)
        return false;
    for (size_t i = 0; i < len; i++)
        if (!isdigit((unsigned char)pin[i]))
            return false;
    return true;
}

int simControl(int argc, const char *const argv[], char *message, size_t size)
{
    const char *state = argc >= 2 ? argv[1] : "";
    bool pinRequired = strcmp(state, "pin-required") == 0;
    if (!(argc == 2 && (strcmp(state, "ready") == 0 || strcmp(state, "puk-required") == 0 ||
                        strcmp(state, "absent") == 0)) &&
        !(argc == 3 && pinRequired))
        return say(message, size, CONTROL_REFUSED, "sim needs ready, pin-required PIN, puk-required or absent");
    if (pinRequired && !validPin(argv[2]))
        return say(message, size, CONTROL_REFUSED, "sim pin-required: the PIN must be 4 to 8 digits, not \"%s\"", quote(argv[2]).text);
    cJSON *changes = cJSON_CreateObject();
    if (changes == NULL)
        return say(message, size, CONTROL_FAILED, "out of memory");
    char done[64];
    memset(done, 0, sizeof(done));
    if (strcmp(state, "ready") == 0) {
        cJSON_AddStringToObject(changes, "state", "ready");
        cJSON_AddBoolToObject(changes, "pinLock", false);
        cJSON_AddNumberToObject(changes, "pinAttempts", SIM_PIN_TRIES);
        cJSON_AddNumberToObject(changes, "pukAttempts", SIM_PUK_TRIES);
        snprintf(done, sizeof(done), "SIM ready, PIN lock off");
    } else if (pinRequired) {
        cJSON_AddStringToObject(changes, "state", "pin_required");
        cJSON_AddBoolToObject(changes, "pinLock", true);
        cJSON_AddStringToObject(changes, "pin", argv[2]);
        cJSON_AddNumberToObject(changes, "pinAttempts", SIM_PIN_TRIES);
        cJSON_AddNumberToObject(changes, "pukAttempts", SIM_PUK_TRIES);
        snprintf(done, sizeof(done), "SIM asks for its PIN %s", argv[2]);
    } else if (strcmp(state, "puk-required") == 0) {
        cJSON_AddStringToObject(changes, "state", "puk_required");
        cJSON_AddBoolToObject(changes, "pinLock", true);
        cJSON_AddNumberToObject(changes, "pinAttempts", 0);
        cJSON_AddNumberToObject(changes, "pukAttempts", SIM_PUK_TRIES);
        snprintf(done, sizeof(done), "SIM asks for its PUK");
    } else {
        cJSON_AddStringToObject(changes, "state", "absent");
        snprintf(done, sizeof(done), "no SIM card");
    }
    int rc = changeObject(kSimFile, 0600, changes, message, size);
    return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "%s%s", done, kRestartHint) : rc;
}

bool validSmsNumber(const char *number)
{
    size_t len = strlen(number);
    if (len == 0 || len > kMaxSmsNumber)
        return false;
    for (size_t i = 0; i < len; i++)
        if (!(isdigit((unsigned char)number[i]) || (i == 0 && number[i] == '+')))
            return false;
    return true;
}

int smsControl(int argc, const char *const argv[], char *message, size_t size)
{
    if (argc != 4 || strcmp(argv[1], "receive") != 0)
        return say(message, size, CONTROL_REFUSED, "sms needs: receive NUMBER TEXT");
    if (!validSmsNumber(argv[2]))
        return say(message, size, CONTROL_REFUSED, "sms: the number must be up to %zu digits, with an optional leading +",
                   kMaxSmsNumber);
    size_t textLen = strlen(argv[3]);
    if (textLen == 0 || textLen > kMaxSmsText || !cleanUtf8(argv[3], true))
        return say(message, size, CONTROL_REFUSED, "sms: the text must be 1 to %zu bytes of UTF-8 without control characters",
                   kMaxSmsText);
    // The store's own reader: a missing file holds the factory messages.
    cJSON *store = simSmsLoadStore();
    if (store == NULL) {
        char path[600];
        simStatePath(path, sizeof(path), kSmsFile);
        return say(message, size, CONTROL_FAILED, "%s does not hold a JSON object: fix or delete it", path);
    }
    cJSON *messages = cJSON_GetObjectItemCaseSensitive(store, "messages");
    if (!cJSON_IsArray(messages)) {
        messages = cJSON_CreateArray();
        setMember(store, "messages", messages);
    }
    if (cJSON_GetArraySize(messages) >= kSmsCapacity) {
        cJSON_Delete(store);
        return say(message, size, CONTROL_REFUSED, "sms: the message store is full (%d messages)", kSmsCapacity);
    }
    // The next free id, as the store itself hands them out.
    int id = simJsonInt(store, "nextId", 1);
    if (id < 1)
        id = 1;
    for (bool taken = true; taken;) {
        taken = false;
        const cJSON *m = NULL;
        cJSON_ArrayForEach(m, messages)
        {
            if (simJsonInt(m, "id", 0) == id) {
                taken = true;
                id++;
                break;
            }
        }
    }
    char stamp[32];
    memset(stamp, 0, sizeof(stamp));
    time_t now = time(NULL);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tmNow);
    cJSON *m = cJSON_CreateObject();
    if (m == NULL) {
        cJSON_Delete(store);
        return say(message, size, CONTROL_FAILED, "out of memory");
    }
    cJSON_AddNumberToObject(m, "id", id);
    cJSON_AddStringToObject(m, "box", "inbox");
    cJSON_AddStringToObject(m, "number", argv[2]);
    cJSON_AddStringToObject(m, "text", argv[3]);
    cJSON_AddStringToObject(m, "time", stamp);
    cJSON_AddBoolToObject(m, "read", false);
    cJSON_AddItemToArray(messages, m);
    setMember(store, "nextId", cJSON_CreateNumber(id + 1));
    int rc = saveState(kSmsFile, store, 0600, message, size);
    cJSON_Delete(store);
    return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "message %d from %s received, unread", id, argv[2]) : rc;
}

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

int stationControl(int argc, const char *const argv[], char *message, size_t size)
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

int sdcardControl(int argc, const char *const argv[], char *message, size_t size)
{
    bool in = argc == 2 && strcmp(argv[1], "in") == 0;
    if (!in && !(argc == 2 && strcmp(argv[1], "out") == 0))
        return say(message, size, CONTROL_REFUSED, "sdcard needs in or out");
    for (const char *device : kCardDevices) {
        char path[600];
        if (kalPath(path, sizeof(path), device) != 0)
            return say(message, size, CONTROL_FAILED, "path of %s does not fit", device);
        if (in) {
            if (!simExists(path) && replaceFile(path, "", 0, 0644) != 0)
                return say(message, size, CONTROL_FAILED, "cannot create %s: %s", path, strerror(errno));
        } else {
            int rc = removeFile(path, message, size);
            if (rc != CONTROL_OK)
                return rc;
        }
    }
    return say(message, size, CONTROL_OK, "%s", in ? "SD card in its slot" : "SD card taken out");
}

bool validVersion(const char *version)
{
    size_t len = strlen(version);
    if (len == 0 || len > kMaxVersion || !isdigit((unsigned char)version[0]) ||
        !isdigit((unsigned char)version[len - 1]))
        return false;
    for (size_t i = 0; i < len; i++)
        if (!isdigit((unsigned char)version[i]) && !(version[i] == '.' && version[i + 1] != '.'))
            return false;
    return true;
}

// The package the simulated verifier accepts (sim/sim_digest.h).
int writeOfferPackage(const char *version, char *message, size_t size)
{
    size_t total = kOfferPayloadBytes + SIM_PACKAGE_TRAILER_SIZE;
    unsigned char *data = (unsigned char *)calloc(1, total + 1);
    if (data == NULL)
        return say(message, size, CONTROL_FAILED, "out of memory");
    // A recognisable, version-specific payload.
    char seed[64];
    memset(seed, 0, sizeof(seed));
    int seedLen = snprintf(seed, sizeof(seed), "simulated firmware %s\n", version);
    for (size_t i = 0; i < kOfferPayloadBytes; i++)
        data[i] = (unsigned char)seed[i % (size_t)seedLen];
    char digest[SIM_DIGEST_HEX_SIZE];
    if (simDigestHex(data, kOfferPayloadBytes, digest) != 0) {
        free(data);
        return say(message, size, CONTROL_FAILED, "cannot compute the package digest");
    }
    snprintf((char *)data + kOfferPayloadBytes, SIM_PACKAGE_TRAILER_SIZE + 1, "%s%s\n", SIM_PACKAGE_TRAILER_TAG, digest);
    int rc = writeState(kOfferPackageFile, (const char *)data, total, 0644, message, size);
    free(data);
    return rc;
}

int updateControl(int argc, const char *const argv[], char *message, size_t size)
{
    bool none = argc == 2 && strcmp(argv[1], "none") == 0;
    bool offer = (argc == 3 || argc == 4) && strcmp(argv[1], "offer") == 0;
    if (!none && !offer)
        return say(message, size, CONTROL_REFUSED, "update needs: offer VERSION [NOTE] or none");
    if (none) {
        char path[600];
        int rc = statePath(path, sizeof(path), kOfferFile, message, size);
        if (rc == CONTROL_OK)
            rc = removeFile(path, message, size);
        if (rc == CONTROL_OK)
            rc = statePath(path, sizeof(path), kOfferPackageFile, message, size);
        if (rc == CONTROL_OK)
            rc = removeFile(path, message, size);
        return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "no firmware update on offer") : rc;
    }
    const char *version = argv[2];
    const char *note = argc == 4 ? argv[3] : "Simulated update";
    if (!validVersion(version))
        return say(message, size, CONTROL_REFUSED, "update: \"%s\" is not a version like 1.1.0", quote(version).text);
    if (strlen(note) > kMaxNote || !cleanUtf8(note, false))
        return say(message, size, CONTROL_REFUSED, "update: the note must be up to %zu bytes of UTF-8 without control characters",
                   kMaxNote);
    // The package first: an offer is never seen without its package.
    int rc = writeOfferPackage(version, message, size);
    if (rc != CONTROL_OK)
        return rc;
    char offerText[512];
    memset(offerText, 0, sizeof(offerText));
    int n = snprintf(offerText, sizeof(offerText), "version=%s\nurl=http://updates.invalid/fw-%s.zip\nnote=%s\n", version,
                     version, note);
    if (n < 0 || (size_t)n >= sizeof(offerText))
        return say(message, size, CONTROL_REFUSED, "update: the offer is too long");
    rc = writeState(kOfferFile, offerText, (size_t)n, 0644, message, size);
    return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "firmware %s on offer (newer only when above key 91)", version)
                            : rc;
}

int wifiControl(int argc, const char *const argv[], char *message, size_t size)
{
    bool reachable = argc == 2 && strcmp(argv[1], "reachable") == 0;
    if (!reachable && !(argc == 2 && strcmp(argv[1], "unreachable") == 0))
        return say(message, size, CONTROL_REFUSED, "wifi needs reachable or unreachable");
    int rc;
    if (reachable) {
        char path[600];
        rc = statePath(path, sizeof(path), kUnreachableFile, message, size);
        if (rc == CONTROL_OK)
            rc = removeFile(path, message, size);
    } else {
        rc = writeState(kUnreachableFile, "", 0, 0644, message, size);
    }
    return rc == CONTROL_OK
               ? say(message, size, CONTROL_OK, "%s", reachable ? "Wi-Fi manager reachable" : "Wi-Fi manager refuses every connection")
               : rc;
}

// Text of a configuration key, or fallback.
void readKey(int key, char *out, size_t size, const char *fallback)
{
    memset(out, 0, size);
    if (get_config_data(key, out, (int)size) != 0)
        snprintf(out, size, "%s", fallback);
}

// The card's state in the words of the sim control.
const char *simStateWord(SimCardPhase phase)
{
    switch (phase) {
    case SIM_READY:
        return "ready";
    case SIM_NEEDS_PIN:
        return "pin-required";
    case SIM_NEEDS_PUK:
        return "puk-required";
    case SIM_ABSENT:
        return "absent";
    case SIM_BLOCKED:
        return "blocked";
    }
    return "unknown";
}

// The controls change a simulated device that kal_server has created.
bool deviceExists(char *message, size_t size)
{
    if (kalRoot()[0] == '\0') {
        say(message, size, CONTROL_FAILED, "KAL_ROOT is not set: point it at the simulated device's root");
        return false;
    }
    char dir[600];
    if (simStatePath(dir, sizeof(dir), "config") != 0 || !simExists(dir)) {
        say(message, size, CONTROL_FAILED, "no simulated device under %s: start kal_server once to create it", kalRoot());
        return false;
    }
    return true;
}

// Runs one control, its words checked, while the caller holds the lock.
int runControl(int argc, const char *const argv[], char *message, size_t size)
{
    const char *what = argv[0];
    if (strcmp(what, "battery") == 0)
        return battery(argc, argv, message, size);
    if (strcmp(what, "signal") == 0 || strcmp(what, "registration") == 0 || strcmp(what, "roaming") == 0)
        return modemControl(argc, argv, message, size);
    if (strcmp(what, "sim") == 0)
        return simControl(argc, argv, message, size);
    if (strcmp(what, "sms") == 0)
        return smsControl(argc, argv, message, size);
    if (strcmp(what, "station") == 0)
        return stationControl(argc, argv, message, size);
    if (strcmp(what, "sdcard") == 0)
        return sdcardControl(argc, argv, message, size);
    if (strcmp(what, "update") == 0)
        return updateControl(argc, argv, message, size);
    if (strcmp(what, "wifi") == 0)
        return wifiControl(argc, argv, message, size);
    return say(message, size, CONTROL_REFUSED, "unknown control \"%s\"", quote(what).text);
}

// The controls' values as JSON text, read while the caller holds the lock.
char *showControls(char *message, size_t size)
{
    cJSON *out = cJSON_CreateObject();
    if (out == NULL)
        return NULL;
    char text[64];
    cJSON *batteryState = cJSON_AddObjectToObject(out, "battery");
    readKey(CFG_BATTERY_LEVEL, text, sizeof(text), "0");
    cJSON_AddNumberToObject(batteryState, "level", atoi(text));
    readKey(CFG_BATTERY_CHARGING, text, sizeof(text), "0");
    cJSON_AddBoolToObject(batteryState, "charging", strcmp(text, "1") == 0);

    // Through the stand-ins' own readers: members left out of a file take
    // their factory values.
    int signal = 0;
    bool registered = false, roaming = false;
    if (simModemRadio(&signal, &registered, &roaming) == 0) {
        cJSON_AddNumberToObject(out, "signal", signal);
        cJSON_AddBoolToObject(out, "registration", registered);
        cJSON_AddBoolToObject(out, "roaming", roaming);
    }

    SimCard card;
    if (simCardLoad(&card) == 0) {
        cJSON *simState = cJSON_AddObjectToObject(out, "sim");
        cJSON_AddStringToObject(simState, "state", simStateWord(card.phase));
        cJSON_AddStringToObject(simState, "pin", card.pin);
    }

    cJSON *sms = simSmsLoadStore();
    const cJSON *messages = cJSON_GetObjectItemCaseSensitive(sms, "messages");
    int total = 0, unread = 0;
    const cJSON *m = NULL;
    cJSON_ArrayForEach(m, messages)
    {
        total++;
        char box[16];
        simJsonText(m, "box", box, sizeof(box), "");
        if (strcmp(box, "inbox") == 0 && !simJsonBool(m, "read", false))
            unread++;
    }
    cJSON *smsState = cJSON_AddObjectToObject(out, "sms");
    cJSON_AddNumberToObject(smsState, "messages", total);
    cJSON_AddNumberToObject(smsState, "unread", unread);
    cJSON_Delete(sms);

    char ignored[8];
    cJSON *stations = loadState(kStationsFile, cJSON_Array, ignored, sizeof(ignored));
    if (stations != NULL)
        cJSON_AddItemToObject(out, "stations", stations);
    else {
        cJSON_AddArrayToObject(out, "stations");
    }

    char path[600];
    bool cardIn = kalPath(path, sizeof(path), kCardDevices[0]) == 0 && simExists(path);
    cJSON_AddStringToObject(out, "sdcard", cardIn ? "in" : "out");

    char offer[1024];
    memset(offer, 0, sizeof(offer));
    char version[32];
    memset(version, 0, sizeof(version));
    if (simStatePath(path, sizeof(path), kOfferFile) == 0 && simReadFile(path, offer, sizeof(offer)) >= 0)
        simKvValue(offer, "version", version, sizeof(version));
    if (version[0] != '\0')
        cJSON_AddStringToObject(out, "update", version);
    else
        cJSON_AddNullToObject(out, "update");

    bool unreachable = simStatePath(path, sizeof(path), kUnreachableFile) == 0 && simExists(path);
    cJSON_AddStringToObject(out, "wifi", unreachable ? "unreachable" : "reachable");

    char *printed = cJSON_Print(out);
    cJSON_Delete(out);
    if (printed == NULL)
        say(message, size, CONTROL_FAILED, "out of memory");
    return printed;
}

}  // namespace

int deviceControl(int argc, const char *const argv[], char *message, size_t size)
{
    if (argc < 1 || argv == NULL || argv[0] == NULL)
        return say(message, size, CONTROL_REFUSED, "no control given");
    for (int i = 0; i < argc; i++)
        if (argv[i] == NULL)
            return say(message, size, CONTROL_REFUSED, "missing word %d", i + 1);
    if (!deviceExists(message, size))
        return CONTROL_FAILED;
    if (simLockAcquire(message, size) != 0)
        return CONTROL_FAILED;
    int rc = runControl(argc, argv, message, size);
    simLockRelease();
    return rc;
}

char *deviceControlsShow(char *message, size_t size)
{
    if (!deviceExists(message, size))
        return NULL;
    // The values of one moment, not half of a change.
    if (simLockAcquire(message, size) != 0)
        return NULL;
    char *shown = showControls(message, size);
    simLockRelease();
    return shown;
}

const char *deviceControlsUsage(void)
{
    return kUsage;
}
