#include "server/handler.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "platform/config_store.h"
#include "server/utils.h"

namespace {

void trace(const ModulePolicy &policy, ModuleStep step)
{
    if (policy.trace != NULL)
        policy.trace(step);
}

int refuse(cJSON *response, const ModulePolicy &policy)
{
    if (policy.answerMissingAction && response != NULL)
        cJSON_AddItemToObject(response, "result", cJSON_CreateNumber(1));
    return 1;
}

}  // namespace

const ModuleAction *findAction(const ModuleAction *actions, int count, int code)
{
    for (int i = 0; i < count; i++) {
        if (actions[i].code == code)
            return &actions[i];
    }
    return NULL;
}

int runModule(cJSON *request, cJSON *response, const ModulePolicy &policy)
{
    trace(policy, STEP_ENTRY);
    if (request == NULL || response == NULL) {
        trace(policy, STEP_NO_REQUEST);
        return refuse(response, policy);
    }
    const cJSON *action = cJSON_GetObjectItem(request, "action");
    if (action == NULL) {
        trace(policy, STEP_NO_ACTION);
        return refuse(response, policy);
    }
    // cJSON's valueint: a number toward zero, saturated at the int range;
    // anything else 0. Codes are never negative, so no saturated value
    // finds an action.
    int code = policy.numbersOnly && !cJSON_IsNumber(action) ? 0 : action->valueint;
    int result = policy.prepare != NULL ? policy.prepare(request, code) : 0;
    if (result == 0) {
        const ModuleAction *found = findAction(policy.actions, policy.count, code);
        if (found != NULL) {
            result = found->run(request, response);
        } else {
            trace(policy, STEP_UNDEFINED);
            result = 1;
        }
    }
    if (result == kActionRejected)
        return 1;
    cJSON_AddItemToObject(response, "result", cJSON_CreateNumber(result));
    trace(policy, STEP_LEAVE);
    return result;
}

bool memberInt(const cJSON *object, const char *key, int low, int high, int *value)
{
    const cJSON *item = cJSON_GetObjectItem(object, key);
    return item == NULL || requestInt(item, low, high, value);
}

const char *memberString(const cJSON *object, const char *key)
{
    const cJSON *item = cJSON_GetObjectItem(object, key);
    return cJSON_IsString(item) ? item->valuestring : NULL;
}

bool memberSwitch(const cJSON *object, const char *key, int *value)
{
    const cJSON *item = cJSON_GetObjectItem(object, key);
    if (item == NULL)
        return false;
    *value = cJSON_IsTrue(item) ? 1 : 0;
    return true;
}

bool configText(int key, char *buffer, int size)
{
    memset(buffer, 0, (size_t)size);
    bool ok = get_config_data(key, buffer, size) == 0;
    buffer[size - 1] = '\0';
    if (!ok)
        memset(buffer, 0, (size_t)size);
    return ok;
}

bool configInt(int key, int *value)
{
    char text[16];
    *value = 0;
    if (!configText(key, text, (int)sizeof(text)))
        return false;
    *value = atoi(text);
    return true;
}
