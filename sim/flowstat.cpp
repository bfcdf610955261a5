// Simulated flow statistics service. Its whole state is one text file,
// <root>/sim/flowstat/state, of "name=value" lines (see docs/simulated-device.md).
// While the simulated mobile data connection is up, traffic flows at a
// speed that varies from second to second, and every call first adds the
// data that flowed since the last accounting to the period and day totals.
#include "common/replace_file.h"
#include "platform/flowstat.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_files.h"
#include "sim/sim_getter.h"
#include "sim/sim_kv.h"
#include "sim/sim_lock.h"

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
    long long day;     // local date of the daily total, yyyymmdd
    long long period;  // local date the current period started, yyyymmdd
    int userModified;
    double accounted;  // wall clock of the last accounting, seconds
};

const char kStateFile[] = "flowstat/state";

const SimField kStateFields[] = {
    {"limit_enable", SIM_FIELD_FLAG, offsetof(FlowState, limitEnable), 0},
    {"limit", SIM_FIELD_DOUBLE, offsetof(FlowState, limit), 0},
    {"warning_percent", SIM_FIELD_INT, offsetof(FlowState, warningPercent), 0},
    {"monthly_enable", SIM_FIELD_FLAG, offsetof(FlowState, monthlyEnable), 0},
    {"payment_day", SIM_FIELD_INT, offsetof(FlowState, due), 0},
    {"monthly", SIM_FIELD_DOUBLE, offsetof(FlowState, monthly), 0},
    {"daily", SIM_FIELD_DOUBLE, offsetof(FlowState, daily), 0},
    {"day", SIM_FIELD_LLONG, offsetof(FlowState, day), 0},
    {"period", SIM_FIELD_LLONG, offsetof(FlowState, period), 0},
    {"user_modified", SIM_FIELD_FLAG, offsetof(FlowState, userModified), 0},
    {"accounted", SIM_FIELD_SECONDS, offsetof(FlowState, accounted), 0},
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

int saveState(const FlowState *s)
{
    return simKvSave(kStateFile, SIM_FIELDS(kStateFields), s, 0644, false);
}

// Adds the traffic since the last accounting and starts a new day or
// period when the date moved on. True when something changed for good.
bool account(FlowState *s)
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
    return changed;
}

// Reads and accounts the state; *accounted tells whether the accounting
// changed it. -1 when the service has no state file.
int load(FlowState *s, bool *accounted)
{
    factoryState(s);
    if (simKvLoad(kStateFile, SIM_FIELDS(kStateFields), SIM_KV_WHOLE_NUMBERS, s) != 0)
        return -1;
    *accounted = account(s);
    return 0;
}

// Whether b holds what a does in every member a setter changes.
bool sameSettings(const FlowState &a, const FlowState &b)
{
    return a.limitEnable == b.limitEnable && a.limit == b.limit && a.warningPercent == b.warningPercent &&
           a.monthlyEnable == b.monthlyEnable && a.due == b.due && a.monthly == b.monthly &&
           a.period == b.period && a.userModified == b.userModified;
}

// Applies one change and saves it, with the accounting, before it returns;
// the change counts from now on. A setter given the value the state holds
// writes nothing: a request that saves every setting calls each setter.
// The file is loaded, changed and saved under the device's lock.
template <typename Change>
int change(Change apply)
{
    return simLocked(-1, [&] {
        FlowState s;
        bool accounted = false;
        if (load(&s, &accounted) != 0)
            return -1;
        FlowState before = s;
        apply(&s);
        // A new payment day moves the period without emptying it.
        time_t now = time(NULL);
        struct tm tm;
        memset(&tm, 0, sizeof(tm));
        localtime_r(&now, &tm);
        s.period = periodStart(&tm, s.monthlyEnable, s.due);
        return sameSettings(before, s) ? 0 : saveState(&s);
    });
}

// Loads the state and answers what value makes of it, -1 while the
// service fails. When the accounting
// changed something for good it is saved, loaded afresh under the device's
// lock (at most once a second): a reading alone needs no lock.
template <typename T, typename Value>
int reading(T *out, Value value)
{
    if (simServiceFails(SIM_SERVICE_FLOWSTAT))
        return -1;
    FlowState s;
    bool accounted = false;
    if (out == NULL || load(&s, &accounted) != 0)
        return -1;
    if (accounted) {
        simLocked(0, [&] {
            FlowState fresh;
            if (load(&fresh, &accounted) == 0) {
                if (accounted)
                    saveState(&fresh);
                s = fresh;
            }
            return 0;
        });
    }
    *out = value(s);
    return 0;
}

int limitState(const FlowState &s)
{
    if (!s.limitEnable)
        return FLOW_LIMIT_NOT_REACHED;
    if (s.monthly >= s.limit)
        return FLOW_LIMIT_REACHED;
    if (s.monthly >= s.limit * s.warningPercent / 100.0)
        return FLOW_LIMIT_WARNING;
    return FLOW_LIMIT_NOT_REACHED;
}

}  // namespace

int simFlowstatSeed(void)
{
    g_serviceStart = wallClock();
    char path[512];
    if (simStatePath(path, sizeof(path), "flowstat") != 0 || simMakeDirs(path, 0755) != 0)
        return -1;
    if (simStatePath(path, sizeof(path), kStateFile) != 0)
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
    return reading(enabled, [](const FlowState &s) { return s.limitEnable; });
}

int getLimit(double *limit)
{
    return reading(limit, [](const FlowState &s) { return s.limit; });
}

int isLimitReached(int *state)
{
    return reading(state, limitState);
}

int getWarningPercent(int *percent)
{
    return reading(percent, [](const FlowState &s) { return s.warningPercent; });
}

int isMonthlyEnable(int *enabled)
{
    return reading(enabled, [](const FlowState &s) { return s.monthlyEnable; });
}

int getDue(int *day)
{
    return reading(day, [](const FlowState &s) { return s.due; });
}

int getMonthly(double *used)
{
    return reading(used, [](const FlowState &s) { return s.monthly; });
}

int getDailyFlow(double *used)
{
    return reading(used, [](const FlowState &s) { return s.daily; });
}

int getTxSpeed(unsigned long *speed)
{
    return reading(speed, [](const FlowState &s) { return flowing(&s) ? txRate((long)time(NULL)) : 0; });
}

int getRxSpeed(unsigned long *speed)
{
    return reading(speed, [](const FlowState &s) { return flowing(&s) ? rxRate((long)time(NULL)) : 0; });
}

int setMonthly(double used)
{
    return simServe(SIM_SERVICE_FLOWSTAT, -1, [&] {
        if (!isfinite(used) || used < 0)
            return -1;
        return change([used](FlowState *s) { s->monthly = used; });
    });
}

int setLimit(double limit)
{
    return simServe(SIM_SERVICE_FLOWSTAT, -1, [&] {
        if (!isfinite(limit) || limit < 0)
            return -1;
        return change([limit](FlowState *s) { s->limit = limit; });
    });
}

int setWarningPercent(int percent)
{
    return simServe(SIM_SERVICE_FLOWSTAT, -1, [&] {
        if (percent < 0 || percent > 100)
            return -1;
        return change([percent](FlowState *s) { s->warningPercent = percent; });
    });
}

int setDue(int day)
{
    return simServe(SIM_SERVICE_FLOWSTAT, -1, [&] {
        if (day < 0 || day > 31)
            return -1;
        return change([day](FlowState *s) { s->due = day; });
    });
}

int enableLimit(int enable)
{
    return simServe(SIM_SERVICE_FLOWSTAT, -1, [&] {
        return change([enable](FlowState *s) { s->limitEnable = enable != 0; });
    });
}

int enableMonthly(int enable)
{
    return simServe(SIM_SERVICE_FLOWSTAT, -1, [&] {
        return change([enable](FlowState *s) { s->monthlyEnable = enable != 0; });
    });
}

int setUserModifiedConfig(int modified)
{
    return simServe(SIM_SERVICE_FLOWSTAT, -1, [&] {
        return change([modified](FlowState *s) { s->userModified = modified != 0; });
    });
}

}  // extern "C"
