// The "wan" section of the dashboard: registration, connection, addresses,
// radio, usage, speeds, limit, SIM and operator. An unreadable source takes
// its default and logs one line; the section is always complete.
#include "modules/status/status.h"

#include <stdio.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "platform/android_log.h"
#include "platform/flowstat.h"
#include "platform/mobile_client.h"
#include "platform/network_manager.h"
#include "server/utils.h"

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

void addRegisteredNetwork(cJSON *wan)
{
    int conn = 1;  // the call is handed the registration state
    if (!GetConnState(&conn)) {
        STATUS_LOG("Failed to get connection status\n");
        conn = 1;
    }
    cJSON_AddItemToObject(wan, "connectStatus", cJSON_CreateNumber(conn));

    Addresses a;
    resetAddresses(&a);
    if (get_wan_ipv4_config(a.address, a.dns1, a.dns2) != 0) {
        resetAddresses(&a);
        STATUS_LOG("Failed to get network config for ipv4\n");
    }
    terminate(&a);
    addAddresses(wan, &a, "ipv4", "dns1v4", "dns2v4");
    if (get_wan_ipv6_config(a.address, a.dns1, a.dns2) != 0) {
        resetAddresses(&a);
        STATUS_LOG("Failed to get network config for ipv6\n");
    }
    terminate(&a);
    addAddresses(wan, &a, "ipv6", "dns1v6", "dns2v6");

    int netType = 0, roam = 0, signal = 0;
    if (!GetNetType(&netType)) {
        STATUS_LOG("Failed to get network type\n");
        netType = 0;
    }
    if (!GetRoamStat(&roam)) {
        STATUS_LOG("Failed to get roam status\n");
        roam = 0;
    }
    if (!GetSigLevel(&signal)) {
        STATUS_LOG("Failed to get signal strength\n");
        signal = 0;
    }
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

    int reg = 0;
    if (!GetRegStat(&reg)) {
        STATUS_LOG("Failed to get register status\n");
        reg = 0;
    }
    if (reg == 1)
        addRegisteredNetwork(wan);
    else
        addUnregisteredNetwork(wan);

    int roamSwitch = 0;
    if (!GetRoamSwitch(&roamSwitch)) {
        STATUS_LOG("Failed to get roam switch status\n");
        roamSwitch = 0;
    }
    amountText(getMonthly, total, sizeof(total), "Failed to get total statistics\n");
    amountText(getDailyFlow, daily, sizeof(daily), "Failed to get daily statistics\n");
    int monthly = 0;
    if (isMonthlyEnable(&monthly) != 0) {
        STATUS_LOG("Failed to get monthly enable\n");
        monthly = 0;
    }
    speedText(getTxSpeed, tx, sizeof(tx), "Failed to get tx speed\n");
    speedText(getRxSpeed, rx, sizeof(rx), "Failed to get rx speed\n");
    int limit = 0;
    if (isLimitReached(&limit) != 0) {
        STATUS_LOG("Failed to get limit status\n");
        limit = 0;
    }
    int sim = 1;
    if (!GetSimStatusForWebStatus(&sim)) {
        STATUS_LOG("Failed to get sim status\n");
        sim = 1;
    }
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
