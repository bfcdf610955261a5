// Helpers the control families share: messages, checked numbers and texts,
// and reading and replacing the simulated device's state files.
#pragma once

#include <stddef.h>
#include <sys/types.h>

struct cJSON;

// A word of the command as quoted in a message: at most 40 bytes of it,
// cut at a character boundary.
struct Quoted {
    char text[41];
};
Quoted quote(const char *word);

// Writes the formatted line into message and answers code.
int say(char *message, size_t size, int code, const char *format, ...) __attribute__((format(printf, 4, 5)));

// A whole decimal number within [low, high]; false for anything else.
bool parseInt(const char *text, long low, long high, long *out);

// Well-formed UTF-8 without control characters (tab and newline allowed
// when multiline).
bool cleanUtf8(const char *text, bool multiline);

// The longest name of a snapshot or a shipped scenario.
const size_t kMaxEntryName = 64;

// A name of a snapshot or a scenario: 1 to kMaxEntryName letters, digits,
// '-', '_' and '.', not starting with '.' (no hidden file, no "..").
bool isEntryName(const char *name);

// "on" or "off".
bool onOff(const char *word, bool *out);

// <root>/sim/<name>, or CONTROL_FAILED after saying why.
int statePath(char *out, size_t size, const char *name, char *message, size_t msgSize);

// Removes a file (gone already is fine) and syncs its directory.
int removeFile(const char *path, char *message, size_t size);

// Replaces the state file <root>/sim/<name> whole.
int writeState(const char *name, const char *data, size_t len, mode_t mode, char *message, size_t size);

// Loads a JSON state file of the given type (cJSON_Object or cJSON_Array);
// a missing one starts empty, as its members then take their factory
// values. Null after saying why.
cJSON *loadState(const char *name, int type, char *message, size_t size);

// Prints json into the state file <root>/sim/<name>.
int saveState(const char *name, cJSON *json, mode_t mode, char *message, size_t size);

// Sets or replaces a member of an object.
void setMember(cJSON *object, const char *key, cJSON *item);

// Sets the members of changes (consumed) in a JSON object state file and
// saves it; members it does not name stay as they are.
int changeObject(const char *name, mode_t mode, cJSON *changes, char *message, size_t size);

// Text of a configuration key, or fallback.
void readKey(int key, char *out, size_t size, const char *fallback);
