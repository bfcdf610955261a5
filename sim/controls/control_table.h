// The device controls as a table: one row per control word, with its
// handler, its usage line and what it adds to "show". Each family of
// controls lives in a file of its own beside this one; the table itself is
// in device_controls.cpp.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "sim/controls/device_controls.h"

struct cJSON;

// A control's handler: checks the words (argv[0] is the control word) and,
// when apply is set, makes the change, holding the device's lock. Unapplied
// it only checks them, as a scenario file is checked before it plays.
// Writes one line into message: what changed, or why not.
typedef int (*ControlHandler)(int argc, const char *const argv[], bool apply, char *message, size_t size);

// Adds the family's current values to the object "show" prints. Reads
// without the lock: every file is replaced whole.
typedef void (*ControlShow)(cJSON *out);

struct ControlRow {
    const char *word;
    ControlHandler handler;
    const char *arguments;    // the usage line after the word
    const char *description;  // what it does, or ""
    ControlShow show;         // null: shown with another row of its family
    bool locked;              // the handler runs holding the device's lock
};

// The families.
int batteryControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void batteryShow(cJSON *out);
int signalControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
int registrationControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
int roamingControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void mobileNetworkShow(cJSON *out);
int simControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void simShow(cJSON *out);
int smsControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void smsShow(cJSON *out);
int stationControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void stationShow(cJSON *out);
int sdcardControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void sdcardShow(cJSON *out);
int updateControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void updateShow(cJSON *out);
int wifiControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void wifiShow(cJSON *out);
int faultControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void faultShow(cJSON *out);
int snapshotControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
int resetControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void snapshotShow(cJSON *out);
int powerControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void powerShow(cJSON *out);
int scenarioControl(int argc, const char *const argv[], bool apply, char *message, size_t size);
void scenarioShow(cJSON *out);
