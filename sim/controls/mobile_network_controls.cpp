// Mobile network: signal, registration and roaming, members of modem.json.
#include <stdio.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_device.h"
#include "sim/sim_state_files.h"

namespace {

const char kModemFile[] = SIM_MODEM_FILE;
const int kMaxSignalLevel = 5;  // bars

// Sets one member of modem.json and says what it means.
int changeModem(cJSON *changes, const char *done, char *message, size_t size)
{
    int rc = changeObject(kModemFile, 0644, changes, message, size);
    return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "%s", done) : rc;
}

// registration and roaming: on or off.
int modemSwitch(int argc, const char *const argv[], bool apply, const char *member, const char *onText,
                const char *offText, char *message, size_t size)
{
    bool on = false;
    if (argc != 2 || !onOff(argv[1], &on))
        return say(message, size, CONTROL_REFUSED, "%s needs on or off", argv[0]);
    if (!apply)
        return CONTROL_OK;
    cJSON *changes = cJSON_CreateObject();
    if (changes == NULL)
        return say(message, size, CONTROL_FAILED, "out of memory");
    cJSON_AddBoolToObject(changes, member, on);
    return changeModem(changes, on ? onText : offText, message, size);
}

}  // namespace

int signalControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    long level = 0;
    if (argc != 2 || !parseInt(argv[1], 0, kMaxSignalLevel, &level))
        return say(message, size, CONTROL_REFUSED, "signal needs a level from 0 to %d", kMaxSignalLevel);
    if (!apply)
        return CONTROL_OK;
    cJSON *changes = cJSON_CreateObject();
    if (changes == NULL)
        return say(message, size, CONTROL_FAILED, "out of memory");
    cJSON_AddNumberToObject(changes, "signalLevel", (double)level);
    char done[32];
    memset(done, 0, sizeof(done));
    snprintf(done, sizeof(done), "signal level %ld", level);
    return changeModem(changes, done, message, size);
}

int registrationControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    return modemSwitch(argc, argv, apply, "registered", "registered on the network", "not registered (no service)",
                       message, size);
}

int roamingControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    return modemSwitch(argc, argv, apply, "roamingNetwork", "on a visited network (roaming)", "on the home network",
                       message, size);
}

void mobileNetworkShow(cJSON *out)
{
    // Through the stand-in's own reader: members left out of the file take
    // their factory values.
    int signal = 0;
    bool registered = false, roaming = false;
    if (simModemRadio(&signal, &registered, &roaming) == 0) {
        cJSON_AddNumberToObject(out, "signal", signal);
        cJSON_AddBoolToObject(out, "registration", registered);
        cJSON_AddBoolToObject(out, "roaming", roaming);
    }
}
