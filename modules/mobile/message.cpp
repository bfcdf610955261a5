// "message": SMS requests go to the mobile service as they are; its JSON
// reply becomes the response.
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "platform/android_log.h"
#include "platform/mobile_client.h"
#include "server/modules.h"

namespace {

const char kTag[] = "KAL_SERVER";

// Moves the members of reply into response and frees the emptied reply.
void takeOver(cJSON *response, cJSON *reply)
{
    response->type = reply->type;
    response->child = reply->child;
    reply->child = NULL;
    cJSON_Delete(reply);
}

}  // namespace

int messageHandler(cJSON *request, cJSON *response)
{
    CMobileClient client;
    // Large enough for the longest reply: not on the stack of a small thread.
    static char reply[SMS_REPLY_SIZE];
    memset(reply, 0, sizeof(reply));
    if (request == NULL || response == NULL)
        return 1;
    char *text = cJSON_PrintUnformatted(request);
    if (text != NULL)
        client.smsHandler(text, reply, -1, NULL);
    cJSON_free(text);
    // Nothing past the buffer is read, terminated or not.
    reply[sizeof(reply) - 1] = '\0';
    cJSON *parsed = cJSON_Parse(reply);
    // Only an object can take the response's place: anything else would
    // reach the front end as no answer at all.
    if (!cJSON_IsObject(parsed)) {
        __android_log_print(ANDROID_LOG_ERROR, kTag, "message: the mobile service's reply is not a JSON object");
        cJSON_Delete(parsed);
        cJSON_AddItemToObject(response, "result", cJSON_CreateNumber(1));
    } else {
        takeOver(response, parsed);
    }
    client.Uninitialize();
    return 0;
}
