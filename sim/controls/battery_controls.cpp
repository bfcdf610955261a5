// Battery: configuration keys 119 (level) and 120 (charging).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "platform/config_store.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"

int batteryControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    long level = 0;
    if (argc < 2 || argc > 3 || !parseInt(argv[1], 0, 100, &level))
        return say(message, size, CONTROL_REFUSED, "battery needs a level from 0 to 100, then --charging or --not-charging");
    int charging = -1;
    if (argc == 3) {
        if (strcmp(argv[2], "--charging") == 0)
            charging = 1;
        else if (strcmp(argv[2], "--not-charging") == 0)
            charging = 0;
        else
            return say(message, size, CONTROL_REFUSED, "battery: unknown option \"%s\" (--charging or --not-charging)",
                       quote(argv[2]).text);
    }
    if (!apply)
        return CONTROL_OK;
    // Through the configuration store, which keeps each key in a file of its own.
    char text[8];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%ld", level);
    if (set_config_data_permanent(CFG_BATTERY_LEVEL, text, (int)strlen(text)) != 0 ||
        (charging >= 0 && set_config_data_permanent(CFG_BATTERY_CHARGING, charging ? "1" : "0", 1) != 0))
        return say(message, size, CONTROL_FAILED, "cannot write the battery's configuration keys %d and %d",
                   CFG_BATTERY_LEVEL, CFG_BATTERY_CHARGING);
    if (charging < 0)
        return say(message, size, CONTROL_OK, "battery at %ld %%", level);
    return say(message, size, CONTROL_OK, "battery at %ld %%, %s", level, charging ? "charging" : "not charging");
}

void batteryShow(cJSON *out)
{
    char text[64];
    cJSON *battery = cJSON_AddObjectToObject(out, "battery");
    readKey(CFG_BATTERY_LEVEL, text, sizeof(text), "0");
    cJSON_AddNumberToObject(battery, "level", atoi(text));
    readKey(CFG_BATTERY_CHARGING, text, sizeof(text), "0");
    cJSON_AddBoolToObject(battery, "charging", strcmp(text, "1") == 0);
}
