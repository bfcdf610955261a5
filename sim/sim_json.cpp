#include "sim/sim_json.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/diagnostics.h"
#include "common/integer_reader.h"
#include "common/replace_file.h"
#include "common/text.h"
#include "sim/sim_files.h"

namespace {

// Largest state file: the SMS store at capacity with escaped texts.
const size_t kMaxStateFile = 1024 * 1024;

}  // namespace

cJSON *simLoadJson(const char *name, bool *missing)
{
    if (missing != NULL)
        *missing = false;
    char path[512];
    if (simStatePath(path, sizeof(path), name) != 0)
        return NULL;
    if (!simExists(path)) {
        if (missing != NULL)
            *missing = true;
        return NULL;
    }
    long n = -1;
    char *text = simReadFileAlloc(path, kMaxStateFile, &n);
    cJSON *object = text != NULL ? cJSON_Parse(text) : NULL;
    free(text);
    if (n < 0) {
        diagPrintf("simulated device: cannot read %s\n", path);
        return NULL;
    }
    if (!cJSON_IsObject(object)) {
        diagPrintf("simulated device: %s is not a JSON object; fix or delete it to get factory values\n", path);
        cJSON_Delete(object);
        return NULL;
    }
    return object;
}

int simSaveJson(const char *name, const cJSON *object, mode_t mode)
{
    char path[512];
    if (object == NULL || simStatePath(path, sizeof(path), name) != 0)
        return -1;
    char *text = cJSON_Print(object);
    if (text == NULL)
        return -1;
    size_t len = strlen(text);
    int rc = replaceFile(path, text, len, mode);
    cJSON_free(text);
    if (rc != 0)
        diagPrintf("simulated device: cannot write %s\n", path);
    return rc;
}

int simJsonInt(const cJSON *object, const char *key, int fallback)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (cJSON_IsBool(item))
        return cJSON_IsTrue(item) ? 1 : 0;
    int value = fallback;
    // A number that is not an int is as unusable as a missing one.
    if (cJSON_IsNumber(item) && !readInteger(item, NON_NUMBER_REFUSED, INT_MIN, INT_MAX, &value))
        return fallback;
    return value;
}

bool simJsonIntIn(const cJSON *object, const char *key, int low, int high, int fallback, int *value)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (cJSON_IsNumber(item))
        return readInteger(item, NON_NUMBER_REFUSED, low, high, value);
    *value = simJsonInt(object, key, fallback);
    return *value >= low && *value <= high;
}

bool simJsonBool(const cJSON *object, const char *key, bool fallback)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (cJSON_IsBool(item))
        return cJSON_IsTrue(item);
    if (cJSON_IsNumber(item))
        return item->valueint != 0;
    return fallback;
}

void simJsonText(const cJSON *object, const char *key, char *out, size_t size, const char *fallback)
{
    if (out == NULL || size == 0)
        return;
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    const char *text = cJSON_IsString(item) && item->valuestring != NULL ? item->valuestring : fallback;
    if (text == out)
        return;
    memset(out, 0, size);
    if (text != NULL)
        copyText(out, text, size);
}

void simJsonReadFields(const cJSON *object, const SimField *fields, size_t count, void *record)
{
    for (size_t i = 0; i < count; i++) {
        const SimField &f = fields[i];
        char *member = (char *)record + f.offset;
        if (f.type == SIM_FIELD_TEXT)
            simJsonText(object, f.name, member, f.size, member);
        else if (f.type == SIM_FIELD_BOOL)
            *(bool *)member = simJsonBool(object, f.name, *(bool *)member);
        else if (f.type == SIM_FIELD_BYTE)
            *(uint8_t *)member = (uint8_t)simJsonInt(object, f.name, *(uint8_t *)member);
        else
            *(int *)member = simJsonInt(object, f.name, *(int *)member);
    }
}

int simJsonAddFields(cJSON *object, const SimField *fields, size_t count, const void *record)
{
    for (size_t i = 0; i < count; i++) {
        const SimField &f = fields[i];
        const char *member = (const char *)record + f.offset;
        cJSON *item = NULL;
        if (f.type == SIM_FIELD_TEXT) {
            char *text = strndup(member, f.size);
            item = text != NULL ? cJSON_AddStringToObject(object, f.name, text) : NULL;
            free(text);
        } else if (f.type == SIM_FIELD_BOOL) {
            item = cJSON_AddBoolToObject(object, f.name, *(const bool *)member);
        } else {
            double value = f.type == SIM_FIELD_UINT   ? *(const unsigned *)member
                           : f.type == SIM_FIELD_BYTE ? *(const uint8_t *)member
                                                     : *(const int *)member;
            item = cJSON_AddNumberToObject(object, f.name, value);
        }
        if (item == NULL)
            return -1;
    }
    return 0;
}
