// "flowstat": data limit, warning percentage, payment day and the data used
// in the current period, all kept by the flow statistics service.
#include "modules/admin/flowstat.h"

#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "platform/flowstat.h"
#include "server/handler.h"
#include "server/modules.h"
#include "server/utils.h"

int formatAmount(char *out, size_t size, double amount)
{
    memset(out, 0, size);
    int n = snprintf(out, size, "%f", amount);
    // A figure too long for the text is given in exponent form rather than cut.
    if (n < 0 || (size_t)n >= size)
        n = snprintf(out, size, "%.6e", amount);
    return n >= 0 && (size_t)n < size ? 0 : -1;
}

int parseAmount(const char *text, double *amount)
{
    if (text == NULL || amount == NULL)
        return -1;
    // The longest leading decimal number: sign, digits, fraction, exponent.
    const char *p = text;
    while (isspace((unsigned char)*p))
        p++;
    const char *start = p;
    if (*p == '+' || *p == '-')
        p++;
    int digits = 0;
    while (isdigit((unsigned char)*p)) {
        p++;
        digits++;
    }
    if (*p == '.') {
        p++;
        while (isdigit((unsigned char)*p)) {
            p++;
            digits++;
        }
    }
    // No digit at all ("abc", "nan", "inf", ""): not an amount.
    if (digits == 0)
        return -1;
    if (*p == 'e' || *p == 'E') {
        const char *e = p + 1;
        if (*e == '+' || *e == '-')
            e++;
        if (isdigit((unsigned char)*e)) {
            while (isdigit((unsigned char)*e))
                e++;
            p = e;
        }
    }
    // Only the span found above goes to strtod, which would also read
    // forms this amount does not allow ("0x10", "infinity"). The span may be
    // as long as the request: a copy of exactly its length.
    char *number = strndup(start, (size_t)(p - start));
    if (number == NULL)
        return -1;
    double value = strtod(number, NULL);
    free(number);
    if (!isfinite(value))
        return -1;
    *amount = value;
    return 0;
}

namespace {

// Absent: -1 (unchanged); the literal true: 1; anything else: 0.
int switchValue(cJSON *settings, const char *key)
{
    int value = -1;
    memberSwitch(settings, key, &value);
    return value;
}

// Reads a string amount of 0 or more. -1 when absent, not a string, not a
// number or negative.
int amountValue(cJSON *settings, const char *key, double *amount)
{
    cJSON *item = cJSON_GetObjectItem(settings, key);
    if (requestText(item) == NULL || parseAmount(item->valuestring, amount) != 0 || *amount < 0)
        return -1;
    return 0;
}

// Adds a reading of the flow statistics service: a switch as a boolean,
// anything else as a number. False when the service cannot say.
bool addReading(cJSON *settings, const char *key, int (*read)(int *), bool isSwitch)
{
    int value = 0;
    if (read(&value) != 0)
        return false;
    cJSON_AddItemToObject(settings, key, isSwitch ? cJSON_CreateBool(value != 0) : cJSON_CreateNumber(value));
    return true;
}

void addAmount(cJSON *settings, const char *key, double amount)
{
    char text[32];
    formatAmount(text, sizeof(text), amount);
    cJSON_AddItemToObject(settings, key, cJSON_CreateString(text));
}

// Stops at the first reading the service cannot give, with what came
// before it already in "settings".
int readSettings(cJSON *, cJSON *response)
{
    cJSON *settings = cJSON_CreateObject();
    if (settings == NULL)
        return 1;
    cJSON_AddItemToObject(response, "settings", settings);

    if (!addReading(settings, "enableDataLimit", isLimitEnable, true))
        return 1;
    double limit = 0.0;
    int state = 0;
    if (getLimit(&limit) != 0 || isLimitReached(&state) != 0)
        return 1;
    addAmount(settings, "limitation", limit);
    cJSON_AddItemToObject(settings, "dataLimit", cJSON_CreateNumber(state));
    if (!addReading(settings, "warningPercent", getWarningPercent, false) ||
        !addReading(settings, "enablePaymentDay", isMonthlyEnable, true) ||
        !addReading(settings, "paymentDay", getDue, false))
        return 1;
    double used = 0.0;
    if (getMonthly(&used) != 0)
        return 1;
    addAmount(settings, "adjustStatistics", used);
    return 0;
}

int writeSettings(cJSON *request, cJSON *)
{
    cJSON *settings = cJSON_GetObjectItem(request, "settings");
    if (settings == NULL)
        return 1;

    // Every check comes before the first change.
    int limitSwitch = switchValue(settings, "enableDataLimit");
    double limit = 0.0;
    int percent = 90;
    if (limitSwitch == 1) {
        if (amountValue(settings, "limitation", &limit) != 0)
            return 1;
        cJSON *item = cJSON_GetObjectItem(settings, "warningPercent");
        if (item != NULL && !requestInt(item, 0, 100, &percent))
            return 1;
    }
    int monthlySwitch = switchValue(settings, "enablePaymentDay");
    int due = 0;
    if (monthlySwitch == 1) {
        if (!requestInt(cJSON_GetObjectItem(settings, "paymentDay"), 0, 31, &due))
            return 1;
    }
    cJSON *adjust = cJSON_GetObjectItem(settings, "adjustStatistics");
    double used = 0.0;
    if (cJSON_IsString(adjust) && amountValue(settings, "adjustStatistics", &used) != 0)
        return 1;

    if (cJSON_IsString(adjust) && setMonthly(used) != 0)
        return 1;
    if (limitSwitch == 1 && (setLimit(limit) != 0 || setWarningPercent(percent) != 0))
        return 1;
    if (monthlySwitch == 1 && setDue(due) != 0)
        return 1;
    if (limitSwitch != -1 && enableLimit(limitSwitch) != 0)
        return 1;
    if (monthlySwitch != -1 && enableMonthly(monthlySwitch) != 0)
        return 1;
    setUserModifiedConfig(1);
    return 0;
}

}  // namespace

const ModuleAction kFlowstatActions[] = {
    {0, readSettings},
    {1, writeSettings},
};

int flowstatHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response, kFlowstatActions);
}
