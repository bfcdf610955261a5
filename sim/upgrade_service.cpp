// Simulated upgrade service. The "update server" is <root>/sim/upgrade/offer
// ("field=value" lines: version, url, note, download_ms, check_ms) with the
// package it serves in <root>/sim/upgrade/offer.zip; no offer means no newer
// firmware. The service state lives in <root>/sim/upgrade/state. A check
// takes check_ms (default 300) and a download download_ms (default 2000);
// each poll writes the part of "/update.zip" that has arrived by then.
// Upgrade starts are recorded in <root>/sim/upgrade/requests, never performed.
#include "platform/upgrade_service.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/config_store.h"
#include "platform/device_paths.h"
#include "platform/replace_file.h"
#include "sim/sim_device.h"
#include "sim/sim_files.h"
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

// Calls field(name, value) for each "name=value" line of the state file.
template <typename F>
bool readFields(const char *name, F field)
{
    char path[512];
    static char text[4096];
    memset(text, 0, sizeof(text));
    if (simStatePath(path, sizeof(path), name) != 0 || simReadFile(path, text, sizeof(text)) < 0)
        return false;
    char *save = NULL;
    for (char *line = strtok_r(text, "\n", &save); line != NULL; line = strtok_r(NULL, "\n", &save)) {
        char *eq = strchr(line, '=');
        if (eq != NULL) {
            *eq = '\0';
            field(line, eq + 1);
        }
    }
    return true;
}

UpgradeState loadState()
{
    UpgradeState s;
    memset(&s, 0, sizeof(s));
    s.check = CHECK_IDLE;
    readFields("upgrade/state", [&s](const char *k, const char *v) {
        if (strcmp(k, "check") == 0) s.check = atoi(v);
        else if (strcmp(k, "check_started") == 0) s.checkStarted = atoll(v);
        else if (strcmp(k, "found") == 0) s.found = atoi(v);
        else if (strcmp(k, "latest") == 0) copyField(s.latest, sizeof(s.latest), v);
        else if (strcmp(k, "url") == 0) copyField(s.url, sizeof(s.url), v);
        else if (strcmp(k, "note") == 0) copyField(s.note, sizeof(s.note), v);
        else if (strcmp(k, "size") == 0) s.size = atoi(v);
        else if (strcmp(k, "download") == 0) s.download = atoi(v);
        else if (strcmp(k, "download_started") == 0) s.downloadStarted = atoll(v);
        else if (strcmp(k, "download_ms") == 0) s.downloadMs = atoll(v);
        else if (strcmp(k, "upload") == 0) s.upload = atoi(v);
    });
    return s;
}

void saveState(const UpgradeState &s)
{
    char path[512];
    static char text[4096];
    memset(text, 0, sizeof(text));
    if (simStatePath(path, sizeof(path), "upgrade/state") != 0)
        return;
    int n = snprintf(text, sizeof(text),
                     "check=%d\ncheck_started=%lld\nfound=%d\nlatest=%s\nurl=%s\nnote=%s\nsize=%d\n"
                     "download=%d\ndownload_started=%lld\ndownload_ms=%lld\nupload=%d\n",
                     s.check, s.checkStarted, s.found, s.latest, s.url, s.note, s.size, s.download,
                     s.downloadStarted, s.downloadMs, s.upload);
    if (n > 0 && (size_t)n < sizeof(text))
        replaceFile(path, text, (size_t)n, 0644);
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
    char version[128], url[256], note[1024];
    memset(version, 0, sizeof(version));
    memset(url, 0, sizeof(url));
    memset(note, 0, sizeof(note));
    long long downloadMs = kDefaultDownloadMs;
    bool offered = readFields(SIM_UPDATE_OFFER_FILE, [&](const char *k, const char *v) {
        if (strcmp(k, "version") == 0) copyField(version, sizeof(version), v);
        else if (strcmp(k, "url") == 0) copyField(url, sizeof(url), v);
        else if (strcmp(k, "note") == 0) copyField(note, sizeof(note), v);
        else if (strcmp(k, "download_ms") == 0) downloadMs = atoll(v);
    });
    char running[64];
    memset(running, 0, sizeof(running));
    getFirmwareVer(running, sizeof(running));
    char package[512];
    long size = statePath(package, sizeof(package), SIM_UPDATE_PACKAGE_FILE) ? fileSize(package) : -1;
    s.found = 0;
    if (!offered) {
        s.check = CHECK_NONE;
    } else if (version[0] == '\0' || size < 0 || size > kMaxPackage) {
        s.check = CHECK_FAILED;  // the server's answer is unusable
    } else if (compareVersions(version, running) <= 0) {
        s.check = CHECK_NONE;
    } else {
        s.check = CHECK_FOUND;
        s.found = 1;
        copyField(s.latest, sizeof(s.latest), version);
        copyField(s.url, sizeof(s.url), url);
        copyField(s.note, sizeof(s.note), note);
        s.size = (int)size;
        s.downloadMs = downloadMs > 0 ? downloadMs : 1;
    }
}

long long checkDuration()
{
    long long checkMs = kDefaultCheckMs;
    readFields(SIM_UPDATE_OFFER_FILE, [&](const char *k, const char *v) {
        if (strcmp(k, "check_ms") == 0) checkMs = atoll(v);
    });
    return checkMs;
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

}  // namespace

extern "C" void getFilePath(char *path, const char *name, int size)
{
    if (path == NULL || size <= 0)
        return;
    if (kalPath(path, (size_t)size, name) != 0)
        path[0] = '\0';
}

extern "C" void getFirmwareVer(char *text, int size)
{
    if (text != NULL && size > 0 && get_config_data(CFG_FIRMWARE_VERSION, text, size) != 0)
        copyField(text, (size_t)size, "");
}

extern "C" void getBuildInfo(char *text, int size)
{
    if (text != NULL && size > 0 && get_config_data(CFG_FIRMWARE_BUILD, text, size) != 0)
        copyField(text, (size_t)size, "");
}

extern "C" int hasNewVersion(void)
{
    return loadState().found == 1 ? 1 : 0;
}

extern "C" void getLatestVersion(char *text, int size)
{
    if (text != NULL && size > 0)
        copyField(text, (size_t)size, loadState().latest);
}

extern "C" void getReleaseNote(char **note)
{
    UpgradeState s = loadState();
    if (note != NULL && s.found == 1 && s.note[0] != '\0')
        *note = strdup(s.note);
}

extern "C" void getFileSize(int *size)
{
    if (size != NULL)
        *size = loadState().size;
}

extern "C" void getDownloadUrl(char *text, int size)
{
    if (text != NULL && size > 0)
        copyField(text, (size_t)size, loadState().url);
}

extern "C" int getCheckResultState(void)
{
    // A running check ends when the service is next polled for it.
    return loadState().check;
}

extern "C" int httpReqForCheckUpdate(void)
{
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
}

extern "C" void initCheckThreadState(void)
{
    UpgradeState s = loadState();
    s.check = CHECK_IDLE;
    saveState(s);
}

extern "C" int startDownload(void)
{
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
}

extern "C" void cancelDownThread(void)
{
    UpgradeState s = loadState();
    if (s.download != DOWNLOAD_RUNNING)
        return;
    char target[512];
    if (kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) == 0)
        unlink(target);
    s.download = DOWNLOAD_NONE;
    saveState(s);
}

extern "C" int getPercentage(int *percentage)
{
    UpgradeState s = loadState();
    int pct = advanceDownload(s);
    if (percentage == NULL || s.download == DOWNLOAD_NONE)
        return 0;
    *percentage = pct;
    return 1;
}

extern "C" int getDownSize(int *size)
{
    UpgradeState s = loadState();
    advanceDownload(s);
    char target[512];
    long have = kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) == 0 ? fileSize(target) : -1;
    if (size != NULL)
        *size = s.download != DOWNLOAD_NONE && have > 0 ? (int)have : 0;
    return 0;
}

extern "C" int getUploadState(int *state)
{
    if (state != NULL)
        *state = loadState().upload;
    return 0;
}

extern "C" void startUpdateForWeb(void)
{
    UpgradeState s = loadState();
    char target[512];
    char line[640];
    memset(line, 0, sizeof(line));
    int verified = kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) == 0 ? verify_update_file(target) : 1;
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
}

extern "C" void clearCache(void)
{
    char target[512];
    if (kalPath(target, sizeof(target), UPDATE_PACKAGE_PATH) == 0)
        unlink(target);
    UpgradeState s;
    memset(&s, 0, sizeof(s));
    s.check = CHECK_IDLE;
    saveState(s);
}

int simUpgradeSeed(void)
{
    char dir[512];
    if (simStatePath(dir, sizeof(dir), "upgrade") != 0 || simMakeDirs(dir, 0755) != 0)
        return -1;
    return 0;
}
