// Simulated configuration store: one file per key under <root>/sim/config/,
// named by the key's number and holding its text value exactly (no newline).
#include "common/replace_file.h"
#include "platform/config_store.h"

#include <stdio.h>
#include <string.h>

#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_files.h"
#include "sim/sim_getter.h"

namespace {

// Longest value the store keeps.
const int kMaxValue = 4096;
// The PIN lives here for automatic unlock: keep every value owner-only.
const mode_t kKeyMode = 0600;

struct FactoryValue {
    int key;
    const char *value;
};

// Factory state of a new simulated device (documented in the README).
const FactoryValue kFactory[] = {
    {CFG_FACTORY_DEFAULT_FLAG, "0"},
    {CFG_LANGUAGE, "en"},
    {CFG_SIM_CARD_STATE, "1"},
    {CFG_SIM_PIN_STATE, "0"},
    {CFG_SIM_PIN_ATTEMPTS, "3"},
    {CFG_SIM_PUK_ATTEMPTS, "10"},
    {CFG_SIM_AUTO_UNLOCK, "0"},
    {MOBILE_STAT_REGION, "null"},
    {CFG_PRODUCT_ID, "MH4G-100"},
    {CFG_PRODUCT_NAME, "4G Mobile Hotspot"},
    {CFG_HARDWARE_VERSION, "1.0"},
    {CFG_FIRMWARE_VERSION, "1.0.0"},
    {CFG_FIRMWARE_BUILD, "20261201"},
    {PI_PRODUCT_REGION, "UN"},
    {CFG_BATTERY_LEVEL, "80"},
    {CFG_BATTERY_CHARGING, "0"},
    {CFG_BATTERY_HEALTH, "0"},
    {CFG_IMEI, "356938035643809"},
    {CFG_MAC_ADDRESS, "02:00:00:4d:48:01"},
    {CFG_SD_ACCESS_MODE, "0"},
    {WLAN_FACTORY_FLAG, "1"},
    {WLAN_DISABLE_TIME, "10"},
    {WLAN_POWER_SAVE_STATUS, "0"},
    {WLAN_DISABLE_TIME_USER, "10"},
    {WLAN_POWER_LEVEL, "2"},
    {WLAN_POWER_LEVEL_USER, "2"},
    {WLAN_IS_ACL_CHANGED, "0"},
    {CFG_STORAGE_SHARE_USER, "admin"},
    {CFG_STORAGE_SHARE_PASSWORD, "admin"},
};

int keyPath(char *out, size_t size, int key)
{
    if (key < 0 || key > 9999)
        return -1;
    char name[32];
    memset(name, 0, sizeof(name));
    snprintf(name, sizeof(name), "config/%d", key);
    return simStatePath(out, size, name);
}

int storeValue(int key, const char *value, int length)
{
    char path[512];
    if (keyPath(path, sizeof(path), key) != 0)
        return -1;
    return replaceFile(path, value, (size_t)length, kKeyMode);
}

}  // namespace

extern "C" int get_config_data(int key, char *buffer, int size)
{
    return simServe(SIM_SERVICE_CONFIG_STORE, -1, [&] {
        if (buffer == NULL || size <= 0)
            return -1;
        char path[512];
        if (keyPath(path, sizeof(path), key) != 0)
            return -1;
        char value[kMaxValue + 1];
        if (simReadFile(path, value, sizeof(value)) < 0)
            return -1;
        memset(buffer, 0, (size_t)size);
        strncpy(buffer, value, (size_t)size - 1);
        return 0;
    });
}

extern "C" int set_config_data_permanent(int key, const char *value, int length)
{
    return simServe(SIM_SERVICE_CONFIG_STORE, -1, [&] {
        if (length < 0 || length > kMaxValue || (value == NULL && length > 0))
            return -1;
        // A value is a text: it ends at its first NUL.
        int textLength = (int)strnlen(value != NULL ? value : "", (size_t)length);
        return storeValue(key, value, textLength);
    });
}

int simConfigSeed(void)
{
    char dir[512];
    if (simStatePath(dir, sizeof(dir), "config") != 0 || simMakeDirs(dir, 0700) != 0)
        return -1;
    for (const FactoryValue &f : kFactory) {
        char path[512];
        if (keyPath(path, sizeof(path), f.key) != 0)
            return -1;
        if (!simExists(path) && storeValue(f.key, f.value, (int)strlen(f.value)) != 0)
            return -1;
    }
    return 0;
}

int simConfigRestoreFactory(void)
{
    // Most keys still hold their factory value (the device's identity never
    // changes): only the others are replaced, each a file replace.
    for (const FactoryValue &f : kFactory) {
        char path[512];
        if (keyPath(path, sizeof(path), f.key) != 0 ||
            replaceFile(path, f.value, strlen(f.value), kKeyMode) != 0)
            return -1;
    }
    return 0;
}
