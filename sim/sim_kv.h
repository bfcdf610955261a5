// "name=value" state files of the simulated device under <root>/sim/, one
// field a line, in the order of the component's field table.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "sim/sim_fields.h"

// How a file is read; the bits may be combined.
enum {
    // Numbers are read whole as decimal numbers (exponents too); a line
    // whose value is no finite number, or one out of its member's range,
    // is ignored. Without this bit a number is its leading integer (0
    // when there is none), cut to its member's range.
    SIM_KV_WHOLE_NUMBERS = 1,
    // A line without "=" or a text longer than its member makes the whole
    // file unreadable. Without this bit the one is ignored, the other cut.
    SIM_KV_STRICT = 2,
};

// Sets the members of record named in the state file <root>/sim/<name>;
// members not in the file keep their value, and of a name given twice the
// last line counts. 0, or -1 when the file cannot be read or (strict) is
// malformed; record may then be partly set.
int simKvLoad(const char *name, const SimField *fields, size_t count, int options, void *record);

// Writes every field of record as <root>/sim/<name>, replaced atomically;
// onlyWhenChanged leaves a file that already holds exactly that alone.
// 0 or -1.
int simKvSave(const char *name, const SimField *fields, size_t count, const void *record, mode_t mode,
              bool onlyWhenChanged);

// Copies the value of the first "name=" line of text into out (bounded;
// empty when there is none).
void simKvValue(const char *text, const char *name, char *out, size_t size);
