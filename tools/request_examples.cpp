#include "tools/request_examples.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const size_t kMaxExampleBytes = 40959;  // one request datagram

struct Example {
    std::string module;
    int action;
    long number;
    std::string file;
    std::string request;
};

// "<module>-<n>.json" with a module name of letters and '_'.
bool exampleName(const char *name, std::string *module, long *number)
{
    const char *dash = strrchr(name, '-');
    if (dash == NULL || dash == name)
        return false;
    for (const char *p = name; p < dash; p++)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || *p == '_'))
            return false;
    const char *digits = dash + 1;
    size_t count = strspn(digits, "0123456789");
    if (count == 0 || count > 9 || strcmp(digits + count, ".json") != 0)
        return false;
    module->assign(name, (size_t)(dash - name));
    *number = strtol(digits, NULL, 10);
    return true;
}

bool readExample(const std::string &path, std::string *text)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == NULL)
        return false;
    char buf[4096];
    size_t n;
    text->clear();
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0 && text->size() <= kMaxExampleBytes)
        text->append(buf, n);
    bool ok = !ferror(f) && text->size() <= kMaxExampleBytes;
    fclose(f);
    return ok;
}

}  // namespace

cJSON *loadRequestExamples(const char *dir, char *message, size_t size)
{
    memset(message, 0, size);
    DIR *d = opendir(dir);
    if (d == NULL) {
        snprintf(message, size, "cannot read the examples directory %s", dir);
        return NULL;
    }
    std::vector<Example> examples;
    bool ok = true;
    struct dirent *entry;
    while (ok && (entry = readdir(d)) != NULL) {
        Example e;
        if (!exampleName(entry->d_name, &e.module, &e.number))
            continue;
        e.file = entry->d_name;
        std::string path = std::string(dir) + "/" + e.file;
        if (!readExample(path, &e.request)) {
            snprintf(message, size, "cannot read the example %s", path.c_str());
            ok = false;
            break;
        }
        cJSON *json = cJSON_ParseWithLength(e.request.data(), e.request.size());
        const cJSON *module = cJSON_GetObjectItemCaseSensitive(json, "module");
        const cJSON *action = cJSON_GetObjectItemCaseSensitive(json, "action");
        if (!cJSON_IsString(module) || e.module != module->valuestring || !cJSON_IsNumber(action)) {
            snprintf(message, size, "example %s is not a request of module \"%s\" with an action", path.c_str(),
                     e.module.c_str());
            ok = false;
        } else {
            e.action = action->valueint;
            examples.push_back(e);
        }
        cJSON_Delete(json);
    }
    closedir(d);
    if (!ok)
        return NULL;
    std::sort(examples.begin(), examples.end(), [](const Example &a, const Example &b) {
        if (a.module != b.module)
            return a.module < b.module;
        if (a.action != b.action)
            return a.action < b.action;
        return a.number < b.number;
    });
    cJSON *list = cJSON_CreateArray();
    for (const Example &e : examples) {
        cJSON *item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "module", e.module.c_str());
        cJSON_AddNumberToObject(item, "action", e.action);
        cJSON_AddStringToObject(item, "request", e.request.c_str());
        cJSON_AddStringToObject(item, "file", e.file.c_str());
        cJSON_AddItemToArray(list, item);
    }
    return list;
}
