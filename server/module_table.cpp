// The whole command set of the server: every module, searched in this
// order. Each module's file defines its object with KAL_MODULE.
#include <string.h>

#include "server/handler.h"

#define KAL_MODULES(X)                                                                                        \
    X(lan) X(log) X(reboot) X(restoreDefaults) X(status) X(storageShare) X(webServer) X(wan) X(message)      \
        X(flowstat) X(simLock) X(time) X(update) X(wlan) X(connectedDevices) X(macFilters) X(powerSave)

#define KAL_DECLARE_MODULE(id) extern const Module id##Module;
#define KAL_LIST_MODULE(id) &id##Module,

KAL_MODULES(KAL_DECLARE_MODULE)

const Module *const kModules[] = {KAL_MODULES(KAL_LIST_MODULE)};

const int kModuleCount = (int)(sizeof(kModules) / sizeof(kModules[0]));

const Module *findModule(const char *name)
{
    for (int i = 0; i < kModuleCount; i++) {
        if (strcmp(kModules[i]->name, name) == 0)
            return kModules[i];
    }
    return NULL;
}
