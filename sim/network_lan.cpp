// Simulated network manager, LAN side. The record lives in
// <root>/sim/network/lan_config as "field=value" lines; each restart
// request is recorded in <root>/sim/network/lan_restarts with the record
// it would apply.
#include "platform/network_lan.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_getter.h"
#include "sim/sim_files.h"
#include "sim/sim_kv.h"

namespace {

const char kRecordName[] = "network/lan_config";
const char kRestartJournal[] = "network/lan_restarts";

const lan_config kFactoryLan = {
    "192.168.0.1", "255.255.255.0", 1, "192.168.0.100", "192.168.0.199", 86400, "192.168.0.1", "0.0.0.0",
};

// Every text field is 16 bytes.
const size_t kFieldSize = sizeof(lan_config::address);

const SimField kRecordFields[] = {
    {"address", SIM_FIELD_TEXT, offsetof(lan_config, address), kFieldSize},
    {"netmask", SIM_FIELD_TEXT, offsetof(lan_config, netmask), kFieldSize},
    {"dhcp_enable", SIM_FIELD_INT, offsetof(lan_config, dhcp_enable), 0},
    {"pool_start", SIM_FIELD_TEXT, offsetof(lan_config, pool_start), kFieldSize},
    {"pool_end", SIM_FIELD_TEXT, offsetof(lan_config, pool_end), kFieldSize},
    {"lease_time", SIM_FIELD_INT, offsetof(lan_config, lease_time), 0},
    {"dns1", SIM_FIELD_TEXT, offsetof(lan_config, dns1), kFieldSize},
    {"dns2", SIM_FIELD_TEXT, offsetof(lan_config, dns2), kFieldSize},
};

}  // namespace

extern "C" int get_lan_config(lan_config *config)
{
    return simServe(SIM_SERVICE_NETWORK_MANAGER, -1, [&] {
        if (config == NULL)
            return -1;
        // A text too long for its field makes the record unreadable.
        lan_config record;
        memset(&record, 0, sizeof(record));
        if (simKvLoad(kRecordName, SIM_FIELDS(kRecordFields), SIM_KV_STRICT, &record) != 0)
            return -1;
        *config = record;
        return 0;
    });
}

extern "C" int set_lan_config(const lan_config *config)
{
    return simServe(SIM_SERVICE_NETWORK_MANAGER, -1, [&] {
        if (config == NULL)
            return -1;
        // Only terminated fields are a record.
        for (const SimField &f : kRecordFields) {
            if (f.type == SIM_FIELD_TEXT && memchr((const char *)config + f.offset, '\0', kFieldSize) == NULL)
                return -1;
        }
        return simKvSave(kRecordName, SIM_FIELDS(kRecordFields), config, 0644, false);
    });
}

extern "C" int send_restart_lan_msg(void)
{
    return simServe(SIM_SERVICE_NETWORK_MANAGER, -1, [&] {
        lan_config config;
        memset(&config, 0, sizeof(config));
        if (get_lan_config(&config) != 0)
            return simJournalAppend(kRestartJournal, "restart failed: no LAN record");
        char line[256];
        memset(line, 0, sizeof(line));
        snprintf(line, sizeof(line), "restart address=%s netmask=%s dhcp=%d pool=%s-%s lease=%d dns=%s,%s",
                 config.address, config.netmask, (int)config.dhcp_enable, config.pool_start, config.pool_end,
                 (int)config.lease_time, config.dns1, config.dns2);
        return simJournalAppend(kRestartJournal, line);
    });
}

int simLanSeed(void)
{
    char dir[512], path[512];
    if (simStatePath(dir, sizeof(dir), "network") != 0 || simMakeDirs(dir, 0755) != 0 ||
        simStatePath(path, sizeof(path), kRecordName) != 0)
        return -1;
    return simExists(path) ? 0 : simKvSave(kRecordName, SIM_FIELDS(kRecordFields), &kFactoryLan, 0644, false);
}

int simLanRestoreFactory(void)
{
    return simKvSave(kRecordName, SIM_FIELDS(kRecordFields), &kFactoryLan, 0644, true);
}
