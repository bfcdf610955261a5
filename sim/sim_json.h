// JSON state files of the simulated device, under <root>/sim/<name>.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <cjson/cJSON.h>

// Loads a state file. Returns null when it is missing (*missing set) or
// cannot be parsed (one line printed saying which file and why).
cJSON *simLoadJson(const char *name, bool *missing);

// Writes the object atomically with the given mode. 0 or -1.
int simSaveJson(const char *name, const cJSON *object, mode_t mode);

// Member readers that fall back to a default for a missing or mistyped member.
int simJsonInt(const cJSON *object, const char *key, int fallback);
// The same for a request member that must lie within [low, high]: false
// when it does not (a number outside is never saturated into the range).
bool simJsonIntIn(const cJSON *object, const char *key, int low, int high, int fallback, int *value);
bool simJsonBool(const cJSON *object, const char *key, bool fallback);
// Copies a string member (bounded); a missing one gives fallback, which
// may be out itself.
void simJsonText(const cJSON *object, const char *key, char *out, size_t size, const char *fallback);

// A component's scalar members, listed once for loading and saving.
enum SimJsonType {
    SIM_JSON_INT,   // int
    SIM_JSON_UINT,  // unsigned int, read as an int
    SIM_JSON_BYTE,  // uint8_t, read as an int and cut to its low byte
    SIM_JSON_BOOL,  // bool
    SIM_JSON_TEXT,  // char[size], which need not be terminated
};

struct SimJsonField {
    const char *name;
    SimJsonType type;
    size_t offset;  // of the member in the record
    size_t size;    // of a text member
};

#define SIM_JSON_FIELDS(table) (table), sizeof(table) / sizeof((table)[0])

// Sets the record's members from the object; a missing or mistyped member
// keeps the value the record holds (its factory value).
void simJsonReadFields(const cJSON *object, const SimJsonField *fields, size_t count, void *record);

// Adds every member of the record to the object, in table order. 0 or -1.
int simJsonAddFields(cJSON *object, const SimJsonField *fields, size_t count, const void *record);
