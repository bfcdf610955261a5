#include "sim/sim_json.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/sim_files.h"

namespace {

// Largest state file: the SMS store at capacity with escaped texts.
const size_t kMaxStateFile = 1024 * 1024;

// Reads the whole file into a buffer sized to it (at most kMaxStateFile),
// NUL-terminated; the caller frees it. A buffer of the largest size on every
// call would cost a megabyte of zeroing per load and leave the heap grown.
char *readWhole(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    struct stat st;
    memset(&st, 0, sizeof(st));
    if (fstat(fd, &st) != 0 || st.st_size < 0) {
        close(fd);
        return NULL;
    }
    size_t size = (size_t)st.st_size < kMaxStateFile ? (size_t)st.st_size : kMaxStateFile;
    char *text = (char *)calloc(1, size + 1);
    size_t done = 0;
    while (text != NULL && done < size) {
        ssize_t r = read(fd, text + done, size - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            free(text);
            text = NULL;
        } else if (r == 0) {
            break;
        } else {
            done += (size_t)r;
        }
    }
    close(fd);
    return text;
}

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
    char *text = readWhole(path);
    cJSON *object = text != NULL ? cJSON_Parse(text) : NULL;
    free(text);
    if (text == NULL) {
        printf("simulated device: cannot read %s\n", path);
        return NULL;
    }
    if (!cJSON_IsObject(object)) {
        printf("simulated device: %s is not a JSON object; fix or delete it to get factory values\n", path);
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
    int rc = simWriteFileAtomic(path, text, len, mode);
    cJSON_free(text);
    if (rc != 0)
        printf("simulated device: cannot write %s\n", path);
    return rc;
}

int simJsonInt(const cJSON *object, const char *key, int fallback)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    if (cJSON_IsBool(item))
        return cJSON_IsTrue(item) ? 1 : 0;
    return cJSON_IsNumber(item) ? item->valueint : fallback;
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
    memset(out, 0, size);
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    const char *text = cJSON_IsString(item) && item->valuestring != NULL ? item->valuestring : fallback;
    if (text != NULL)
        strncpy(out, text, size - 1);
}
