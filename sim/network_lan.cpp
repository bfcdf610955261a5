// Simulated network manager, LAN side. The record lives in
// <root>/sim/network/lan_config as "field=value" lines; each restart
// request is recorded in <root>/sim/network/lan_restarts with the record
// it would apply.
#include "platform/network_lan.h"
#include "platform/replace_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sim/sim_device.h"
#include "sim/sim_files.h"

namespace {

const char kRecordName[] = "network/lan_config";
const char kRestartJournal[] = "network/lan_restarts";

const lan_config kFactoryLan = {
    "192.168.0.1", "255.255.255.0", 1, "192.168.0.100", "192.168.0.199", 86400, "192.168.0.1", "0.0.0.0",
};

struct TextField {
    const char *name;
    size_t offset;
};

const TextField kTextFields[] = {
    {"address", offsetof(lan_config, address)},       {"netmask", offsetof(lan_config, netmask)},
    {"pool_start", offsetof(lan_config, pool_start)}, {"pool_end", offsetof(lan_config, pool_end)},
    {"dns1", offsetof(lan_config, dns1)},             {"dns2", offsetof(lan_config, dns2)},
};

// Every text field is 16 bytes.
const size_t kFieldSize = sizeof(lan_config::address);

int storeRecord(const lan_config *config, bool onlyWhenChanged)
{
    char path[512];
    char text[512];
    memset(text, 0, sizeof(text));
    if (simStatePath(path, sizeof(path), kRecordName) != 0)
        return -1;
    int n = snprintf(text, sizeof(text),
                     "address=%.15s\nnetmask=%.15s\ndhcp_enable=%d\npool_start=%.15s\npool_end=%.15s\n"
                     "lease_time=%d\ndns1=%.15s\ndns2=%.15s\n",
                     config->address, config->netmask, (int)config->dhcp_enable, config->pool_start,
                     config->pool_end, (int)config->lease_time, config->dns1, config->dns2);
    if (n < 0 || (size_t)n >= sizeof(text))
        return -1;
    if (onlyWhenChanged)
        return simWriteFileIfChanged(path, text, (size_t)n, 0644);
    return replaceFile(path, text, (size_t)n, 0644);
}

// Parses one "field=value" line into config; unknown fields are ignored,
// a text too long for its field makes the record unreadable.
bool parseLine(char *line, lan_config *config)
{
    char *eq = strchr(line, '=');
    if (eq == NULL)
        return line[0] == '\0';
    *eq = '\0';
    const char *value = eq + 1;
    if (strcmp(line, "dhcp_enable") == 0) {
        config->dhcp_enable = atoi(value);
        return true;
    }
    if (strcmp(line, "lease_time") == 0) {
        config->lease_time = atoi(value);
        return true;
    }
    for (const TextField &f : kTextFields) {
        if (strcmp(line, f.name) == 0) {
            if (strlen(value) >= kFieldSize)
                return false;
            char *field = (char *)config + f.offset;
            memset(field, 0, kFieldSize);
            memcpy(field, value, strlen(value));
            return true;
        }
    }
    return true;
}

}  // namespace

extern "C" int get_lan_config(lan_config *config)
{
    if (config == NULL)
        return -1;
    char path[512];
    char text[1024];
    memset(text, 0, sizeof(text));
    if (simStatePath(path, sizeof(path), kRecordName) != 0 || simReadFile(path, text, sizeof(text)) < 0)
        return -1;
    lan_config record;
    memset(&record, 0, sizeof(record));
    char *save = NULL;
    for (char *line = strtok_r(text, "\n", &save); line != NULL; line = strtok_r(NULL, "\n", &save)) {
        if (!parseLine(line, &record))
            return -1;
    }
    *config = record;
    return 0;
}

extern "C" int set_lan_config(const lan_config *config)
{
    if (config == NULL)
        return -1;
    // Only terminated fields are a record.
    for (const TextField &f : kTextFields) {
        if (memchr((const char *)config + f.offset, '\0', kFieldSize) == NULL)
            return -1;
    }
    return storeRecord(config, false);
}

extern "C" int send_restart_lan_msg(void)
{
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
}

int simLanSeed(void)
{
    char dir[512], path[512];
    if (simStatePath(dir, sizeof(dir), "network") != 0 || simMakeDirs(dir, 0755) != 0 ||
        simStatePath(path, sizeof(path), kRecordName) != 0)
        return -1;
    return simExists(path) ? 0 : storeRecord(&kFactoryLan, false);
}

int simLanRestoreFactory(void)
{
    return storeRecord(&kFactoryLan, true);
}
