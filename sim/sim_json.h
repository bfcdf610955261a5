// JSON state files of the simulated device, under <root>/sim/<name>.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <cjson/cJSON.h>

#include "sim/sim_fields.h"

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

// Sets the record's members from the object; a missing or mistyped member
// keeps the value the record holds (its factory value).
void simJsonReadFields(const cJSON *object, const SimField *fields, size_t count, void *record);

// Adds every member of the record to the object, in table order. 0 or -1.
int simJsonAddFields(cJSON *object, const SimField *fields, size_t count, const void *record);
