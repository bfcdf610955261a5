// "power_save": Wi-Fi power saving switch, power level and idle switch-off.
// The user's choices (keys 132, 130) survive switching power saving off;
// the active values (keys 131, 128) are 0 while it is off.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "modules/wlan/wlan_client.h"
#include "platform/android_log.h"
#include "platform/config_store.h"
#include "server/handler.h"
#include "server/web_timer.h"

namespace {

timer_t g_powerSaveTimer;

struct PowerState {
    int status;
    int userLevel;
    int userTime;
    int wlanOn;
};

// Reads a numeric key; 0 when it cannot be read. Logs "<name>: <value>"
// when name is given and the read succeeds.
int readNumber(int key, const char *name)
{
    char buf[8];
    if (!configText(key, buf, (int)sizeof(buf)))
        return 0;
    if (name != NULL)
        WLOG("%s: %s", name, buf);
    return atoi(buf);
}

void writeNumber(int key, int value, const char *failure)
{
    char buf[16];
    memset(buf, 0, sizeof(buf));
    int n = snprintf(buf, sizeof(buf), "%d", value);
    if (set_config_data_permanent(key, buf, n) != 0)
        WLOG("%s", failure);
}

int getPowerSave(const PowerState &state, cJSON *response)
{
    WLOG("Got power save config\n");
    SYSLOG(ANDROID_LOG_INFO, "Got power save config");
    cJSON_AddItemToObject(response, "enable", cJSON_CreateNumber(state.status));
    cJSON_AddItemToObject(response, "powerLevel", cJSON_CreateNumber(state.userLevel));
    cJSON_AddItemToObject(response, "autoDisableTime", cJSON_CreateNumber(state.userTime));
    cJSON_AddItemToObject(response, "wlanOnOff", cJSON_CreateNumber(state.wlanOn));
    return 0;
}

// The user's values first, then the active ones: a cut in between leaves
// the stored choice new and the Wi-Fi still running as before.
void writeLevelAndTime(int level, int time)
{
    writeNumber(WLAN_POWER_LEVEL_USER, level, "Set wlan power level user failed");
    writeNumber(WLAN_DISABLE_TIME_USER, time, "Set wlan disable time user failed");
    writeNumber(WLAN_POWER_LEVEL, level, "Set wlan power level failed");
    writeNumber(WLAN_DISABLE_TIME, time, "Set wlan disable time failed");
}

// 0 on success, -1 when the keys are written but the restart cannot be
// scheduled, 1 when rejected (nothing written).
int setPowerSave(const PowerState &state, const Request &request)
{
    WLOG("To set power save config...\n");
    SYSLOG(ANDROID_LOG_INFO, "To set power save config...");
    int enable = request.number("enable");
    int level = request.number("powerLevel");
    int time = request.number("autoDisableTime");
    // Every value sent is taken (true 1, other 0): only an absent one, for
    // which the default stands in, comes without its item.
    if (request.get("powerLevel").item == NULL) {
        WLOG("KEY_PWRLVL in json is NULL!\n");
        SYSLOG(ANDROID_LOG_INFO, "KEY_PWRLVL in json is NULL!");
    }

    bool restart = false;
    if (state.status == 1 && enable == 0) {
        WLOG("power_save_status: enable->disable\n");
        SYSLOG(ANDROID_LOG_INFO, "power_save_status: enable->disable");
        // The active values are cleared before the switch goes off, so
        // that no cut leaves power saving off with a reduced level or an
        // automatic switch-off still active.
        writeNumber(WLAN_POWER_LEVEL, 0, "Set wlan power level failed");
        writeNumber(WLAN_DISABLE_TIME, 0, "Set wlan disable time failed");
        writeNumber(WLAN_POWER_SAVE_STATUS, 0, "Set wlan power save status failed");
        restart = state.userLevel != 0;
    } else if (state.status == 0 && enable == 1) {
        const char *fmt = "power_save_status: disable->enable, new_power_level: %d, new_disable_time: %d\n";
        WLOG(fmt, level, time);
        SYSLOG(ANDROID_LOG_INFO, fmt, level, time);
        // The user's values, then the switch, then the active values: a cut
        // never shows power saving on with the old values, and until the
        // active values follow, the Wi-Fi runs at full power with no
        // automatic switch-off, as it did with power saving off.
        writeNumber(WLAN_POWER_LEVEL_USER, level, "Set wlan power level user failed");
        writeNumber(WLAN_DISABLE_TIME_USER, time, "Set wlan disable time user failed");
        writeNumber(WLAN_POWER_SAVE_STATUS, 1, "Set wlan power save status failed");
        writeNumber(WLAN_POWER_LEVEL, level, "Set wlan power level failed");
        writeNumber(WLAN_DISABLE_TIME, time, "Set wlan disable time failed");
        restart = level != 0;
    } else if (state.status == 1 && enable == 1) {
        const char *fmt = "power_save_status: always enable, new_power_level: %d, new_disable_time: %d\n";
        WLOG(fmt, level, time);
        SYSLOG(ANDROID_LOG_INFO, fmt, level, time);
        writeLevelAndTime(level, time);
        restart = level != state.userLevel;
    } else {
        return 0;  // no transition
    }

    if (!state.wlanOn)
        return 0;
    if (restart) {
        if (webTimerSet(&g_powerSaveTimer, kRestartDelayMs, restartWlanWithLoadKoHandler) < 0) {
            logWlanFailure("webTimerSet error!!");
            return -1;
        }
        return 0;
    }
    int active = readNumber(WLAN_DISABLE_TIME, NULL);
    WLOG("auto_disable_time: %d\n", active);
    setDisableTimer(active);
    return 0;
}

int readPowerState(cJSON *, int, Prepared *prepared)
{
    WLOG("To get power save config...\n");
    SYSLOG(ANDROID_LOG_INFO, "To get power save config...");
    PowerState &state = *prepared->make<PowerState>();
    state.status = readNumber(WLAN_POWER_SAVE_STATUS, "WLAN_POWER_SAVE_STATUS");
    state.userLevel = readNumber(WLAN_POWER_LEVEL_USER, "WLAN_POWER_LEVEL_USER");
    state.userTime = readNumber(WLAN_DISABLE_TIME_USER, "WLAN_DISABLE_TIME_USER");
    int wlanSwitch = 0;
    if (getWlanSwitch(&wlanSwitch) != 0)
        WLOG("Get wlan switch failed in powersavingHandler\n");
    state.wlanOn = wlanSwitch == WLAN_SWITCH_ON ? 1 : 0;
    if (state.status == 1) {
        const char *fmt = "power_save_status enable, power_level: %d, disable_time: %d, wlan_enable: %d\n";
        WLOG(fmt, state.userLevel, state.userTime, state.wlanOn);
        SYSLOG(ANDROID_LOG_INFO, fmt, state.userLevel, state.userTime, state.wlanOn);
    } else {
        WLOG("power_save_status disable\n");
        SYSLOG(ANDROID_LOG_INFO, "power_save_status disable");
    }
    return 0;
}

int getAction(const Request &request, cJSON *response)
{
    return getPowerSave(request.preparedAs<PowerState>(), response);
}

int setAction(const Request &request, cJSON *)
{
    return wlanSetAnswer(setPowerSave(request.preparedAs<PowerState>(), request));
}

// What the key reader can hold: 7 characters of decimal text.
const int kKeyLeast = -999999;
const int kKeyMost = 9999999;

const Member kSetMembers[] = {
    anyInt32("enable", KAL_TEXT("1 on, 0 off; any other value changes nothing"))
        .otherwise(POLICY_TRUE_ONE)
        .byDefault(0)
        .logs("power save number out of range!!"),
    integer("powerLevel", kKeyLeast, kKeyMost, KAL_TEXT("transmit power level while on; 0 none"))
        .otherwise(POLICY_TRUE_ONE)
        .byDefault(0)
        .logs("power save number out of range!!"),
    integer("autoDisableTime", kKeyLeast, kKeyMost, KAL_TEXT("automatic switch-off time while on; 0 none"))
        .otherwise(POLICY_TRUE_ONE)
        .byDefault(0)
        .logs("power save number out of range!!"),
};

const ModuleAction kPowerSaveActions[] = {
    action(0, getAction, KAL_TEXT("read power saving: the switch and the user's level and time"), KAL_TEXT("enable:integer powerLevel:integer autoDisableTime:integer wlanOnOff:integer"))
        .result(0, KAL_TEXT("ok: the settings; an unreadable key reads 0")),
    wlanChangeResults(action(1, setAction, KAL_TEXT("switch power saving, or change its level and time while on"), KAL_TEXT(""), kSetMembers),
                      KAL_TEXT("ok: stored, or no state to change"), KAL_TEXT("refused: a number out of range; nothing stored")),
};

void trace(ModuleStep step, const MemberRefusal *refusal, const cJSON *)
{
    if (step == STEP_REFUSED) {
        WLOG("To set power save config...\n");
        SYSLOG(ANDROID_LOG_INFO, "To set power save config...");
        logWlanFailure(refusal->member->failure);
    }
    traceWlanStep(step, "powerSaveHandler", ANDROID_LOG_INFO);
}

}  // namespace

KAL_MODULE(powerSave) = {"power_save", actionsOf(kPowerSaveActions).preparedBy(readPowerState).tracedBy(trace).refusingWithEmptyObject(), NULL};
