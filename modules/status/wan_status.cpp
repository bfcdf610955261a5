// The "wan" section of the dashboard: registration, connection, addresses,
// radio, usage, speeds, limit, SIM and operator. An unreadable source takes
// its default and logs one line; the section is always complete.
#include "modules/status/status.h"

#include <stdio.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "common/text.h"
#include "platform/android_log.h"
#include "platform/flowstat.h"
#include "platform/mobile_client.h"
#include "platform/network_manager.h"

#define STATUS_TAG "STATUS"
#define STATUS_LOG(text) __android_log_print(ANDROID_LOG_INFO, STATUS_TAG, "%s", text)

namespace {

const char kNoAddress[] = "0.0.0.0";

struct Addresses {
    char address[NETMGR_ADDRESS_SIZE];
    char dns1[NETMGR_ADDRESS_SIZE];
    char dns2[NETMGR_ADDRESS_SIZE];
};

void resetAddresses(Addresses *a)
{
    memset(a, 0, sizeof(*a));
    copyText(a->address, kNoAddress, sizeof(a->address));
    copyText(a->dns1, kNoAddress, sizeof(a->dns1));
    copyText(a->dns2, kNoAddress, sizeof(a->dns2));
}

// The service writes terminated texts; a terminator is forced anyway so a
// misbehaving one can never make us read past the buffers.
void terminate(Addresses *a)
{
    a->address[sizeof(a->address) - 1] = '\0';
    a->dns1[sizeof(a->dns1) - 1] = '\0';
    a->dns2[sizeof(a->dns2) - 1] = '\0';
}

void addAddresses(cJSON *wan, const Addresses *a, const char *ip, const char *dns1, const char *dns2)
{
    cJSON_AddItemToObject(wan, ip, cJSON_CreateString(a->address));
    cJSON_AddItemToObject(wan, dns1, cJSON_CreateString(a->dns1));
    cJSON_AddItemToObject(wan, dns2, cJSON_CreateString(a->dns2));
}

// The addresses of one IP version; "0.0.0.0" after a log line when the
// network manager cannot say.
void addConfig(cJSON *wan, int (*get)(char *, char *, char *), const char *failure, const char *ip,
               const char *dns1, const char *dns2)
{
    Addresses a;
    resetAddresses(&a);
    if (get(a.address, a.dns1, a.dns2) != 0) {
        resetAddresses(&a);
        STATUS_LOG(failure);
    }
    terminate(&a);
    addAddresses(wan, &a, ip, dns1, dns2);
}

// Where a reading comes from: mobile service calls answer nonzero when they
// succeed, flow statistics calls 0.
enum Source { MOBILE_SERVICE, FLOW_STATISTICS };

// The reading of get, handed fallback first; fallback again after a log line
// when the source cannot say.
int reading(Source source, int (*get)(int *), int fallback, const char *failure)
{
    int value = fallback;
    int answer = get(&value);
    if (source == MOBILE_SERVICE ? answer == 0 : answer != 0) {
        STATUS_LOG(failure);
        value = fallback;
    }
    return value;
}

void addRegisteredNetwork(cJSON *wan)
{
    // The call is handed the registration state.
    int conn = reading(MOBILE_SERVICE, GetConnState, 1, "Failed to get connection status\n");
    cJSON_AddItemToObject(wan, "connectStatus", cJSON_CreateNumber(conn));

    addConfig(wan, get_wan_ipv4_config, "Failed to get network config for ipv4\n", "ipv4", "dns1v4", "dns2v4");
    addConfig(wan, get_wan_ipv6_config, "Failed to get network config for ipv6\n", "ipv6", "dns1v6", "dns2v6");

    int netType = reading(MOBILE_SERVICE, GetNetType, 0, "Failed to get network type\n");
    int roam = reading(MOBILE_SERVICE, GetRoamStat, 0, "Failed to get roam status\n");
    int signal = reading(MOBILE_SERVICE, GetSigLevel, 0, "Failed to get signal strength\n");
    cJSON_AddItemToObject(wan, "networkType", cJSON_CreateNumber(netType));
    cJSON_AddItemToObject(wan, "roaming", cJSON_CreateNumber(roam));
    cJSON_AddItemToObject(wan, "signalStrength", cJSON_CreateNumber(signal));
}

void addUnregisteredNetwork(cJSON *wan)
{
    Addresses a;
    resetAddresses(&a);
    cJSON_AddItemToObject(wan, "connectStatus", cJSON_CreateNumber(1));
    addAddresses(wan, &a, "ipv4", "dns1v4", "dns2v4");
    addAddresses(wan, &a, "ipv6", "dns1v6", "dns2v6");
    cJSON_AddItemToObject(wan, "networkType", cJSON_CreateNumber(0));
    cJSON_AddItemToObject(wan, "roaming", cJSON_CreateNumber(0));
    cJSON_AddItemToObject(wan, "signalStrength", cJSON_CreateNumber(0));
}

// An amount of data (or a speed) as text; "0" after a log line when the
// flow statistics cannot say.
void amountText(int (*get)(double *), char *out, size_t size, const char *failure)
{
    double amount = 0.0;
    if (get(&amount) == 0) {
        formatAmount(out, size, amount);
    } else {
        copyText(out, "0", size);
        STATUS_LOG(failure);
    }
}

void speedText(int (*get)(unsigned long *), char *out, size_t size, const char *failure)
{
    unsigned long speed = 0;
    if (get(&speed) == 0) {
        formatSpeed(out, size, speed);
    } else {
        copyText(out, "0", size);
        STATUS_LOG(failure);
    }
}

}  // namespace

void formatSpeed(char *out, size_t size, unsigned long speed)
{
    memset(out, 0, size);
    snprintf(out, size, "%lu", (unsigned long)FLOW_SPEED(speed));
}

int fillWanStatus(cJSON *wan)
{
    if (wan == NULL)
        return 0;
    char total[32], daily[32], tx[32], rx[32], operatorName[32];
    memset(total, 0, sizeof(total));
    memset(daily, 0, sizeof(daily));
    memset(tx, 0, sizeof(tx));
    memset(rx, 0, sizeof(rx));
    memset(operatorName, 0, sizeof(operatorName));

    int reg = reading(MOBILE_SERVICE, GetRegStat, 0, "Failed to get register status\n");
    if (reg == 1)
        addRegisteredNetwork(wan);
    else
        addUnregisteredNetwork(wan);

    int roamSwitch = reading(MOBILE_SERVICE, GetRoamSwitch, 0, "Failed to get roam switch status\n");
    amountText(getMonthly, total, sizeof(total), "Failed to get total statistics\n");
    amountText(getDailyFlow, daily, sizeof(daily), "Failed to get daily statistics\n");
    int monthly = reading(FLOW_STATISTICS, isMonthlyEnable, 0, "Failed to get monthly enable\n");
    speedText(getTxSpeed, tx, sizeof(tx), "Failed to get tx speed\n");
    speedText(getRxSpeed, rx, sizeof(rx), "Failed to get rx speed\n");
    int limit = reading(FLOW_STATISTICS, isLimitReached, 0, "Failed to get limit status\n");
    int sim = reading(MOBILE_SERVICE, GetSimStatusForWebStatus, 1, "Failed to get sim status\n");
    char name[64];
    memset(name, 0, sizeof(name));
    if (GetOperatorName(name)) {
        name[sizeof(name) - 1] = '\0';
        copyText(operatorName, name, sizeof(operatorName));
    } else {
        STATUS_LOG("Failed to get operator name\n");
    }

    cJSON_AddItemToObject(wan, "registerStatus", cJSON_CreateNumber(reg));
    cJSON_AddItemToObject(wan, "dualIPVersionSupport", cJSON_CreateTrue());
    cJSON_AddItemToObject(wan, "roamingEnabled", cJSON_CreateBool(roamSwitch != 0));
    cJSON_AddItemToObject(wan, "totalStatistics", cJSON_CreateString(total));
    cJSON_AddItemToObject(wan, "dailyStatistics", cJSON_CreateString(daily));
    cJSON_AddItemToObject(wan, "enablePaymentDay", cJSON_CreateBool(monthly != 0));
    cJSON_AddItemToObject(wan, "txSpeed", cJSON_CreateString(tx));
    cJSON_AddItemToObject(wan, "rxSpeed", cJSON_CreateString(rx));
    cJSON_AddItemToObject(wan, "dataLimit", cJSON_CreateNumber(limit));
    cJSON_AddItemToObject(wan, "simStatus", cJSON_CreateNumber(sim));
    cJSON_AddItemToObject(wan, "operatorName", cJSON_CreateString(operatorName));
    return 1;
}
