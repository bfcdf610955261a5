// Flow statistics service: counts the mobile data used, keeps the data
// limit, its warning percentage and the monthly payment day. Every call
// returns 0 on success. Amounts are megabytes, speeds bytes per second.
#pragma once

#include <stdint.h>

// Limit states reported by isLimitReached.
enum {
    FLOW_LIMIT_NOT_REACHED = 0,
    FLOW_LIMIT_WARNING = 1,  // the warning percentage of the limit is used
    FLOW_LIMIT_REACHED = 2,  // the whole limit is used; data is stopped
};

#define FLOW_SPEED(value) ((uint32_t)(value))

extern "C" {
int isLimitEnable(int *enabled);
int getLimit(double *limit);
int isLimitReached(int *state);
int getWarningPercent(int *percent);
int isMonthlyEnable(int *enabled);
int getDue(int *day);
int getMonthly(double *used);
int getDailyFlow(double *used);
// The speed counters are 32-bit unsigned on the device, where unsigned long
// is 32 bits: callers keep only the low 32 bits (FLOW_SPEED) on any host.
int getTxSpeed(unsigned long *speed);
int getRxSpeed(unsigned long *speed);

int setMonthly(double used);
int setLimit(double limit);
int setWarningPercent(int percent);
int setDue(int day);
int enableLimit(int enable);
int enableMonthly(int enable);
int setUserModifiedConfig(int modified);
}
