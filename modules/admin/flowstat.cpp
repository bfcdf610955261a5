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

int formatAmount(char *out, size_t size, double amount)
{
    memset(out, 0, size);
    int n = snprintf(out, size, "%f", amount);
    // A figure too long for the text is given in exponent form rather than cut.
    if (n < 0 || (size_t)n >= size)
        n = snprintf(out, size, "%.6e", amount);
    return n >= 0 && (size_t)n < size ? 0 : -1;
}

namespace {

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
int readSettings(const Request &, cJSON *response)
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

// A switch left out stays as it is.
int switchValue(const Request &settings, const char *key)
{
    return settings.has(key) ? settings.number(key) : -1;
}

int writeSettings(const Request &request, cJSON *)
{
    Request settings = request.nested("settings");
    int limitSwitch = switchValue(settings, "enableDataLimit");
    int monthlySwitch = switchValue(settings, "enablePaymentDay");
    if (settings.has("adjustStatistics") && setMonthly(settings.amount("adjustStatistics")) != 0)
        return 1;
    if (limitSwitch == 1 && (setLimit(settings.amount("limitation")) != 0 ||
                             setWarningPercent(settings.number("warningPercent")) != 0))
        return 1;
    if (monthlySwitch == 1 && setDue(settings.number("paymentDay")) != 0)
        return 1;
    if (limitSwitch != -1 && enableLimit(limitSwitch) != 0)
        return 1;
    if (monthlySwitch != -1 && enableMonthly(monthlySwitch) != 0)
        return 1;
    setUserModifiedConfig(1);
    return 0;
}

// The limit's values are read only while the limit is switched on, the
// payment day only while monthly accounting is.
const Member kSettings[] = {
    onOff("enableDataLimit", KAL_TEXT("the data limit on (true) or off; absent: unchanged")),
    textOrAbsent("limitation", 0, 0, TEXT_AMOUNT, KAL_TEXT("the limit: a text leading with a decimal amount of 0 or more"))
        .required()
        .otherwise(POLICY_REFUSE)
        .readWhile("enableDataLimit"),
    integer("warningPercent", 0, 100, KAL_TEXT("warn at this percentage of the limit; a save without it stores 90, not the value held"))
        .otherwise(POLICY_TRUE_ONE)
        .byDefault(90)
        .readWhile("enableDataLimit"),
    onOff("enablePaymentDay", KAL_TEXT("monthly accounting on (true) or off; absent: unchanged")),
    integer("paymentDay", 0, 31, KAL_TEXT("day of the month the period starts"))
        .required()
        .otherwise(POLICY_TRUE_ONE)
        .readWhile("enablePaymentDay"),
    textOrAbsent("adjustStatistics", 0, 0, TEXT_AMOUNT, KAL_TEXT("replaces the data used in the period: a decimal amount of 0 or more")),
};

const Member kWrite[] = {
    object("settings", kSettings, KAL_TEXT("the settings to change")).required().otherwise(POLICY_ZERO),
};

}  // namespace

const ModuleAction kFlowstatActions[] = {
    action(0, readSettings, KAL_TEXT("read the data usage settings"), KAL_TEXT("settings:{enableDataLimit:boolean limitation:text dataLimit:integer warningPercent:integer enablePaymentDay:boolean paymentDay:integer adjustStatistics:text}"))
        .result(0, KAL_TEXT("ok: the settings"))
        .result(1, KAL_TEXT("failed: the service could not give a reading; \"settings\" holds those read before it"), REPLY_SO_FAR),
    action(1, writeSettings, KAL_TEXT("change the data usage settings given; nothing changes when one is invalid"), KAL_TEXT(""), kWrite)
        .result(0, KAL_TEXT("ok: stored, or nothing to store"))
        .result(1, KAL_TEXT("failed: a member missing or invalid, or the service refused a value (those before it are stored)")),
};

KAL_MODULE(flowstat) = {"flowstat", actionsOf(kFlowstatActions), NULL};
