// The table of the device controls and what runs a row. Every control reads
// the state file it changes afresh, changes the members it owns and
// replaces the file whole, so members a developer added by hand survive;
// it does so holding the device's lock, as the server's simulated platform
// does around its own changes, so that neither undoes the other's.
#include "sim/controls/device_controls.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_faults.h"
#include "sim/sim_files.h"
#include "sim/sim_lock.h"

namespace {

const ControlRow kControls[] = {
    {"battery", batteryControl, "LEVEL [--charging|--not-charging]", "level 0-100", batteryShow, true},
    {"signal", signalControl, "LEVEL", "signal bars 0-5", mobileNetworkShow, true},
    {"registration", registrationControl, "on|off", "the network accepts the card or not", NULL, true},
    {"roaming", roamingControl, "on|off", "the network in use is a visited one", NULL, true},
    {"sim", simControl, "ready|pin-required PIN|puk-required|absent", "", simShow, true},
    {"sms", smsControl, "receive NUMBER TEXT", "an unread incoming message", smsShow, true},
    {"station", stationControl, "add MAC [NAME] | station remove MAC | station clear", "", stationShow, true},
    {"sdcard", sdcardControl, "in|out", "", sdcardShow, true},
    {"update", updateControl, "offer VERSION [NOTE] | update none", "a firmware update on the update server",
     updateShow, true},
    {"wifi", wifiControl, "reachable|unreachable", "the Wi-Fi manager accepts connections or not", wifiShow, true},
    // Not under the lock: the server's start-up takes it.
    {"power", powerControl, "cycle", "off and on as after a power cut: the server starts again", powerShow, false},
    {"fault", faultControl, "SERVICE fail|slow MS|clear | fault clear | fault list",
     "a platform service fails every call, or answers MS (0-10000) late", faultShow, true},
    {"snapshot", snapshotControl, "save NAME | snapshot restore NAME | snapshot delete NAME | snapshot list",
     "the whole device, kept under $KAL_ROOT/sim-snapshots", snapshotShow, true},
    {"reset", resetControl, "", "the factory state, as a new device", NULL, true},
    // Not under the lock: a scenario's steps each take it.
    {"scenario", scenarioControl, "FILE | scenario start FILE | scenario stop",
     "plays a timeline of controls (start/stop: in kal_http)", scenarioShow, false},
};

const int kUsageColumn = 44;

const ControlRow *findRow(const char *word)
{
    for (const ControlRow &row : kControls)
        if (strcmp(row.word, word) == 0)
            return &row;
    return NULL;
}

// The controls change a simulated device that kal_server has created.
bool deviceExists(char *message, size_t size)
{
    if (kalRoot()[0] == '\0') {
        say(message, size, CONTROL_FAILED, "KAL_ROOT is not set: point it at the simulated device's root");
        return false;
    }
    char dir[600];
    if (simStatePath(dir, sizeof(dir), "config") != 0 || !simExists(dir)) {
        say(message, size, CONTROL_FAILED, "no simulated device under %s: start kal_server once to create it", kalRoot());
        return false;
    }
    return true;
}

int checkWords(int argc, const char *const argv[], const ControlRow **row, char *message, size_t size)
{
    if (argc < 1 || argv == NULL || argv[0] == NULL)
        return say(message, size, CONTROL_REFUSED, "no control given");
    for (int i = 0; i < argc; i++)
        if (argv[i] == NULL)
            return say(message, size, CONTROL_REFUSED, "missing word %d", i + 1);
    *row = findRow(argv[0]);
    if (*row == NULL)
        return say(message, size, CONTROL_REFUSED, "unknown control \"%s\"", quote(argv[0]).text);
    return CONTROL_OK;
}

// The listings change nothing: they take no lock.
bool onlyReads(int argc, const char *const argv[])
{
    return argc == 2 && strcmp(argv[1], "list") == 0 && (strcmp(argv[0], "fault") == 0 || strcmp(argv[0], "snapshot") == 0);
}

// The controls' values as JSON text.
char *showControls(char *message, size_t size)
{
    cJSON *out = cJSON_CreateObject();
    if (out == NULL)
        return NULL;
    for (const ControlRow &row : kControls)
        if (row.show != NULL)
            row.show(out);
    char *printed = cJSON_Print(out);
    cJSON_Delete(out);
    if (printed == NULL)
        say(message, size, CONTROL_FAILED, "out of memory");
    return printed;
}

void appendLine(char *out, size_t size, size_t *len, const char *line)
{
    int n = snprintf(out + *len, size - *len, "%s\n", line);
    if (n > 0)
        *len += (size_t)n < size - *len ? (size_t)n : size - *len - 1;
}

}  // namespace

int deviceControl(int argc, const char *const argv[], char *message, size_t size)
{
    const ControlRow *row = NULL;
    int rc = checkWords(argc, argv, &row, message, size);
    if (rc != CONTROL_OK)
        return rc;
    if (!deviceExists(message, size))
        return CONTROL_FAILED;
    // The controls are the device's own hand: the faults they set are for
    // the server's calls.
    simFaultsSuspend();
    bool locked = row->locked && !onlyReads(argc, argv);
    if (locked && simLockAcquire(message, size) != 0) {
        simFaultsResume();
        return CONTROL_FAILED;
    }
    rc = row->handler(argc, argv, true, message, size);
    if (locked)
        simLockRelease();
    simFaultsResume();
    return rc;
}

int deviceControlCheck(int argc, const char *const argv[], char *message, size_t size)
{
    const ControlRow *row = NULL;
    int rc = checkWords(argc, argv, &row, message, size);
    return rc == CONTROL_OK ? row->handler(argc, argv, false, message, size) : rc;
}

char *deviceControlsShow(char *message, size_t size)
{
    if (!deviceExists(message, size))
        return NULL;
    simFaultsSuspend();
    // No lock: each file is replaced whole, so each value is one a writer
    // left (a restore under way may show some files restored already).
    char *shown = showControls(message, size);
    simFaultsResume();
    return shown;
}

const char *deviceControlsUsage(void)
{
    // Built once from the rows; kal_sim is its only caller.
    static char usage[4096];
    if (usage[0] != '\0')
        return usage;
    size_t len = 0;
    for (const ControlRow &row : kControls) {
        char line[256];
        memset(line, 0, sizeof(line));
        int n = snprintf(line, sizeof(line), "%s%s%s", row.word, row.arguments[0] != '\0' ? " " : "", row.arguments);
        // The description in its column, or below a long usage line.
        if (n > 0 && (size_t)n < sizeof(line) && row.description[0] != '\0')
            snprintf(line + n, sizeof(line) - (size_t)n, "%s%*s %s", n < kUsageColumn ? "" : "\n",
                     n < kUsageColumn ? kUsageColumn - n : kUsageColumn, "", row.description);
        appendLine(usage, sizeof(usage), &len, line);
    }
    appendLine(usage, sizeof(usage), &len, "show                                         the current values, as JSON");
    return usage;
}
