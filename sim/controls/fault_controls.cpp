// Faults on demand: a platform service that fails every call, or answers
// late, kept in <root>/sim/faults (sim/sim_faults.h).
#include <stdio.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_faults.h"

namespace {

// "mobile fail, flowstat slow 500", or "" when none is set.
void describe(const SimFault faults[SIM_SERVICE_COUNT], char *out, size_t size)
{
    memset(out, 0, size);
    size_t len = 0;
    for (int i = 0; i < SIM_SERVICE_COUNT && len < size; i++) {
        int n = 0;
        if (faults[i].kind == SIM_FAULT_FAIL)
            n = snprintf(out + len, size - len, "%s%s fail", len > 0 ? ", " : "", simServiceName(i));
        else if (faults[i].kind == SIM_FAULT_SLOW)
            n = snprintf(out + len, size - len, "%s%s slow %d ms", len > 0 ? ", " : "", simServiceName(i),
                         faults[i].delayMs);
        if (n > 0)
            len += (size_t)n;
    }
}

void serviceNames(char *out, size_t size)
{
    memset(out, 0, size);
    size_t len = 0;
    for (int i = 0; i < SIM_SERVICE_COUNT && len < size; i++) {
        int n = snprintf(out + len, size - len, "%s%s", i > 0 ? ", " : "", simServiceName(i));
        if (n > 0)
            len += (size_t)n;
    }
}

}  // namespace

int faultControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    bool list = argc == 2 && strcmp(argv[1], "list") == 0;
    bool clearAll = argc == 2 && strcmp(argv[1], "clear") == 0;
    int service = argc >= 3 ? simServiceByName(argv[1]) : -1;
    const char *kind = argc >= 3 ? argv[2] : "";
    long delay = 0;
    bool fail = argc == 3 && strcmp(kind, "fail") == 0;
    bool clear = argc == 3 && strcmp(kind, "clear") == 0;
    bool slow = argc == 4 && strcmp(kind, "slow") == 0;
    if (!list && !clearAll && !fail && !clear && !slow)
        return say(message, size, CONTROL_REFUSED, "fault needs: SERVICE fail, SERVICE slow MS, SERVICE clear, clear or list");
    if (argc >= 3 && service < 0) {
        char names[256];
        serviceNames(names, sizeof(names));
        return say(message, size, CONTROL_REFUSED, "fault: unknown service \"%s\" (%s)", quote(argv[1]).text, names);
    }
    if (slow && !parseInt(argv[3], 0, SIM_FAULT_MAX_DELAY_MS, &delay))
        return say(message, size, CONTROL_REFUSED, "fault: slow needs a delay from 0 to %d ms", SIM_FAULT_MAX_DELAY_MS);
    if (!apply)
        return CONTROL_OK;

    SimFault faults[SIM_SERVICE_COUNT];
    char path[600];
    statePath(path, sizeof(path), SIM_FAULTS_FILE, message, size);
    if (simFaultsRead(faults) != 0)
        return say(message, size, CONTROL_FAILED, "cannot read %s", path);
    char text[512];
    if (list) {
        describe(faults, text, sizeof(text));
        return say(message, size, CONTROL_OK, "%s", text[0] != '\0' ? text : "no faults: every service answers");
    }
    if (clearAll) {
        memset(faults, 0, sizeof(faults));
    } else {
        faults[service].kind = fail ? SIM_FAULT_FAIL : slow ? SIM_FAULT_SLOW : SIM_FAULT_NONE;
        faults[service].delayMs = slow ? (int)delay : 0;
    }
    if (simFaultsWrite(faults) != 0)
        return say(message, size, CONTROL_FAILED, "cannot write %s", path);
    if (clearAll)
        return say(message, size, CONTROL_OK, "no faults: every service answers");
    if (fail)
        return say(message, size, CONTROL_OK, "%s: every call fails", argv[1]);
    if (slow)
        return say(message, size, CONTROL_OK, "%s: each request reaching it waits %ld ms", argv[1], delay);
    return say(message, size, CONTROL_OK, "%s answers as usual", argv[1]);
}

void faultShow(cJSON *out)
{
    cJSON *services = cJSON_AddArrayToObject(out, "services");
    for (int i = 0; i < SIM_SERVICE_COUNT; i++)
        cJSON_AddItemToArray(services, cJSON_CreateString(simServiceName(i)));
    SimFault faults[SIM_SERVICE_COUNT];
    cJSON *shown = cJSON_AddObjectToObject(out, "faults");
    if (simFaultsRead(faults) != 0)
        return;
    for (int i = 0; i < SIM_SERVICE_COUNT; i++) {
        if (faults[i].kind == SIM_FAULT_FAIL) {
            cJSON_AddStringToObject(shown, simServiceName(i), "fail");
        } else if (faults[i].kind == SIM_FAULT_SLOW) {
            char text[32];
            memset(text, 0, sizeof(text));
            snprintf(text, sizeof(text), "slow %d", faults[i].delayMs);
            cJSON_AddStringToObject(shown, simServiceName(i), text);
        }
    }
}
