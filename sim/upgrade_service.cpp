// Simulated upgrade service. The "update server" is <root>/sim/upgrade/offer
// ("field=value" lines: version, url, note, download_ms, check_ms) with the
// package it serves in <root>/sim/upgrade/offer.zip; no offer means no newer
// firmware. The service state lives in <root>/sim/upgrade/state. A check
// takes check_ms (default 300) and a download download_ms (default 2000);
// each poll writes the part of "/update.zip" that has arrived by then.
// Upgrade starts are recorded in <root>/sim/upgrade/requests, never performed.
#include "platform/upgrade_service.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "platform/config_store.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_files.h"
#include "sim/sim_getter.h"
#include "sim/sim_kv.h"
#include "sim/sim_lock.h"
#include "sim/sim_state_files.h"

namespace {

enum {
    CHECK_FOUND = 0,
    CHECK_IDLE = 1,
    CHECK_FAILED = 2,
    CHECK_RUNNING = 3,
    CHECK_NONE = 5,
};

enum {
    DOWNLOAD_NONE = 0,
    DOWNLOAD_RUNNING = 1,
    DOWNLOAD_DONE = 2,
};

enum {
    UPLOAD_IDLE = 0,
    UPLOAD_STARTED = 1,
    UPLOAD_REFUSED = 2,
};

const long long kDefaultCheckMs = 300;
const long long kDefaultDownloadMs = 2000;
const long kMaxPackage = 64L * 1024 * 1024;

struct UpgradeState {
    int check;
    long long checkStarted;
    int found;
    char latest[128];
    char url[256];
    char note[1024];
    int size;
    int download;
    long long downloadStarted;
    long long downloadMs;
    int upload;
};

long long nowMs()
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (long long)tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

void copyField(char *out, size_t size, const char *value)
{
    memset(out, 0, size);
    snprintf(out, size, "%s", value);
}

const char kStateFile[] = "upgrade/state";

const SimField kStateFields[] = {
    {"check", SIM_FIELD_INT, offsetof(UpgradeState, check), 0},
    {"check_started", SIM_FIELD_LLONG, offsetof(UpgradeState, checkStarted), 0},
    {"found", SIM_FIELD_INT, offsetof(UpgradeState, found), 0},
    {"latest", SIM_FIELD_TEXT, offsetof(UpgradeState, latest), sizeof(UpgradeState::latest)},
    {"url", SIM_FIELD_TEXT, offsetof(UpgradeState, url), sizeof(UpgradeState::url)},
    {"note", SIM_FIELD_TEXT, offsetof(UpgradeState, note), sizeof(UpgradeState::note)},
    {"size", SIM_FIELD_INT, offsetof(UpgradeState, size), 0},
    {"download", SIM_FIELD_INT, offsetof(UpgradeState, download), 0},
    {"download_started", SIM_FIELD_LLONG, offsetof(UpgradeState, downloadStarted), 0},
    {"download_ms", SIM_FIELD_LLONG, offsetof(UpgradeState, downloadMs), 0},
    {"upload", SIM_FIELD_INT, offsetof(UpgradeState, upload), 0},
};

// What the update server offers.
struct Offer {
    char version[128];
    char url[256];
    char note[1024];
    long long downloadMs;
    long long checkMs;
};

const SimField kOfferFields[] = {
    {"version", SIM_FIELD_TEXT, offsetof(Offer, version), sizeof(Offer::version)},
    {"url", SIM_FIELD_TEXT, offsetof(Offer, url), sizeof(Offer::url)},
    {"note", SIM_FIELD_TEXT, offsetof(Offer, note), sizeof(Offer::note)},
    {"download_ms", SIM_FIELD_LLONG, offsetof(Offer, downloadMs), 0},
    {"check_ms", SIM_FIELD_LLONG, offsetof(Offer, checkMs), 0},
};

// The offer; false when there is none.
bool readOffer(Offer *offer)
{
    memset(offer, 0, sizeof(*offer));
    offer->downloadMs = kDefaultDownloadMs;
    offer->checkMs = kDefaultCheckMs;
    return simKvLoad(SIM_UPDATE_OFFER_FILE, SIM_FIELDS(kOfferFields), 0, offer) == 0;
}

UpgradeState loadState()
{
    UpgradeState s;
    memset(&s, 0, sizeof(s));
    s.check = CHECK_IDLE;
    simKvLoad(kStateFile, SIM_FIELDS(kStateFields), 0, &s);
    return s;
}

void saveState(const UpgradeState &s)
{
    simKvSave(kStateFile, SIM_FIELDS(kStateFields), &s, 0644, false);
}

bool statePath(char *out, size_t size, const char *name)
{
    return simStatePath(out, size, name) == 0;
}

long fileSize(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 ? (long)st.st_size : -1;
}

// Dotted version numbers compared field by field: >0 when a is newer.
int compareVersions(const char *a, const char *b)
{
    while (*a != '\0' || *b != '\0') {
        char *endA = NULL, *endB = NULL;
        long x = strtol(a, &endA, 10), y = strtol(b, &endB, 10);
        if (x != y)
            return x > y ? 1 : -1;
        a = *endA == '.' ? endA + 1 : endA + strlen(endA);
        b = *endB == '.' ? endB + 1 : endB + strlen(endB);
        if (endA == a && endB == b)
            break;
    }
    return 0;
}

void finishCheck(UpgradeState &s, long long checkMs)
{
    if (s.check != CHECK_RUNNING || nowMs() - s.checkStarted < checkMs)
        return;
    Offer offer;
    bool offered = readOffer(&offer);
    char running[64];
    memset(running, 0, sizeof(running));
    getFirmwareVer(running, sizeof(running));
    char package[512];
    long size = statePath(package, sizeof(package), SIM_UPDATE_PACKAGE_FILE) ? fileSize(package) : -1;
    s.found = 0;
    if (!offered) {
        s.check = CHECK_NONE;
    } else if (offer.version[0] == '\0' || size < 0 || size > kMaxPackage) {
        s.check = CHECK_FAILED;  // the server's answer is unusable
    } else if (compareVersions(offer.version, running) <= 0) {
        s.check = CHECK_NONE;
    } else {
        s.check = CHECK_FOUND;
        s.found = 1;
        copyField(s.latest, sizeof(s.latest), offer.version);
        copyField(s.url, sizeof(s.url), offer.url);
        copyField(s.note, sizeof(s.note), offer.note);
        s.size = (int)size;
        s.downloadMs = offer.downloadMs > 0 ? offer.downloadMs : 1;
    }
}

long long checkDuration()
{
    Offer offer;
    readOffer(&offer);
    return offer.checkMs;
}

int percentageOf(const UpgradeState &s)
{
    if (s.download == DOWNLOAD_DONE)
        return 100;
    if (s.download != DOWNLOAD_RUNNING)
        return 0;
    long long elapsed = nowMs() - s.downloadStarted;
    long long ms = s.downloadMs > 0 ? s.downloadMs : 1;
    return elapsed >= ms ? 100 : (int)(elapsed * 100 / ms);
}

// Writes what has arrived by now into the package file. Returns the
// percentage written: asking the clock again could report 100 for a
// package not yet whole.
int advanceDownload(UpgradeState &s)
{
    if (s.download != DOWNLOAD_RUNNING)
        return percentageOf(s);
    int pct = percentageOf(s);
    char source[512], target[512];
    if (!statePath(source, sizeof(source), SIM_UPDATE_PACKAGE_FILE) ||
        kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) != 0)
        return 0;
    long want = pct >= 100 ? s.size : (long)((long long)s.size * pct / 100);
    if (fileSize(target) != want) {
        char *data = (char *)calloc((size_t)want + 1, 1);
        long got = data != NULL ? simReadFile(source, data, (size_t)want + 1) : -1;
        if (got < want) {
            s.download = DOWNLOAD_NONE;  // the server lost the package
            free(data);
            saveState(s);
            return 0;
        }
        replaceFile(target, data, (size_t)want, 0644);
        free(data);
    }
    if (pct >= 100) {
        s.download = DOWNLOAD_DONE;
        saveState(s);
    }
    return pct;
}

// A poll of the download: it moves the download on, a change made under
// the device's lock, only while one runs; otherwise it only reads.
template <typename Read>
int advancing(Read read)
{
    UpgradeState s = loadState();
    if (s.download != DOWNLOAD_RUNNING)
        return read(s);
    return simLocked(0, [&] {
        UpgradeState fresh = loadState();
        return read(fresh);
    });
}

}  // namespace

extern "C" void getFilePath(char *path, const char *name, int size)
{
    if (path == NULL || size <= 0)
        return;
    if (kalPath(path, (size_t)size, name) != 0)
        path[0] = '\0';
}

namespace {

// A text the service hands out into text[size]: empty while the service
// fails, else what fill writes.
template <typename Fill>
void serviceText(char *text, int size, Fill fill)
{
    bool fails = simServiceFails(SIM_SERVICE_UPGRADE);
    if (text == NULL || size <= 0)
        return;
    if (fails)
        copyField(text, (size_t)size, "");
    else
        fill(text, (size_t)size);
}

}  // namespace

extern "C" void getFirmwareVer(char *text, int size)
{
    serviceText(text, size, [](char *out, size_t n) {
        if (get_config_data(CFG_FIRMWARE_VERSION, out, (int)n) != 0)
            copyField(out, n, "");
    });
}

extern "C" void getBuildInfo(char *text, int size)
{
    serviceText(text, size, [](char *out, size_t n) {
        if (get_config_data(CFG_FIRMWARE_BUILD, out, (int)n) != 0)
            copyField(out, n, "");
    });
}

extern "C" int hasNewVersion(void)
{
    return simServe(SIM_SERVICE_UPGRADE, 0, [&] {
        return loadState().found == 1 ? 1 : 0;
    });
}

extern "C" void getLatestVersion(char *text, int size)
{
    serviceText(text, size, [](char *out, size_t n) { copyField(out, n, loadState().latest); });
}

extern "C" void getReleaseNote(char **note)
{
    simServeVoid(SIM_SERVICE_UPGRADE, [&] {
        UpgradeState s = loadState();
        if (note != NULL && s.found == 1 && s.note[0] != '\0')
            *note = strdup(s.note);
    });
}

extern "C" void getFileSize(int *size)
{
    if (simServiceFails(SIM_SERVICE_UPGRADE)) {
        if (size != NULL)
            *size = 0;
        return;
    }
    if (size != NULL)
        *size = loadState().size;
}

extern "C" void getDownloadUrl(char *text, int size)
{
    serviceText(text, size, [](char *out, size_t n) { copyField(out, n, loadState().url); });
}

extern "C" int getCheckResultState(void)
{
    return simServe<int>(SIM_SERVICE_UPGRADE, CHECK_FAILED, [&] {
        // A running check ends when the service is next polled for it.
        return loadState().check;
    });
}

extern "C" int httpReqForCheckUpdate(void)
{
    return simServe(SIM_SERVICE_UPGRADE, 2, [&] {
        return simLocked(1, [&] {
            UpgradeState s = loadState();
            if (s.download == DOWNLOAD_RUNNING && percentageOf(s) < 100)
                return 1;
            if (s.check == CHECK_IDLE) {
                s.check = CHECK_RUNNING;
                s.checkStarted = nowMs();
                saveState(s);
                return 0;
            }
            finishCheck(s, checkDuration());
            saveState(s);
            return s.check == CHECK_RUNNING ? 0 : 2;
        });
    });
}

extern "C" void initCheckThreadState(void)
{
    simServeVoid(SIM_SERVICE_UPGRADE, [&] {
        simLocked(0, [&] {
            UpgradeState s = loadState();
            s.check = CHECK_IDLE;
            saveState(s);
            return 0;
        });
    });
}

extern "C" int startDownload(void)
{
    return simServe(SIM_SERVICE_UPGRADE, 1, [&] {
        return simLocked(1, [&] {
            UpgradeState s = loadState();
            if (s.found != 1)
                return 1;  // nothing to download
            if (s.download == DOWNLOAD_RUNNING)
                return 0;
            char target[512];
            if (kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) != 0 || replaceFile(target, "", 0, 0644) != 0)
                return 1;
            s.download = DOWNLOAD_RUNNING;
            s.downloadStarted = nowMs();
            saveState(s);
            return 0;
        });
    });
}

extern "C" void cancelDownThread(void)
{
    simServeVoid(SIM_SERVICE_UPGRADE, [&] {
        simLocked(0, [&] {
            UpgradeState s = loadState();
            if (s.download != DOWNLOAD_RUNNING)
                return 0;
            char target[512];
            if (kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) == 0)
                unlink(target);
            s.download = DOWNLOAD_NONE;
            saveState(s);
            return 0;
        });
    });
}

extern "C" int getPercentage(int *percentage)
{
    return simServe(SIM_SERVICE_UPGRADE, 0, [&] {
        return advancing([&](UpgradeState &s) {
            int pct = advanceDownload(s);
            if (percentage == NULL || s.download == DOWNLOAD_NONE)
                return 0;
            *percentage = pct;
            return 1;
        });
    });
}

extern "C" int getDownSize(int *size)
{
    if (simServiceFails(SIM_SERVICE_UPGRADE)) {
        if (size != NULL)
            *size = 0;
        return -1;
    }
    if (size != NULL)
        *size = 0;
    return advancing([&](UpgradeState &s) {
        advanceDownload(s);
        char target[512];
        long have = kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) == 0 ? fileSize(target) : -1;
        if (size != NULL)
            *size = s.download != DOWNLOAD_NONE && have > 0 ? (int)have : 0;
        return 0;
    });
}

extern "C" int getUploadState(int *state)
{
    return simServe(SIM_SERVICE_UPGRADE, -1, [&] {
        if (state != NULL)
            *state = loadState().upload;
        return 0;
    });
}

extern "C" void startUpdateForWeb(void)
{
    simServeVoid(SIM_SERVICE_UPGRADE, [&] {
        // Verified before the lock is taken: reading the whole package is the
        // slow part, and the package is no state file.
        char target[512];
        int verified = kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) == 0 ? verify_update_file(target) : 1;
        simLocked(0, [&] {
            UpgradeState s = loadState();
            char line[640];
            memset(line, 0, sizeof(line));
            if (verified == 0) {
                s.upload = UPLOAD_STARTED;
                snprintf(line, sizeof(line), "upgrade started with %s (%s)", UPDATE_PACKAGE_PATH,
                         s.latest[0] != '\0' ? s.latest : "unknown version");
            } else {
                s.upload = UPLOAD_REFUSED;
                snprintf(line, sizeof(line), "upgrade refused: %s failed verification (%d)", UPDATE_PACKAGE_PATH, verified);
            }
            simJournalAppend("upgrade/requests", line);
            saveState(s);
            return 0;
        });
    });
}

extern "C" void clearCache(void)
{
    simServeVoid(SIM_SERVICE_UPGRADE, [&] {
        char target[512];
        if (kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) == 0)
            unlink(target);
        UpgradeState s;
        memset(&s, 0, sizeof(s));
        s.check = CHECK_IDLE;
        saveState(s);
    });
}

int simUpgradeSeed(void)
{
    char dir[512];
    if (simStatePath(dir, sizeof(dir), "upgrade") != 0 || simMakeDirs(dir, 0755) != 0)
        return -1;
    return 0;
}
