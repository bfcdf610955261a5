// "time": the device's local date and time with its time-zone name, and
// recording a new (or a temporary) zone.
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "common/text.h"
#include "platform/localtime_query.h"
#include "server/handler.h"

namespace {

const char kDefaultZone[] = "Europe/London";
const int kZoneSize = 64;

// Copies the first line of the zone file into zone (a kZoneSize buffer).
// The whole buffer is used: real zone names reach 32 bytes. 0 or -1.
int readZone(char *zone)
{
    char path[512];
    if (kalPath(path, sizeof(path), TIMEZONE_FILE_PATH) != 0)
        return -1;
    FILE *file = fopen(path, "re");
    if (file == NULL)
        return -1;
    // Read beyond the zone's size, so that the cut below is the one that
    // keeps whole UTF-8 characters.
    char line[kZoneSize * 2];
    memset(line, 0, sizeof(line));
    // An empty file is an empty zone; one that cannot be read is no zone.
    bool failed = fgets(line, sizeof(line), file) == NULL && ferror(file);
    fclose(file);
    if (failed)
        return -1;
    copyText(zone, line, kZoneSize);
    return 0;
}

// Replaces the file's content with text, without NUL or newline. 0, or -1
// when it could not be written completely.
int writeZoneFile(const char *devicePath, const char *text)
{
    char path[512];
    if (kalPath(path, sizeof(path), devicePath) != 0)
        return -1;
    return replaceFile(path, text, strlen(text), 0644);
}

time_t currentTime()
{
    struct timeval tv;
    memset(&tv, 0, sizeof(tv));
    gettimeofday(&tv, NULL);
    return (time_t)tv.tv_sec;
}

void addTime(cJSON *response, const struct tm *tm)
{
    struct tm zero;
    memset(&zero, 0, sizeof(zero));
    if (tm == NULL)
        tm = &zero;
    cJSON_AddItemToObject(response, "year", cJSON_CreateNumber(tm->tm_year + 1900));
    cJSON_AddItemToObject(response, "month", cJSON_CreateNumber(tm->tm_mon + 1));
    cJSON_AddItemToObject(response, "date", cJSON_CreateNumber(tm->tm_mday));
    cJSON_AddItemToObject(response, "hour", cJSON_CreateNumber(tm->tm_hour));
    cJSON_AddItemToObject(response, "minute", cJSON_CreateNumber(tm->tm_min));
    cJSON_AddItemToObject(response, "second", cJSON_CreateNumber(tm->tm_sec));
}

int getTime(const Request &, cJSON *response)
{
    char zone[kZoneSize];
    memset(zone, 0, sizeof(zone));
    copyText(zone, kDefaultZone, sizeof(zone));
    readZone(zone);
    cJSON_AddItemToObject(response, "id", cJSON_CreateString(zone));
    time_t now = currentTime();
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    addTime(response, localtime_r(&now, &tm));
    return 0;
}

// Actions 1 and 2. A failed write is reported as "result" 1, with the
// same members as a successful one.
int setZone(const Request &request, cJSON *response, bool temporary)
{
    // A name that is not UTF-8 is neither stored nor echoed: a failure.
    int result = request.get("id").leftOut ? 1 : 0;
    const char *zone = request.text("id");
    if (request.has("id")) {
        if (writeZoneFile(temporary ? TEMP_TIMEZONE_FILE_PATH : TIMEZONE_FILE_PATH, zone) != 0)
            result = 1;
        cJSON_AddItemToObject(response, "id", cJSON_CreateString(zone));
    }
    time_t now = currentTime();
    if (temporary) {
        addTime(response, localtime_query(&now));
    } else {
        struct tm tm;
        memset(&tm, 0, sizeof(tm));
        addTime(response, localtime_r(&now, &tm));
    }
    return result;
}

int setLastingZone(const Request &request, cJSON *response)
{
    return setZone(request, response, false);
}

int setTemporaryZone(const Request &request, cJSON *response)
{
    return setZone(request, response, true);
}

// Without a string "id" nothing is written and none is echoed.
const Member kZone[] = {
    textOrAbsent("id", 0, 0, TEXT_ANY, KAL_TEXT("the time-zone name; not UTF-8: result 1"))
        .outOfRange(POLICY_LEAVE_OUT)
        .cutTo(kZoneSize - 1),
};

// Every action's reply: the zone and the local time in it.
constexpr const char *kTimeReply = KAL_TEXT("id:text year:integer month:integer date:integer hour:integer minute:integer second:integer");
// A set without a string "id" (or with one that is not UTF-8) echoes none.
constexpr const char *kSetReply = KAL_TEXT("id?:text year:integer month:integer date:integer hour:integer minute:integer second:integer");

const ModuleAction kTimeActions[] = {
    action(0, getTime, KAL_TEXT("the local date and time with the time-zone name"), kTimeReply)
        .result(0, KAL_TEXT("ok: the zone (the default one when no zone file can be read) and the time")),
    action(1, setLastingZone, KAL_TEXT("set the time zone"), kSetReply, kZone)
        .result(0, KAL_TEXT("ok: written (or no string \"id\": nothing written, none echoed); the time"))
        .result(1, KAL_TEXT("failed: the file could not be written, or \"id\" is not UTF-8; the time"), REPLY_WHOLE),
    action(2, setTemporaryZone, KAL_TEXT("set the temporary time zone; the time in it"), kSetReply, kZone)
        .result(0, KAL_TEXT("ok: written (or no string \"id\": nothing written, none echoed); the time in it"))
        .result(1, KAL_TEXT("failed: the file could not be written, or \"id\" is not UTF-8; the time"), REPLY_WHOLE),
};

}  // namespace

KAL_MODULE(time) = {"time", actionsOf(kTimeActions), NULL};
