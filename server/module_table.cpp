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
    {"flowstat", nullptr},
    {"simLock", nullptr},
    {"time", nullptr},
    {"update", nullptr},
    {"wlan", wlanHandler},
    {"connectedDevices", wlanConnectedDevicesHandler},
    {"macFilters", macFiltersHandler},
    {"power_save", powerSaveHandler},
};

const int kModuleCount = (int)(sizeof(kModuleTable) / sizeof(kModuleTable[0]));
