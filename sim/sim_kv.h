// "name=value" state files of the simulated device under <root>/sim/, one
// field a line. A component lists its fields once, in a table that both
// reading and writing use; the file holds them in table order.
#pragma once

#include <stddef.h>
#include <sys/types.h>

enum SimKvType {
    SIM_KV_INT,      // int, written %d
    SIM_KV_FLAG,     // int 0 or 1: any non-zero number reads as 1
    SIM_KV_LLONG,    // long long, %lld
    SIM_KV_DOUBLE,   // double, %.17g (every bit kept)
    SIM_KV_SECONDS,  // double, %.6f
    SIM_KV_TEXT,     // char[size], the rest of the line
};

struct SimKvField {
    const char *name;
    SimKvType type;
    size_t offset;  // of the member in the record
    size_t size;    // of a text member
};

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

#define SIM_KV_FIELDS(table) (table), sizeof(table) / sizeof((table)[0])

// Sets the members of record named in the state file <root>/sim/<name>;
// members not in the file keep their value, and of a name given twice the
// last line counts. 0, or -1 when the file cannot be read or (strict) is
// malformed; record may then be partly set.
int simKvLoad(const char *name, const SimKvField *fields, size_t count, int options, void *record);

// Writes every field of record as <root>/sim/<name>, replaced atomically;
// onlyWhenChanged leaves a file that already holds exactly that alone.
// 0 or -1.
int simKvSave(const char *name, const SimKvField *fields, size_t count, const void *record, mode_t mode,
              bool onlyWhenChanged);

// Copies the value of the first "name=" line of text into out (bounded;
// empty when there is none).
void simKvValue(const char *text, const char *name, char *out, size_t size);
