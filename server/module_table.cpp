// The whole command set of the server: module name -> handler, searched in
// this order.
#include "server/modules.h"

const ModuleEntry kModuleTable[] = {
    {"lan", lanHandler},
    {"log", logHandler},
    {"reboot", rebootHandler},
    {"restoreDefaults", restoreDefaultsHandler},
    {"status", statusHandler},
    {"storageShare", storageShareHandler},
    {"webServer", webServerHandler},
    {"wan", wanHandler},
    {"message", messageHandler},
    {"flowstat", flowstatHandler},
    {"simLock", simLockHandler},
    {"time", timeHandler},
    {"update", updateHandler},
    {"wlan", wlanHandler},
    {"connectedDevices", wlanConnectedDevicesHandler},
    {"macFilters", macFiltersHandler},
    {"power_save", powerSaveHandler},
};

const int kModuleCount = (int)(sizeof(kModuleTable) / sizeof(kModuleTable[0]));
