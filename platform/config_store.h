// Configuration store: device settings as texts under small integer keys.
// Numbers travel as decimal text ("%d" in, atoi out).
#pragma once

// Keys the modules use, by their store names.
enum {
    CFG_FACTORY_DEFAULT_FLAG = 10,
    CFG_LANGUAGE = 11,
    CFG_SIM_CARD_STATE = 21,
    CFG_SIM_PIN_STATE = 25,
    CFG_SIM_PIN_ATTEMPTS = 26,
    CFG_SIM_PUK_ATTEMPTS = 27,
    CFG_SIM_AUTO_UNLOCK = 28,
    CFG_SIM_PIN = 29,
    MOBILE_STAT_REGION = 85,
    CFG_PRODUCT_ID = 88,
    CFG_PRODUCT_NAME = 89,
    CFG_HARDWARE_VERSION = 90,
    CFG_FIRMWARE_VERSION = 91,
    CFG_FIRMWARE_BUILD = 92,
    PI_PRODUCT_REGION = 93,
    CFG_BATTERY_LEVEL = 119,
    CFG_BATTERY_CHARGING = 120,
    CFG_BATTERY_HEALTH = 121,
    CFG_IMEI = 122,
    CFG_MAC_ADDRESS = 123,
    CFG_SD_ACCESS_MODE = 126,
    WLAN_FACTORY_FLAG = 127,
    WLAN_DISABLE_TIME = 128,
    WLAN_POWER_SAVE_STATUS = 129,
    WLAN_DISABLE_TIME_USER = 130,
    WLAN_POWER_LEVEL = 131,
    WLAN_POWER_LEVEL_USER = 132,
    WLAN_IS_ACL_CHANGED = 140,
    CFG_STORAGE_SHARE_USER = 141,
    CFG_STORAGE_SHARE_PASSWORD = 142,
};

extern "C" {
// Copies the key's value into buffer as a NUL-terminated text of at most
// size bytes. Returns 0, or -1 (buffer then unused).
int get_config_data(int key, char *buffer, int size);
// Stores length bytes of value as the key's new value. Returns 0 or -1.
int set_config_data_permanent(int key, const char *value, int length);
}
