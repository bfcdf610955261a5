// Simulated network manager, WAN side. The addresses the mobile network
// hands out are in <root>/sim/network/wan, "name=value" lines; they are
// reported only while the simulated mobile data connection is up.
#include "platform/network_manager.h"

#include <stdio.h>
#include <string.h>

#include "common/replace_file.h"
#include "platform/mobile_client.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_files.h"
#include "sim/sim_getter.h"
#include "sim/sim_kv.h"

namespace {

const char kFactoryWan[] =
    "ipv4=10.64.23.117\n"
    "ipv4_dns1=10.64.0.1\n"
    "ipv4_dns2=10.64.0.2\n"
    "ipv6=2001:db8:4d48:1::17\n"
    "ipv6_dns1=2001:db8:4d48::53\n"
    "ipv6_dns2=2001:db8:4d48::54\n";

int wanPath(char *out, size_t size)
{
    return simStatePath(out, size, "network/wan");
}

int wanConfig(const char *family, char *address, char *dns1, char *dns2)
{
    if (address == NULL || dns1 == NULL || dns2 == NULL || !simWanConnected())
        return -1;
    char path[512];
    char text[2048];
    if (wanPath(path, sizeof(path)) != 0 || simReadFile(path, text, sizeof(text)) < 0)
        return -1;
    char name[32];
    memset(name, 0, sizeof(name));
    simKvValue(text, family, address, NETMGR_ADDRESS_SIZE);
    snprintf(name, sizeof(name), "%s_dns1", family);
    simKvValue(text, name, dns1, NETMGR_ADDRESS_SIZE);
    snprintf(name, sizeof(name), "%s_dns2", family);
    simKvValue(text, name, dns2, NETMGR_ADDRESS_SIZE);
    return 0;
}

}  // namespace

int simNetworkSeed(void)
{
    char path[512];
    if (simStatePath(path, sizeof(path), "network") != 0 || simMakeDirs(path, 0755) != 0)
        return -1;
    if (wanPath(path, sizeof(path)) != 0)
        return -1;
    if (simExists(path))
        return 0;
    return replaceFile(path, kFactoryWan, strlen(kFactoryWan), 0644);
}

// The WAN is up exactly when the simulated modem has a data connection.
int simWanConnected(void)
{
    int state = 0;
    const int connected = 2;  // the mobile service's "connected" state
    return GetConnState(&state) && state == connected ? 1 : 0;
}

extern "C" int get_wan_ipv4_config(char *address, char *dns1, char *dns2)
{
    return simServe(SIM_SERVICE_NETWORK_MANAGER, -1, [&] {
        return wanConfig("ipv4", address, dns1, dns2);
    });
}

extern "C" int get_wan_ipv6_config(char *address, char *dns1, char *dns2)
{
    return simServe(SIM_SERVICE_NETWORK_MANAGER, -1, [&] {
        return wanConfig("ipv6", address, dns1, dns2);
    });
}
