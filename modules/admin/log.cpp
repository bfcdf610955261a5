// "log": the user log, built from the user lines of the Android log's main
// buffer, paged and filtered by type and level; clearing it; exporting a
// diagnostic archive.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "common/text.h"
#include "platform/android_log.h"
#include "server/command_output.h"
#include "server/handler.h"

namespace {

const char kUserSuffix[] = "_-_user";
const int kUserSuffixLength = 7;
const int kModemLogState = 2;
// Device paths are longer under a simulated root than on the device.
const int kCommandSize = 1024;
const int kPatternSize = 256;
// Lines of the user log longer than this never parse; the reading buffer
// also holds the newline and the NUL.
const int kMaxLogLine = 512;
const int kLineBufferSize = 1024;

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

// 0 when the command ran and exited with status 0, otherwise -1.
int commandStatus(const char *command)
{
    int status = system(command);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

int runCommand(const char *fmt, const char *path)
{
    char command[kCommandSize];
    if (!formatCommand(command, sizeof(command), fmt, path))
        return -1;
    return commandStatus(command);
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
    if (line == NULL || line[0] == '\0' || strlen(line) > (size_t)kMaxLogLine)
        return 0;
    char copy[kMaxLogLine + 1];
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
    // The message lies past the first ')', well after the time: ending the
    // time text in place leaves it intact.
    copy[(size_t)(slash - copy) - 6] = '\0';
    copyText(entry->time, copy, sizeof(entry->time));
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

// Lists the matching lines first to first + count - 1 (1-based), read in
// one pipeline, into list; lines that do not parse are left out. Every line
// takes its own place, parsed or not, even one too long for the buffer.
// Nothing is listed when the command fails.
void listLogPage(unsigned int type, unsigned int level, int first, int count, cJSON *list)
{
    char path[512];
    char pattern[kPatternSize];
    char command[kCommandSize];
    if (!userLogPath(path, sizeof(path)) || buildLogPattern(type, level, pattern, sizeof(pattern)) != 0)
        return;
    int last = first + count - 1;
    if (!formatCommand(command, sizeof(command), "busybox cat %s | busybox grep -E '%s' | busybox sed -n '%d,%dp;%dq'",
                       path, pattern, first, last, last))
        return;
    FILE *pipe = popen(command, "r");
    if (pipe == NULL)
        return;
    cJSON *page = cJSON_CreateArray();
    int lines = 0;
    bool inLongLine = false;
    char line[kLineBufferSize];
    LogEntry entry;
    for (;;) {
        memset(line, 0, sizeof(line));
        if (fgets(line, sizeof(line), pipe) == NULL) {
            if (ferror(pipe) && errno == EINTR) {
                clearerr(pipe);
                continue;
            }
            break;
        }
        size_t length = strlen(line);
        bool whole = length > 0 && line[length - 1] == '\n';
        if (whole)
            line[length - 1] = '\0';
        // The rest of a line too long for the buffer is not a line of its own.
        bool continuation = inLongLine;
        inLongLine = !whole;
        if (continuation)
            continue;
        if (lines++ >= count)
            continue;  // drained, so the pipeline ends normally
        memset(&entry, 0, sizeof(entry));
        if (!whole || parseLogLine(line, &entry) != 1)
            continue;
        cJSON *item = cJSON_CreateObject();
        cJSON_AddItemToObject(item, "time", cJSON_CreateString(entry.time));
        cJSON_AddItemToObject(item, "type", cJSON_CreateNumber(entry.type));
        cJSON_AddItemToObject(item, "level", cJSON_CreateNumber(entry.level));
        cJSON_AddItemToObject(item, "content", cJSON_CreateString(entry.content));
        cJSON_AddItemToArray(page, item);
    }
    if (pclose(pipe) != 0) {
        cJSON_Delete(page);
        return;
    }
    cJSON *item = NULL;
    while ((item = cJSON_DetachItemFromArray(page, 0)) != NULL)
        cJSON_AddItemToArray(list, item);
    cJSON_Delete(page);
}

// A page larger than the log lists it whole; a reply too long for one
// datagram gets the dispatcher's failure reply.
int listLogs(const Request &request, cJSON *response)
{
    unsigned int type = (unsigned int)request.number("type");
    unsigned int level = (unsigned int)request.number("level");
    int perPage = request.number("amountPerPage");
    int page = request.number("pageNumber");
    int total = countLogs(type, level);
    cJSON_AddItemToObject(response, "totalNumber", cJSON_CreateNumber(total));
    if (total <= 0)
        return 0;
    int pages = total / perPage + (total % perPage != 0 ? 1 : 0);
    if (page > pages)
        return 0;
    // Now start < total, so the page's lines are plain ints.
    int start = perPage * (page - 1);
    int lines = page == pages ? total - start : perPage;
    cJSON *list = cJSON_CreateArray();
    cJSON_AddItemToObject(response, "logList", list);
    listLogPage(type, level, start + 1, lines, list);
    return 0;
}

int clearUserLog(const Request &, cJSON *)
{
    char path[512];
    system("logcat -c");
    if (kalPath(path, sizeof(path), USERLOG_FILE_PATH) == 0)
        runCommand("busybox rm -f %s", path);
    __android_log_print(ANDROID_LOG_VERBOSE, "SYSLOG_-_user", "User clear all logs.");
    return 0;
}

// The new user log is written beside the old one and replaces it only when
// written whole: a full disk keeps the old log and answers 1.
int refreshUserLog(const Request &, cJSON *)
{
    char dir[512], path[512], tmp[512];
    if (kalPath(dir, sizeof(dir), SYSLOG_DIR_PATH) != 0 || kalPath(path, sizeof(path), USERLOG_FILE_PATH) != 0 ||
        replaceFileTemp(tmp, sizeof(tmp), path) != 0)
        return 1;
    runCommand("mkdir -p %s", dir);
    if (runCommand("logcat -b main -v time -d | busybox grep _-_user | busybox tac > %s", tmp) != 0 ||
        commitFile(tmp, path) != 0) {
        unlink(tmp);
        return 1;
    }
    return 0;
}

// Section headers and commands of the network dump, in order.
const char *const kNetworkDump[][2] = {
    {"echo '############ps############' > %s", "ps >> %s"},
    {"echo '############ifconfig############' >> %s", "busybox ifconfig >> %s"},
    {"echo '############brctl show############' >> %s", "brctl show >> %s"},
    {"echo '############ifconfig -a############' >> %s", "busybox ifconfig -a >> %s"},
    {"echo '############route############' >> %s", "busybox route -n >> %s"},
    {"echo '############ip forward############' >> %s", "cat /proc/sys/net/ipv4/ip_forward >> %s"},
    {"echo '############nat table############' >> %s", "iptables -t nat -n -L >> %s"},
    {"echo '############mangle table############' >> %s", "iptables -t mangle -n -L >> %s"},
    {"echo '############filter table############' >> %s", "iptables -t filter -n -L >> %s"},
    {"echo '############arp############' >> %s", "busybox arp -n >> %s"},
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

// The archive is written beside the last one and replaces it only when the
// archiver succeeded and every log dump was written: on a full disk the
// export answers 1 instead of handing out an empty or cut archive.
int exportLogs(const Request &, cJSON *)
{
    char dir[512], file[512], archive[512], tmp[512];
    const char *root = kalRoot();
    if (kalPath(dir, sizeof(dir), EXPORTED_LOG_DIR_PATH) != 0 ||
        kalPath(archive, sizeof(archive), SAVELOG_ARCHIVE_PATH) != 0 ||
        replaceFileTemp(tmp, sizeof(tmp), archive) != 0)
        return 1;
    runCommand("mkdir -p %s", dir);
    bool complete = true;
    // The logcat dump's status is tac's, the one writing the file: it tells
    // whether the dump was written. dmesg and the network tools may fail
    // for reasons of their own (a kernel log not readable), so their
    // statuses say nothing about the disk and are not examined.
    if (kalPath(file, sizeof(file), EXPORTED_LOG_DIR_PATH "/logcat.txt") != 0 ||
        runCommand("logcat -v time -d -b main -b radio -b system | busybox tac > %s", file) != 0)
        complete = false;
    if (kalPath(file, sizeof(file), EXPORTED_LOG_DIR_PATH "/dmesg.txt") == 0)
        runCommand("dmesg > %s", file);
    if (kalPath(file, sizeof(file), EXPORTED_LOG_DIR_PATH "/network.txt") == 0)
        dumpNetworkState(file);

    char command[kCommandSize];
    if (!formatCommand(command, sizeof(command),
                       "busybox tar -czf %s --exclude app/config/SMS.db app/config app/default_config "
                       "data/data/syslog/exported_log -C %s",
                       tmp, root[0] != '\0' ? root : "/") ||
        commandStatus(command) != 0)
        complete = false;
    if (!complete || commitFile(tmp, archive) != 0) {
        unlink(tmp);
        complete = false;
    }
    // The root never ends with '/', so this is "<root>/data/...": never "/*".
    if (formatCommand(command, sizeof(command), "busybox rm -rf %s/%s/*", root, "data/data/syslog/exported_log"))
        system(command);
    return complete && access(archive, F_OK) == 0 ? 0 : 1;
}

int modemLogState(const Request &, cJSON *response)
{
    cJSON_AddItemToObject(response, "mdLogState", cJSON_CreateNumber(kModemLogState));
    return 0;
}

// Every member is needed; a value that is not a number counts as 0, true
// included.
const Member kPage[] = {
    integer("type", 0, (int)kLogTypeCount - 1, KAL_TEXT("0 all, 1 WLAN, 2 DHCP, 3 4G, 4 SMS, 5 SYSLOG, 6 OTHER"))
        .required()
        .otherwise(POLICY_ZERO),
    integer("level", 0, (int)kLevelCount - 1, KAL_TEXT("0 any, 1 I, 2 V, 3 W, 4 E")).required().otherwise(POLICY_ZERO),
    integer("amountPerPage", 1, INT_MAX, KAL_TEXT("lines per page; a page larger than the log lists it whole"))
        .required()
        .otherwise(POLICY_ZERO),
    integer("pageNumber", 1, INT_MAX, KAL_TEXT("the page, from 1")).required().otherwise(POLICY_ZERO),
};

const ModuleAction kLogActions[] = {
    action(0, listLogs, KAL_TEXT("one page of the user log, newest first, as of the last refresh"), KAL_TEXT("totalNumber:integer logList?:[{time:text type:integer level:integer content:text}]"), kPage)
        .result(0, KAL_TEXT("ok: the count, and the page's lines when the page exists"))
        .result(1, KAL_TEXT("failed: a member missing or out of range"))
        .result(-10, KAL_TEXT("tooLong: the page would not fit one datagram (the dispatcher's failure reply)")),
    action(1, clearUserLog, KAL_TEXT("clear the log and the Android log"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: cleared")),
    action(2, exportLogs, KAL_TEXT("export the diagnostic archive"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: the new archive was written whole"))
        .result(1, KAL_TEXT("failed: not written whole (a full disk, for one); the last whole archive stays")),
    action(3, refreshUserLog, KAL_TEXT("refresh the user log from the Android log"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: refreshed"))
        .result(1, KAL_TEXT("failed: the new log could not be written whole; the previous one stays")),
    action(5, modemLogState, KAL_TEXT("modem log state"), KAL_TEXT("mdLogState:integer"))
        .result(0, KAL_TEXT("ok: the state")),
};

}  // namespace

KAL_MODULE(log) = {"log", actionsOf(kLogActions).actionsByNumberOnly(), NULL};
