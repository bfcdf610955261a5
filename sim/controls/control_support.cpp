#include "sim/controls/control_support.h"

#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/replace_file.h"
#include "common/text.h"
#include "platform/config_store.h"
#include "sim/controls/device_controls.h"
#include "sim/sim_files.h"

Quoted quote(const char *word)
{
    Quoted q;
    memset(&q, 0, sizeof(q));
    copyText(q.text, word, sizeof(q.text));
    return q;
}

int say(char *message, size_t size, int code, const char *format, ...)
{
    if (message != NULL && size > 0) {
        va_list args;
        va_start(args, format);
        formatText(message, size, format, args);
        va_end(args);
    }
    return code;
}

bool parseInt(const char *text, long low, long high, long *out)
{
    if (text == NULL || text[0] == '\0' || isspace((unsigned char)text[0]))
        return false;
    errno = 0;
    char *end = NULL;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool cleanUtf8(const char *text, bool multiline)
{
    for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++) {
        if ((*p < 0x20 && !(multiline && (*p == '\n' || *p == '\t'))) || *p == 0x7f)
            return false;
    }
    return isUtf8(text);
}

bool onOff(const char *word, bool *out)
{
    if (word != NULL && strcmp(word, "on") == 0) {
        *out = true;
        return true;
    }
    if (word != NULL && strcmp(word, "off") == 0) {
        *out = false;
        return true;
    }
    return false;
}

int statePath(char *out, size_t size, const char *name, char *message, size_t msgSize)
{
    if (simStatePath(out, size, name) != 0)
        return say(message, msgSize, CONTROL_FAILED, "state path of %s does not fit", name);
    return CONTROL_OK;
}

int removeFile(const char *path, char *message, size_t size)
{
    if (unlink(path) != 0 && errno != ENOENT)
        return say(message, size, CONTROL_FAILED, "cannot remove %s: %s", path, strerror(errno));
    // The removal lasts across a power cut only once the directory is synced.
    if (syncDirectoryOf(path) != 0)
        return say(message, size, CONTROL_FAILED, "cannot sync the directory of %s: %s", path, strerror(errno));
    return CONTROL_OK;
}

int writeState(const char *name, const char *data, size_t len, mode_t mode, char *message, size_t size)
{
    char path[600];
    int rc = statePath(path, sizeof(path), name, message, size);
    if (rc != CONTROL_OK)
        return rc;
    if (replaceFile(path, data, len, mode) != 0)
        return say(message, size, CONTROL_FAILED, "cannot write %s: %s", path, strerror(errno));
    return CONTROL_OK;
}

cJSON *loadState(const char *name, int type, char *message, size_t size)
{
    char path[600];
    if (statePath(path, sizeof(path), name, message, size) != CONTROL_OK)
        return NULL;
    cJSON *json = NULL;
    if (!simExists(path)) {
        json = type == cJSON_Array ? cJSON_CreateArray() : cJSON_CreateObject();
    } else {
        char *text = simReadFileAlloc(path, 1024 * 1024, NULL);
        json = text != NULL ? cJSON_Parse(text) : NULL;
        free(text);
    }
    if (json == NULL || (json->type & 0xff) != type) {
        say(message, size, CONTROL_FAILED, "%s does not hold a JSON %s: fix or delete it", path,
            type == cJSON_Array ? "list" : "object");
        cJSON_Delete(json);
        return NULL;
    }
    return json;
}

int saveState(const char *name, cJSON *json, mode_t mode, char *message, size_t size)
{
    char *text = cJSON_Print(json);
    if (text == NULL)
        return say(message, size, CONTROL_FAILED, "out of memory printing %s", name);
    size_t len = strlen(text);
    int rc = writeState(name, text, len, mode, message, size);
    cJSON_free(text);
    return rc;
}

void setMember(cJSON *object, const char *key, cJSON *item)
{
    // The key may be the item's own name, which replacing frees.
    char name[64];
    memset(name, 0, sizeof(name));
    snprintf(name, sizeof(name), "%s", key);
    if (cJSON_HasObjectItem(object, name))
        cJSON_ReplaceItemInObjectCaseSensitive(object, name, item);
    else
        cJSON_AddItemToObject(object, name, item);
}

int changeObject(const char *name, mode_t mode, cJSON *changes, char *message, size_t size)
{
    cJSON *json = loadState(name, cJSON_Object, message, size);
    if (json == NULL) {
        cJSON_Delete(changes);
        return CONTROL_FAILED;
    }
    cJSON *item = changes->child;
    while (item != NULL) {
        cJSON *next = item->next;
        cJSON_DetachItemViaPointer(changes, item);
        setMember(json, item->string, item);
        item = next;
    }
    cJSON_Delete(changes);
    int rc = saveState(name, json, mode, message, size);
    cJSON_Delete(json);
    return rc;
}

void readKey(int key, char *out, size_t size, const char *fallback)
{
    memset(out, 0, size);
    if (get_config_data(key, out, (int)size) != 0)
        snprintf(out, size, "%s", fallback);
}

bool isEntryName(const char *name)
{
    size_t len = strlen(name);
    if (len == 0 || len > kMaxEntryName || name[0] == '.')
        return false;
    for (size_t i = 0; i < len; i++) {
        char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
              c == '.'))
            return false;
    }
    return true;
}
