// Module handlers and the module table that the dispatcher searches.
#pragma once

#include <cjson/cJSON.h>

// A handler reads request, fills response and returns an int that the
// dispatcher ignores. Neither object may be deleted by the handler.
typedef int (*ModuleHandler)(cJSON *request, cJSON *response);

struct ModuleEntry {
    char name[32];
    ModuleHandler handler;  // null while the module is not built
};

extern const ModuleEntry kModuleTable[];
extern const int kModuleCount;

int lanHandler(cJSON *request, cJSON *response);
int logHandler(cJSON *request, cJSON *response);
int rebootHandler(cJSON *request, cJSON *response);
int restoreDefaultsHandler(cJSON *request, cJSON *response);
int statusHandler(cJSON *request, cJSON *response);
int storageShareHandler(cJSON *request, cJSON *response);
int webServerHandler(cJSON *request, cJSON *response);
int wanHandler(cJSON *request, cJSON *response);
int messageHandler(cJSON *request, cJSON *response);
int flowstatHandler(cJSON *request, cJSON *response);
int simLockHandler(cJSON *request, cJSON *response);
int timeHandler(cJSON *request, cJSON *response);
int updateHandler(cJSON *request, cJSON *response);
int wlanHandler(cJSON *request, cJSON *response);
int wlanConnectedDevicesHandler(cJSON *request, cJSON *response);
int macFiltersHandler(cJSON *request, cJSON *response);
int powerSaveHandler(cJSON *request, cJSON *response);
