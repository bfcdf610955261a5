// "update": firmware check, download, verification and upgrade, passed
// through to the upgrade service and the signature verifier.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "platform/android_log.h"
#include "platform/flowstat.h"
#include "platform/upgrade_service.h"
#include "server/handler.h"

namespace {

// httpReqForCheckUpdate answers.
enum { CHECK_RUNNING = 0, CHECK_BUSY = 1, CHECK_ENDED = 2 };

// getCheckResultState values this module acts on.
enum { CHECK_STATE_FOUND = 0, CHECK_STATE_IDLE = 1, CHECK_STATE_RESET = 2, CHECK_STATE_RUNNING = 3, CHECK_STATE_NONE = 5 };

const char kTag[] = "UPDATE";
const int kTextSize = 256;
const int kBusyResult = 4;

// Newer firmware data; 1 when the service has no release note.
int addNewerFirmware(cJSON *response)
{
    char latest[kTextSize];
    char url[kTextSize];
    memset(latest, 0, sizeof(latest));
    memset(url, 0, sizeof(url));
    char *note = NULL;
    int size = 0;
    getLatestVersion(latest, sizeof(latest));
    getReleaseNote(&note);
    getFileSize(&size);
    getDownloadUrl(url, sizeof(url));
    if (note == NULL)
        return 1;
    cJSON_AddItemToObject(response, "hasNewVersion", cJSON_CreateNumber(1));
    cJSON_AddItemToObject(response, "latestVersion", cJSON_CreateString(latest));
    cJSON_AddItemToObject(response, "firmwareSize", cJSON_CreateNumber(size));
    cJSON_AddItemToObject(response, "downloadUrl", cJSON_CreateString(url));
    cJSON_AddItemToObject(response, "releaseNote", cJSON_CreateString(note));
    free(note);
    return 0;
}

int firmwareInfo(const Request &, cJSON *response)
{
    char version[kTextSize];
    char build[kTextSize];
    char firmware[kTextSize];
    memset(version, 0, sizeof(version));
    memset(build, 0, sizeof(build));
    memset(firmware, 0, sizeof(firmware));
    getFirmwareVer(version, sizeof(version));
    getBuildInfo(build, sizeof(build));
    version[sizeof(version) - 1] = '\0';
    build[sizeof(build) - 1] = '\0';
    size_t versionLength = strlen(version), buildLength = strlen(build);
    if (versionLength + buildLength <= 254) {
        memcpy(firmware, version, versionLength);
        firmware[versionLength] = ' ';
        memcpy(firmware + versionLength + 1, build, buildLength);
    }
    cJSON_AddItemToObject(response, "firmwareVersion", cJSON_CreateString(firmware));
    int result = 0;
    if (hasNewVersion() == 1)
        result = addNewerFirmware(response);
    else
        cJSON_AddItemToObject(response, "hasNewVersion", cJSON_CreateNumber(0));
    if (getCheckResultState() == CHECK_STATE_RESET)
        initCheckThreadState();
    return result;
}

int checkForUpdate(const Request &, cJSON *response)
{
    int result = 0;
    switch (httpReqForCheckUpdate()) {
    case CHECK_BUSY:
        result = kBusyResult;
        break;
    case CHECK_RUNNING:
        result = getCheckResultState();
        break;
    case CHECK_ENDED: {
        int state = getCheckResultState();
        __android_log_buf_print(LOG_ID_SYSTEM, ANDROID_LOG_INFO, kTag, "getCheckResultState:%d!\n", state);
        if (state == CHECK_STATE_FOUND) {
            result = hasNewVersion() == 1 ? addNewerFirmware(response) : 1;
        } else if (state == CHECK_STATE_NONE) {
            cJSON_AddItemToObject(response, "hasNewVersion", cJSON_CreateNumber(0));
            result = 0;
        } else {
            result = state;
        }
        initCheckThreadState();
        break;
    }
    default:
        result = 0;
        break;
    }
    return result;
}

int downloadProgress(cJSON *response, const char *packagePath)
{
    int result = 0;
    int percentage = 0;
    if (getPercentage(&percentage) == 0) {
        __android_log_buf_print(LOG_ID_SYSTEM, ANDROID_LOG_INFO, kTag, "getPercentage failed!\n");
        percentage = 0;
        result = 1;
    } else if (percentage == 100) {
        result = verify_update_file(packagePath);
    }
    unsigned long speed = 0;
    double rxSpeed = getRxSpeed(&speed) == 0 ? (double)(uint32_t)speed : -1;
    cJSON_AddItemToObject(response, "RXSpeed", cJSON_CreateNumber(rxSpeed));
    int downloaded = 0;
    getDownSize(&downloaded);
    cJSON_AddItemToObject(response, "downloadedSize", cJSON_CreateNumber(downloaded));
    cJSON_AddItemToObject(response, "percentage", cJSON_CreateNumber(percentage));
    return result;
}

int download(const Request &, cJSON *)
{
    return startDownload();
}

int progress(const Request &, cJSON *response)
{
    char packagePath[kTextSize];
    memset(packagePath, 0, sizeof(packagePath));
    getFilePath(packagePath, UPDATE_PACKAGE_PATH, sizeof(packagePath));
    return downloadProgress(response, packagePath);
}

int uploadState(const Request &, cJSON *)
{
    int state = 0;
    getUploadState(&state);
    return state;
}

const ModuleAction kUpdateActions[] = {
    action(0, firmwareInfo, KAL_TEXT("firmware information, and the newer firmware when a check found one"), KAL_TEXT("firmwareVersion:text hasNewVersion:integer latestVersion:text firmwareSize:integer downloadUrl:text releaseNote:text"))
        .result(0, KAL_TEXT("ok: the firmware and the newer one (\"hasNewVersion\" 1)"))
        .resultWith(0, KAL_TEXT("ok: the firmware, no newer one known (\"hasNewVersion\" 0)"), KAL_TEXT("firmwareVersion:text hasNewVersion:integer"))
        .resultWith(1, KAL_TEXT("noReleaseNote: a newer firmware without a release note"), KAL_TEXT("firmwareVersion:text")),
    action(1, checkForUpdate, KAL_TEXT("start or poll the check for a newer firmware"), KAL_TEXT("hasNewVersion:integer latestVersion:text firmwareSize:integer downloadUrl:text releaseNote:text"))
        .result(0, KAL_TEXT("ok: the check ended with a newer firmware (\"hasNewVersion\" 1)"))
        .resultWith(0, KAL_TEXT("ok: the check ended with none (\"hasNewVersion\" 0)"), KAL_TEXT("hasNewVersion:integer"))
        .resultWith(0, KAL_TEXT("ok: polled while the service's state is 0 (results ready), or started"), KAL_TEXT(""))
        .result(CHECK_STATE_IDLE, KAL_TEXT("idle: no usable answer, or the check is idle"))
        .result(CHECK_STATE_RESET, KAL_TEXT("checkFailed: the check failed"))
        .result(CHECK_STATE_RUNNING, KAL_TEXT("running: the check is running"))
        .result(kBusyResult, KAL_TEXT("busy: a download is running"))
        .result(CHECK_STATE_NONE, KAL_TEXT("upToDate: polled while the service's state is 5 (no newer firmware)")),
    action(2, download, KAL_TEXT("start the download"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: started"))
        .result(1, KAL_TEXT("nothing: nothing to download (the service's code)")),
    action(3, notifyAction<cancelDownThread>, KAL_TEXT("cancel the download"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: handed to the service")),
    action(4, progress, KAL_TEXT("download progress; at 100 percent the package is verified"), KAL_TEXT("RXSpeed:integer downloadedSize:integer percentage:integer"))
        .result(0, KAL_TEXT("ok: downloading, or at 100 percent the package is intact"))
        .result(1, KAL_TEXT("failed: no download, or at 100 percent the package is missing"), REPLY_WHOLE)
        .result(2, KAL_TEXT("truncated: at 100 percent the package is truncated or not a package"), REPLY_WHOLE)
        .result(3, KAL_TEXT("altered: at 100 percent the package was altered"), REPLY_WHOLE),
    action(5, uploadState, KAL_TEXT("upload state"), KAL_TEXT(""))
        .result(0, KAL_TEXT("none: no upgrade"))
        .result(1, KAL_TEXT("started: the upgrade started"))
        .result(2, KAL_TEXT("refused: the package failed verification")),
    action(6, notifyAction<startUpdateForWeb>, KAL_TEXT("start the upgrade"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: handed to the service")),
    action(7, notifyAction<clearCache>, KAL_TEXT("clear the cache"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: handed to the service")),
};

}  // namespace

KAL_MODULE(update) = {"update", actionsOf(kUpdateActions), NULL};
