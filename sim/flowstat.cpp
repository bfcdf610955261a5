// Simulated flow statistics service. Its whole state is one text file,
// <root>/sim/flowstat/state, of "name=value" lines (see docs/simulated-device.md).
// While the simulated mobile data connection is up, traffic flows at a
// speed that varies from second to second, and every call first adds the
// data that flowed since the last accounting to the period and day totals.
#include "platform/flowstat.h"
#include "platform/replace_file.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "sim/sim_device.h"
#include "sim/sim_files.h"

namespace {

const double kBytesPerMegabyte = 1048576.0;
// Accounting is saved at most this often; between saves the totals are
// recomputed from the last saved point, so nothing is lost.
const double kSaveInterval = 1.0;

struct FlowState {
    int limitEnable;
    double limit;
    int warningPercent;
    int monthlyEnable;
    int due;
    double monthly;
    double daily;
    long day;     // local date of the daily total, yyyymmdd
    long period;  // local date the current period started, yyyymmdd
    int userModified;
    double accounted;  // wall clock of the last accounting, seconds
};

// Time the service came up: traffic only flows while it runs.
double g_serviceStart;

double wallClock(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

void factoryState(FlowState *s)
{
    memset(s, 0, sizeof(*s));
    s->warningPercent = 90;
    s->due = 1;
}

int statePath(char *out, size_t size)
{
    return simStatePath(out, size, "flowstat/state");
}

long dateOf(const struct tm *tm)
{
    return (long)(tm->tm_year + 1900) * 10000 + (tm->tm_mon + 1) * 100 + tm->tm_mday;
}

int daysInMonth(int year, int month)  // month 0..11
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 1 && leap ? 29 : kDays[month];
}

// Start of the accounting period that holds tm: the latest payment day
// (cut to the month's length) when monthly accounting is on, else the 1st.
long periodStart(const struct tm *tm, int monthlyEnable, int due)
{
    int year = tm->tm_year + 1900;
    int month = tm->tm_mon;
    int day = monthlyEnable && due > 1 ? due : 1;
    int thisMonth = day < daysInMonth(year, month) ? day : daysInMonth(year, month);
    if (tm->tm_mday >= thisMonth)
        return (long)year * 10000 + (month + 1) * 100 + thisMonth;
    month--;
    if (month < 0) {
        month = 11;
        year--;
    }
    int lastMonth = day < daysInMonth(year, month) ? day : daysInMonth(year, month);
    return (long)year * 10000 + (month + 1) * 100 + lastMonth;
}

bool limitStopsData(const FlowState *s)
{
    return s->limitEnable && s->monthly >= s->limit;
}

// Speeds of the simulated link at whole second t.
uint32_t rxRate(long t)
{
    return 96000u + (uint32_t)((unsigned long)t * 7919ul % 64000ul);
}

uint32_t txRate(long t)
{
    return 18000u + (uint32_t)((unsigned long)t * 104729ul % 12000ul);
}

bool flowing(const FlowState *s)
{
    return simWanConnected() && !limitStopsData(s);
}

int parseState(const char *text, FlowState *s)
{
    factoryState(s);
    const char *line = text;
    while (*line != '\0') {
        const char *end = strchr(line, '\n');
        size_t len = end != NULL ? (size_t)(end - line) : strlen(line);
        char buf[128];
        memset(buf, 0, sizeof(buf));
        if (len < sizeof(buf)) {
            memcpy(buf, line, len);
            char *eq = strchr(buf, '=');
            if (eq != NULL) {
                *eq = '\0';
                const char *name = buf;
                const char *value = eq + 1;
                char *stop = NULL;
                double number = strtod(value, &stop);
                if (stop != value && isfinite(number)) {
                    if (strcmp(name, "limit_enable") == 0)
                        s->limitEnable = number != 0;
                    else if (strcmp(name, "limit") == 0)
                        s->limit = number;
                    else if (strcmp(name, "warning_percent") == 0)
                        s->warningPercent = (int)number;
                    else if (strcmp(name, "monthly_enable") == 0)
                        s->monthlyEnable = number != 0;
                    else if (strcmp(name, "payment_day") == 0)
                        s->due = (int)number;
                    else if (strcmp(name, "monthly") == 0)
                        s->monthly = number;
                    else if (strcmp(name, "daily") == 0)
                        s->daily = number;
                    else if (strcmp(name, "day") == 0)
                        s->day = (long)number;
                    else if (strcmp(name, "period") == 0)
                        s->period = (long)number;
                    else if (strcmp(name, "user_modified") == 0)
                        s->userModified = number != 0;
                    else if (strcmp(name, "accounted") == 0)
                        s->accounted = number;
                }
            }
        }
        if (end == NULL)
            break;
        line = end + 1;
    }
    return 0;
}

int saveState(const FlowState *s)
{
    char path[512];
    if (statePath(path, sizeof(path)) != 0)
        return -1;
    char text[1024];
    memset(text, 0, sizeof(text));
    int n = snprintf(text, sizeof(text),
                     "limit_enable=%d\nlimit=%.17g\nwarning_percent=%d\nmonthly_enable=%d\n"
                     "payment_day=%d\nmonthly=%.17g\ndaily=%.17g\nday=%ld\nperiod=%ld\n"
                     "user_modified=%d\naccounted=%.6f\n",
                     s->limitEnable, s->limit, s->warningPercent, s->monthlyEnable, s->due, s->monthly,
                     s->daily, s->day, s->period, s->userModified, s->accounted);
    if (n < 0 || (size_t)n >= sizeof(text))
        return -1;
    return replaceFile(path, text, (size_t)n, 0644);
}

// Adds the traffic since the last accounting and starts a new day or
// period when the date moved on. Saves when something changed for good.
void account(FlowState *s)
{
    double now = wallClock();
    time_t whole = (time_t)now;
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    localtime_r(&whole, &tm);
    bool changed = false;

    // A new day or period starts empty; the traffic below belongs to it.
    long today = dateOf(&tm);
    if (s->day != today) {
        s->day = today;
        s->daily = 0;
        changed = true;
    }
    long start = periodStart(&tm, s->monthlyEnable, s->due);
    if (start != s->period) {
        if (start > s->period)
            s->monthly = 0;
        s->period = start;
        changed = true;
    }

    double from = s->accounted > g_serviceStart ? s->accounted : g_serviceStart;
    double elapsed = now - from;
    if (elapsed >= kSaveInterval || s->accounted <= 0 || now < s->accounted) {
        if (elapsed > 0 && s->accounted > 0 && flowing(s)) {
            double added = ((double)rxRate((long)whole) + (double)txRate((long)whole)) * elapsed /
                           kBytesPerMegabyte;
            s->monthly += added;
            s->daily += added;
            // The link stops at the limit: the period total never passes it.
            if (s->limitEnable && s->monthly > s->limit && s->monthly - added <= s->limit)
                s->monthly = s->limit;
        }
        s->accounted = now;
        changed = true;
    }
    if (changed)
        saveState(s);
}

// Reads and accounts the state. -1 when the service has no state file.
int load(FlowState *s)
{
    char path[512];
    char text[1024];
    if (statePath(path, sizeof(path)) != 0 || simReadFile(path, text, sizeof(text)) < 0)
        return -1;
    parseState(text, s);
    account(s);
    return 0;
}

// Applies one change and saves it; the change counts from now on.
template <typename Change>
int change(Change apply)
{
    FlowState s;
    if (load(&s) != 0)
        return -1;
    apply(&s);
    // A new payment day moves the period without emptying it.
    time_t now = time(NULL);
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    localtime_r(&now, &tm);
    s.period = periodStart(&tm, s.monthlyEnable, s.due);
    return saveState(&s);
}

}  // namespace

int simFlowstatSeed(void)
{
    g_serviceStart = wallClock();
    char path[512];
    if (simStatePath(path, sizeof(path), "flowstat") != 0 || simMakeDirs(path, 0755) != 0)
        return -1;
    if (statePath(path, sizeof(path)) != 0)
        return -1;
    if (simExists(path))
        return 0;
    FlowState s;
    factoryState(&s);
    return saveState(&s);
}

extern "C" {

int isLimitEnable(int *enabled)
{
    FlowState s;
    if (enabled == NULL || load(&s) != 0)
        return -1;
    *enabled = s.limitEnable;
    return 0;
}

int getLimit(double *limit)
{
    FlowState s;
    if (limit == NULL || load(&s) != 0)
        return -1;
    *limit = s.limit;
    return 0;
}

int isLimitReached(int *state)
{
    FlowState s;
    if (state == NULL || load(&s) != 0)
        return -1;
    if (!s.limitEnable)
        *state = FLOW_LIMIT_NOT_REACHED;
    else if (s.monthly >= s.limit)
        *state = FLOW_LIMIT_REACHED;
    else if (s.monthly >= s.limit * s.warningPercent / 100.0)
        *state = FLOW_LIMIT_WARNING;
    else
        *state = FLOW_LIMIT_NOT_REACHED;
    return 0;
}

int getWarningPercent(int *percent)
{
    FlowState s;
    if (percent == NULL || load(&s) != 0)
        return -1;
    *percent = s.warningPercent;
    return 0;
}

int isMonthlyEnable(int *enabled)
{
    FlowState s;
    if (enabled == NULL || load(&s) != 0)
        return -1;
    *enabled = s.monthlyEnable;
    return 0;
}

int getDue(int *day)
{
    FlowState s;
    if (day == NULL || load(&s) != 0)
        return -1;
    *day = s.due;
    return 0;
}

int getMonthly(double *used)
{
    FlowState s;
    if (used == NULL || load(&s) != 0)
        return -1;
    *used = s.monthly;
    return 0;
}

int getDailyFlow(double *used)
{
    FlowState s;
    if (used == NULL || load(&s) != 0)
        return -1;
    *used = s.daily;
    return 0;
}

int getTxSpeed(unsigned long *speed)
{
    FlowState s;
    if (speed == NULL || load(&s) != 0)
        return -1;
    *speed = flowing(&s) ? txRate((long)time(NULL)) : 0;
    return 0;
}

int getRxSpeed(unsigned long *speed)
{
    FlowState s;
    if (speed == NULL || load(&s) != 0)
        return -1;
    *speed = flowing(&s) ? rxRate((long)time(NULL)) : 0;
    return 0;
}

int setMonthly(double used)
{
    if (!isfinite(used) || used < 0)
        return -1;
    return change([used](FlowState *s) { s->monthly = used; });
}

int setLimit(double limit)
{
    if (!isfinite(limit) || limit < 0)
        return -1;
    return change([limit](FlowState *s) { s->limit = limit; });
}

int setWarningPercent(int percent)
{
    if (percent < 0 || percent > 100)
        return -1;
    return change([percent](FlowState *s) { s->warningPercent = percent; });
}

int setDue(int day)
{
    if (day < 0 || day > 31)
        return -1;
    return change([day](FlowState *s) { s->due = day; });
}

int enableLimit(int enable)
{
    return change([enable](FlowState *s) { s->limitEnable = enable != 0; });
}

int enableMonthly(int enable)
{
    return change([enable](FlowState *s) { s->monthlyEnable = enable != 0; });
}

int setUserModifiedConfig(int modified)
{
    return change([modified](FlowState *s) { s->userModified = modified != 0; });
}

}  // extern "C"
