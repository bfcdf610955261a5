// The whole command set of the server: module name -> handler, searched in
// this order.
#include "server/modules.h"

const ModuleEntry kModuleTable[] = {
    {"lan", nullptr},
    {"log", nullptr},
    {"reboot", nullptr},
    {"restoreDefaults", nullptr},
    {"status", nullptr},
    {"storageShare", nullptr},
    {"webServer", webServerHandler},
    {"wan", nullptr},
    {"message", nullptr},
    {"flowstat", flowstatHandler},
    {"simLock", nullptr},
    {"time", nullptr},
    {"update", nullptr},
    {"wlan", nullptr},
    {"connectedDevices", nullptr},
    {"macFilters", nullptr},
    {"power_save", nullptr},
};

const int kModuleCount = (int)(sizeof(kModuleTable) / sizeof(kModuleTable[0]));
