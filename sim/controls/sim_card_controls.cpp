// SIM card: its state, PIN and counters in mobile/sim.json.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_card.h"
#include "sim/sim_state_files.h"

namespace {

const char kSimFile[] = SIM_CARD_FILE;

const char kRestartHint[] =
    "; a real device reads its SIM only at power-on: kal_sim power cycle powers it on with this card";

// The card's state in the words of the sim control.
const char *simStateWord(SimCardPhase phase)
{
    switch (phase) {
    case SIM_READY:
        return "ready";
    case SIM_NEEDS_PIN:
        return "pin-required";
    case SIM_NEEDS_PUK:
        return "puk-required";
    case SIM_ABSENT:
        return "absent";
    case SIM_BLOCKED:
        return "blocked";
    }
    return "unknown";
}

bool validPin(const char *pin)
{
    size_t len = strlen(pin);
    if (len < 4 || len > 8)
        return false;
    for (size_t i = 0; i < len; i++)
        if (!isdigit((unsigned char)pin[i]))
            return false;
    return true;
}

}  // namespace

int simControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    const char *state = argc >= 2 ? argv[1] : "";
    bool pinRequired = strcmp(state, "pin-required") == 0;
    if (!(argc == 2 && (strcmp(state, "ready") == 0 || strcmp(state, "puk-required") == 0 ||
                        strcmp(state, "absent") == 0)) &&
        !(argc == 3 && pinRequired))
        return say(message, size, CONTROL_REFUSED, "sim needs ready, pin-required PIN, puk-required or absent");
    if (pinRequired && !validPin(argv[2]))
        return say(message, size, CONTROL_REFUSED, "sim pin-required: the PIN must be 4 to 8 digits, not \"%s\"", quote(argv[2]).text);
    if (!apply)
        return CONTROL_OK;
    cJSON *changes = cJSON_CreateObject();
    if (changes == NULL)
        return say(message, size, CONTROL_FAILED, "out of memory");
    char done[64];
    memset(done, 0, sizeof(done));
    if (strcmp(state, "ready") == 0) {
        cJSON_AddStringToObject(changes, "state", "ready");
        cJSON_AddBoolToObject(changes, "pinLock", false);
        cJSON_AddNumberToObject(changes, "pinAttempts", SIM_PIN_TRIES);
        cJSON_AddNumberToObject(changes, "pukAttempts", SIM_PUK_TRIES);
        snprintf(done, sizeof(done), "SIM ready, PIN lock off");
    } else if (pinRequired) {
        cJSON_AddStringToObject(changes, "state", "pin_required");
        cJSON_AddBoolToObject(changes, "pinLock", true);
        cJSON_AddStringToObject(changes, "pin", argv[2]);
        cJSON_AddNumberToObject(changes, "pinAttempts", SIM_PIN_TRIES);
        cJSON_AddNumberToObject(changes, "pukAttempts", SIM_PUK_TRIES);
        snprintf(done, sizeof(done), "SIM asks for its PIN %s", argv[2]);
    } else if (strcmp(state, "puk-required") == 0) {
        cJSON_AddStringToObject(changes, "state", "puk_required");
        cJSON_AddBoolToObject(changes, "pinLock", true);
        cJSON_AddNumberToObject(changes, "pinAttempts", 0);
        cJSON_AddNumberToObject(changes, "pukAttempts", SIM_PUK_TRIES);
        snprintf(done, sizeof(done), "SIM asks for its PUK");
    } else {
        cJSON_AddStringToObject(changes, "state", "absent");
        snprintf(done, sizeof(done), "no SIM card");
    }
    int rc = changeObject(kSimFile, 0600, changes, message, size);
    return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "%s%s", done, kRestartHint) : rc;
}

void simShow(cJSON *out)
{
    SimCard card;
    if (simCardLoad(&card) == 0) {
        cJSON *simState = cJSON_AddObjectToObject(out, "sim");
        cJSON_AddStringToObject(simState, "state", simStateWord(card.phase));
        cJSON_AddStringToObject(simState, "pin", card.pin);
    }
}
