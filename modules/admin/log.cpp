// "log": the user log, built from the user lines of the Android log's main
// buffer, paged and filtered by type and level; clearing it; exporting a
// diagnostic archive.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "platform/android_log.h"
#include "platform/device_paths.h"
#include "server/modules.h"
#include "server/utils.h"

namespace {

enum {
    LOG_LIST = 0,
    LOG_CLEAR = 1,
    LOG_EXPORT = 2,
    LOG_REFRESH = 3,
    LOG_MODEM_STATE = 5,
};

const char kUserSuffix[] = "_-_user";
const int kUserSuffixLength = 7;
const int kModemLogState = 2;
// Device paths are longer under a simulated root than on the device.
const int kCommandSize = 1024;
const int kPatternSize = 256;

// Indexed by type code; 0 is every type.
const char *const kLogTypes[] = {"ALL", "WLAN", "DHCP", "4G", "SMS", "SYSLOG", "OTHER"};
const unsigned int kLogTypeCount = sizeof(kLogTypes) / sizeof(kLogTypes[0]);
// Indexed by level code.
const char *const kLevelFilters[] = {"[IVWE]/", "I/", "V/", "W/", "E/"};
const unsigned int kLevelCount = sizeof(kLevelFilters) / sizeof(kLevelFilters[0]);

struct LogEntry {
    int type;
    int level;
    char time[32];
    char content[256];
};

// Formats into out; false (and an empty text) when it does not fit.
bool formatCommand(char *out, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
bool formatCommand(char *out, size_t size, const char *fmt, ...)
{
    memset(out, 0, size);
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(out, size, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= size) {
        memset(out, 0, size);
        return false;
    }
    return true;
}

void runCommand(const char *fmt, const char *path)
{
    char command[kCommandSize];
    if (formatCommand(command, sizeof(command), fmt, path))
        system(command);
}

int buildLogPattern(unsigned int type, unsigned int level, char *pattern, size_t size)
{
    if (level >= kLevelCount || type >= kLogTypeCount)
        return -1;
    memset(pattern, 0, size);
    snprintf(pattern, size, "%s%s%s", kLevelFilters[level], type == 0 ? "(WLAN|DHCP|4G|SMS|SYSLOG|OTHER)" : kLogTypes[type],
             kUserSuffix);
    return 0;
}

int logTypeIndex(const char *name)
{
    for (unsigned int i = 1; i < kLogTypeCount; i++) {
        if (strcmp(name, kLogTypes[i]) == 0)
            return (int)i;
    }
    return -1;
}

int levelCode(char letter)
{
    switch (letter) {
    case 'I':
    case 'D':
        return 1;
    case 'V': return 2;
    case 'W': return 3;
    case 'E': return 4;
    default: return -1;
    }
}

// One "logcat -v time" line into entry; 1 when every part was found.
int parseLogLine(const char *line, LogEntry *entry)
{
    if (line == NULL || line[0] == '\0' || strlen(line) > 512)
        return 0;
    char copy[513];
    memset(copy, 0, sizeof(copy));
    copyText(copy, line, sizeof(copy));

    char *slash = strchr(copy, '/');
    if (slash == NULL || slash - copy < 6)
        return 0;
    int level = levelCode(slash[-1]);
    if (level < 0)
        return 0;

    char *open = strchr(copy, '(');
    if (open == NULL || open < slash)
        return 0;
    size_t tagLength = (size_t)(open - slash - 1);
    if (tagLength <= (size_t)kUserSuffixLength)
        return 0;
    char tag[512];
    memset(tag, 0, sizeof(tag));
    memcpy(tag, slash + 1, tagLength - kUserSuffixLength);
    int type = logTypeIndex(tag);
    if (type < 0)
        return 0;

    char *close = strchr(copy, ')');
    if (close == NULL || strlen(close) < 3)
        return 0;

    entry->type = type;
    entry->level = level;
    memset(entry->time, 0, sizeof(entry->time));
    size_t timeLength = (size_t)(slash - copy) - 6;
    if (timeLength > sizeof(entry->time) - 1)
        timeLength = sizeof(entry->time) - 1;
    memcpy(entry->time, copy, timeLength);
    memset(entry->content, 0, sizeof(entry->content));
    copyText(entry->content, close + 3, sizeof(entry->content));
    return 1;
}

bool userLogPath(char *path, size_t size)
{
    return kalPath(path, size, USERLOG_FILE_PATH) == 0 && access(path, F_OK) == 0;
}

int countLogs(unsigned int type, unsigned int level)
{
    char path[512];
    char pattern[kPatternSize];
    char command[kCommandSize];
    if (!userLogPath(path, sizeof(path)) || buildLogPattern(type, level, pattern, sizeof(pattern)) != 0)
        return 0;
    if (!formatCommand(command, sizeof(command), "busybox cat %s | busybox grep -E '%s' | busybox wc -l", path,
                       pattern))
        return 0;
    const char *output = getCommandOutputStatic(command);
    return output != NULL ? atoi(output) : 0;
}

int readLogEntry(unsigned int type, unsigned int level, int lineNumber, LogEntry *entry)
{
    char path[512];
    char pattern[kPatternSize];
    char command[kCommandSize];
    if (!userLogPath(path, sizeof(path)) || buildLogPattern(type, level, pattern, sizeof(pattern)) != 0)
        return 0;
    if (!formatCommand(command, sizeof(command), "busybox cat %s | busybox grep -E '%s' | busybox sed -n %dp", path,
                       pattern, lineNumber))
        return 0;
    const char *output = getCommandOutputStatic(command);
    return output != NULL ? parseLogLine(output, entry) : 0;
}

// Members read as integers; a missing one gives the fallback.
int intMember(cJSON *request, const char *key, int fallback)
{
    cJSON *item = cJSON_GetObjectItem(request, key);
    return item != NULL ? item->valueint : fallback;
}

int listLogs(cJSON *request, cJSON *response)
{
    unsigned int type = (unsigned int)intMember(request, "type", -1);
    unsigned int level = (unsigned int)intMember(request, "level", -1);
    int perPage = intMember(request, "amountPerPage", 0);
    int page = intMember(request, "pageNumber", 0);
    if (type >= kLogTypeCount || level >= kLevelCount || perPage < 1 || page < 1)
        return 1;

    int total = countLogs(type, level);
    cJSON_AddItemToObject(response, "totalNumber", cJSON_CreateNumber(total));
    if (total == 0)
        return 0;
    int pages = total / perPage + (total % perPage != 0 ? 1 : 0);
    if (page > pages)
        return 0;
    // 64-bit: a huge page size times the page number must not wrap.
    long long start = (long long)perPage * (page - 1);
    long long lines = page == pages ? total - start : perPage;

    cJSON *list = cJSON_CreateArray();
    cJSON_AddItemToObject(response, "logList", list);
    LogEntry entry;
    memset(&entry, 0, sizeof(entry));
    for (long long k = 0; k < lines; k++) {
        if (readLogEntry(type, level, (int)(start + 1 + k), &entry) != 1)
            continue;
        cJSON *item = cJSON_CreateObject();
        cJSON_AddItemToObject(item, "time", cJSON_CreateString(entry.time));
        cJSON_AddItemToObject(item, "type", cJSON_CreateNumber(entry.type));
        cJSON_AddItemToObject(item, "level", cJSON_CreateNumber(entry.level));
        cJSON_AddItemToObject(item, "content", cJSON_CreateString(entry.content));
        cJSON_AddItemToArray(list, item);
    }
    return 0;
}

int clearUserLog()
{
    char path[512];
    system("logcat -c");
    if (kalPath(path, sizeof(path), USERLOG_FILE_PATH) == 0)
        runCommand("busybox rm -f %s", path);
    __android_log_print(ANDROID_LOG_VERBOSE, "SYSLOG_-_user", "User clear all logs.");
    return 0;
}

int refreshUserLog()
{
    char dir[512], path[512];
    if (kalPath(dir, sizeof(dir), SYSLOG_DIR_PATH) != 0 || kalPath(path, sizeof(path), USERLOG_FILE_PATH) != 0)
        return 0;
    runCommand("mkdir -p %s", dir);
    runCommand("logcat -b main -v time -d | busybox grep _-_user | busybox tac > %s", path);
    return 0;
}

// Section headers and commands of the network dump, in order.
const char *const kNetworkDump[][2] = {
    {"echo '############ps############' > %s", "ps >> %s"},
    {"echo '############ifconfig############' >> %s", "busybox ifconfig >> %s"},
    {"echo '############brctl show############' >> %s", "brctl show >> %s"},
    {"echo '############ifconfig -a############' >> %s", "busybox ifconfig -a >> %s"},
    {"echo '############route############' >> %s", "busybox route >> %s"},
    {"echo '############ip forward############' >> %s", "cat /proc/sys/net/ipv4/ip_forward >> %s"},
    {"echo '############nat table############' >> %s", "iptables -t nat -L >> %s"},
    {"echo '############mangle table############' >> %s", "iptables -t mangle -L >> %s"},
    {"echo '############filter table############' >> %s", "iptables -t filter -L >> %s"},
    {"echo '############arp############' >> %s", "busybox arp >> %s"},
    {"echo '############ipv6 route############' >> %s", "ip -6 route >> %s"},
    {"echo '############ipv6 neigh############' >> %s", "ip -6 neigh >> %s"},
    {"echo '############ipv6 forward############' >> %s", "cat /proc/sys/net/ipv6/conf/all/forwarding >> %s"},
};

void dumpNetworkState(const char *path)
{
    for (const auto &section : kNetworkDump) {
        runCommand(section[0], path);
        runCommand(section[1], path);
    }
}

int exportLogs()
{
    char dir[512], file[512], archive[512];
    const char *root = kalRoot();
    if (kalPath(dir, sizeof(dir), EXPORTED_LOG_DIR_PATH) != 0 ||
        kalPath(archive, sizeof(archive), SAVELOG_ARCHIVE_PATH) != 0)
        return 1;
    runCommand("mkdir -p %s", dir);
    if (kalPath(file, sizeof(file), EXPORTED_LOG_DIR_PATH "/logcat.txt") == 0)
        runCommand("logcat -v time -d -b main -b radio -b system | busybox tac > %s", file);
    if (kalPath(file, sizeof(file), EXPORTED_LOG_DIR_PATH "/dmesg.txt") == 0)
        runCommand("dmesg > %s", file);
    if (kalPath(file, sizeof(file), EXPORTED_LOG_DIR_PATH "/network.txt") == 0)
        dumpNetworkState(file);

    char command[kCommandSize];
    if (formatCommand(command, sizeof(command),
                      "busybox tar -czf %s --exclude app/config/SMS.db app/config app/default_config "
                      "data/data/syslog/exported_log -C %s",
                      archive, root[0] != '\0' ? root : "/"))
        system(command);
    // The root never ends with '/', so this is "<root>/data/...": never "/*".
    if (formatCommand(command, sizeof(command), "busybox rm -rf %s/%s/*", root, "data/data/syslog/exported_log"))
        system(command);
    return access(archive, F_OK) == 0 ? 0 : 1;
}

}  // namespace

int logHandler(cJSON *request, cJSON *response)
{
    if (request == NULL || response == NULL)
        return 1;
    cJSON *action = cJSON_GetObjectItem(request, "action");
    if (action == NULL)
        return 1;
    int result = 1;
    switch ((unsigned int)action->valueint) {
    case LOG_LIST:
        result = listLogs(request, response);
        break;
    case LOG_CLEAR:
        result = clearUserLog();
        break;
    case LOG_EXPORT:
        result = exportLogs();
        break;
    case LOG_REFRESH:
        result = refreshUserLog();
        break;
    case LOG_MODEM_STATE:
        cJSON_AddItemToObject(response, "mdLogState", cJSON_CreateNumber(kModemLogState));
        result = 0;
        break;
    default:
        result = 1;
        break;
    }
    cJSON_AddItemToObject(response, "result", cJSON_CreateNumber(result));
    return result;
}
