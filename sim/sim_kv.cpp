#include "sim/sim_kv.h"

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/replace_file.h"
#include "sim/sim_files.h"

namespace {

// Large enough for every state file of this kind; a longer file is read
// up to here.
const size_t kMaxText = 4096;

// Sets one member from its value text. False when the file is to count
// as malformed.
bool setField(const SimField &f, const char *value, int options, char *member)
{
    if (f.type == SIM_FIELD_TEXT) {
        size_t len = strlen(value);
        if (len >= f.size && (options & SIM_KV_STRICT))
            return false;
        memset(member, 0, f.size);
        memcpy(member, value, len < f.size ? len : f.size - 1);
        return true;
    }
    bool real = f.type == SIM_FIELD_DOUBLE || f.type == SIM_FIELD_SECONDS;
    double number = strtod(value, NULL);
    long long whole = strtoll(value, NULL, 10);
    if (options & SIM_KV_WHOLE_NUMBERS) {
        char *stop = NULL;
        number = strtod(value, &stop);
        if (stop == value || !isfinite(number))
            return true;
        if (f.type == SIM_FIELD_FLAG)
            number = number != 0;
        // Only a number the member can hold converts.
        bool fits = f.type == SIM_FIELD_LLONG ? fabs(number) < 9.2e18
                                           : number > INT_MIN - 1.0 && number < INT_MAX + 1.0;
        if (!real && !fits)
            return true;
        whole = real ? 0 : (long long)number;
    }
    if (real)
        *(double *)member = number;
    else if (f.type == SIM_FIELD_LLONG)
        *(long long *)member = whole;
    else
        *(int *)member = whole < INT_MIN ? INT_MIN : whole > INT_MAX ? INT_MAX : (int)whole;
    return true;
}

int formatField(const SimField &f, const char *member, char *out, size_t room)
{
    switch (f.type) {
    case SIM_FIELD_LLONG:
        return snprintf(out, room, "%s=%lld\n", f.name, *(const long long *)member);
    case SIM_FIELD_DOUBLE:
        return snprintf(out, room, "%s=%.17g\n", f.name, *(const double *)member);
    case SIM_FIELD_SECONDS:
        return snprintf(out, room, "%s=%.6f\n", f.name, *(const double *)member);
    case SIM_FIELD_TEXT:
        return snprintf(out, room, "%s=%.*s\n", f.name, (int)(f.size - 1), member);
    default:
        return snprintf(out, room, "%s=%d\n", f.name, *(const int *)member);
    }
}

}  // namespace

int simKvLoad(const char *name, const SimField *fields, size_t count, int options, void *record)
{
    char path[512];
    char text[kMaxText];
    memset(text, 0, sizeof(text));
    if (simStatePath(path, sizeof(path), name) != 0 || simReadFile(path, text, sizeof(text)) < 0)
        return -1;
    char *save = NULL;
    for (char *line = strtok_r(text, "\n", &save); line != NULL; line = strtok_r(NULL, "\n", &save)) {
        char *eq = strchr(line, '=');
        if (eq == NULL && (options & SIM_KV_STRICT))
            return -1;
        if (eq == NULL)
            continue;
        *eq = '\0';
        for (size_t i = 0; i < count; i++) {
            if (strcmp(line, fields[i].name) == 0 &&
                !setField(fields[i], eq + 1, options, (char *)record + fields[i].offset))
                return -1;
        }
    }
    return 0;
}

int simKvSave(const char *name, const SimField *fields, size_t count, const void *record, mode_t mode,
              bool onlyWhenChanged)
{
    char path[512];
    char text[kMaxText];
    memset(text, 0, sizeof(text));
    if (simStatePath(path, sizeof(path), name) != 0)
        return -1;
    size_t used = 0;
    for (size_t i = 0; i < count; i++) {
        int n = formatField(fields[i], (const char *)record + fields[i].offset, text + used, sizeof(text) - used);
        if (n < 0 || (size_t)n >= sizeof(text) - used)
            return -1;
        used += (size_t)n;
    }
    if (onlyWhenChanged)
        return replaceFile(path, text, used, mode);
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
            memcpy(out, line + nameLen + 1, valueLen < size - 1 ? valueLen : size - 1);
            return;
        }
        line = line[len] == '\n' ? line + len + 1 : NULL;
    }
}
