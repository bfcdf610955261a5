#include "sim/sim_kv.h"

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/replace_file.h"
#include "sim/sim_files.h"

namespace {

// Large enough for every state file of this kind; a longer file is read
// up to here.
const size_t kMaxText = 4096;

long long clampTo(long long value, long long low, long long high)
{
    return value < low ? low : value > high ? high : value;
}

// The member's range, for the numeric types.
void rangeOf(SimKvType type, long long *low, long long *high)
{
    *low = LLONG_MIN;
    *high = LLONG_MAX;
    if (type == SIM_KV_INT || type == SIM_KV_FLAG) {
        *low = INT_MIN;
        *high = INT_MAX;
    } else if (type == SIM_KV_LONG) {
        *low = LONG_MIN;
        *high = LONG_MAX;
    }
}

void storeInteger(const SimKvField &f, long long value, char *record)
{
    char *member = record + f.offset;
    if (f.type == SIM_KV_INT || f.type == SIM_KV_FLAG) {
        int v = (int)value;
        memcpy(member, &v, sizeof(v));
    } else if (f.type == SIM_KV_LONG) {
        long v = (long)value;
        memcpy(member, &v, sizeof(v));
    } else {
        memcpy(member, &value, sizeof(value));
    }
}

// Sets one member from its value text. False when the file is to count
// as malformed.
bool setField(const SimKvField &f, const char *value, int options, char *record)
{
    char *member = record + f.offset;
    if (f.type == SIM_KV_TEXT) {
        size_t len = strlen(value);
        if (len >= f.size) {
            if (options & SIM_KV_STRICT)
                return false;
            len = f.size - 1;
        }
        memset(member, 0, f.size);
        memcpy(member, value, len);
        return true;
    }
    long long low = 0, high = 0;
    rangeOf(f.type, &low, &high);
    if (options & SIM_KV_WHOLE_NUMBERS) {
        char *stop = NULL;
        double number = strtod(value, &stop);
        if (stop == value || !isfinite(number))
            return true;
        if (f.type == SIM_KV_DOUBLE || f.type == SIM_KV_SECONDS) {
            memcpy(member, &number, sizeof(number));
            return true;
        }
        if (f.type == SIM_KV_FLAG) {
            storeInteger(f, number != 0, record);
            return true;
        }
        // Only a number the member can hold converts.
        if (!(number > (double)low - 1.0 && number < (double)high + 1.0) || fabs(number) >= 9.2e18)
            return true;
        storeInteger(f, (long long)number, record);
        return true;
    }
    if (f.type == SIM_KV_DOUBLE || f.type == SIM_KV_SECONDS) {
        double number = strtod(value, NULL);
        memcpy(member, &number, sizeof(number));
        return true;
    }
    long long number = strtoll(value, NULL, 10);
    storeInteger(f, clampTo(number, low, high), record);
    return true;
}

// Appends "name=value\n" of one member. False when it does not fit.
bool formatField(const SimKvField &f, const char *record, char *out, size_t size, size_t *used)
{
    const char *member = record + f.offset;
    char *at = out + *used;
    size_t room = size - *used;
    int n = -1;
    switch (f.type) {
    case SIM_KV_INT:
    case SIM_KV_FLAG: {
        int v = 0;
        memcpy(&v, member, sizeof(v));
        n = snprintf(at, room, "%s=%d\n", f.name, v);
        break;
    }
    case SIM_KV_LONG: {
        long v = 0;
        memcpy(&v, member, sizeof(v));
        n = snprintf(at, room, "%s=%ld\n", f.name, v);
        break;
    }
    case SIM_KV_LLONG: {
        long long v = 0;
        memcpy(&v, member, sizeof(v));
        n = snprintf(at, room, "%s=%lld\n", f.name, v);
        break;
    }
    case SIM_KV_DOUBLE:
    case SIM_KV_SECONDS: {
        double v = 0;
        memcpy(&v, member, sizeof(v));
        n = snprintf(at, room, f.type == SIM_KV_DOUBLE ? "%s=%.17g\n" : "%s=%.6f\n", f.name, v);
        break;
    }
    case SIM_KV_TEXT:
        n = snprintf(at, room, "%s=%.*s\n", f.name, (int)(f.size - 1), member);
        break;
    }
    if (n < 0 || (size_t)n >= room)
        return false;
    *used += (size_t)n;
    return true;
}

}  // namespace

int simKvLoad(const char *name, const SimKvField *fields, size_t count, int options, void *record)
{
    char path[512];
    char text[kMaxText];
    memset(text, 0, sizeof(text));
    if (simStatePath(path, sizeof(path), name) != 0 || simReadFile(path, text, sizeof(text)) < 0)
        return -1;
    char *save = NULL;
    for (char *line = strtok_r(text, "\n", &save); line != NULL; line = strtok_r(NULL, "\n", &save)) {
        char *eq = strchr(line, '=');
        if (eq == NULL) {
            if (options & SIM_KV_STRICT)
                return -1;
            continue;
        }
        *eq = '\0';
        for (size_t i = 0; i < count; i++) {
            if (strcmp(line, fields[i].name) == 0 && !setField(fields[i], eq + 1, options, (char *)record))
                return -1;
        }
    }
    return 0;
}

int simKvSave(const char *name, const SimKvField *fields, size_t count, const void *record, mode_t mode,
              bool onlyWhenChanged)
{
    char path[512];
    char text[kMaxText];
    memset(text, 0, sizeof(text));
    if (simStatePath(path, sizeof(path), name) != 0)
        return -1;
    size_t used = 0;
    for (size_t i = 0; i < count; i++) {
        if (!formatField(fields[i], (const char *)record, text, sizeof(text), &used))
            return -1;
    }
    if (onlyWhenChanged)
        return simWriteFileIfChanged(path, text, used, mode);
    return replaceFile(path, text, used, mode);
}

void simKvValue(const char *text, const char *name, char *out, size_t size)
{
    memset(out, 0, size);
    size_t nameLen = strlen(name);
    const char *line = text;
    while (line != NULL && *line != '\0') {
        size_t len = strcspn(line, "\n");
        if (len > nameLen && strncmp(line, name, nameLen) == 0 && line[nameLen] == '=') {
            size_t valueLen = len - nameLen - 1;
            if (valueLen > size - 1)
                valueLen = size - 1;
            memcpy(out, line + nameLen + 1, valueLen);
            return;
        }
        line = line[len] == '\n' ? line + len + 1 : NULL;
    }
}
