// "message": SMS requests go to the mobile service as they are; its JSON
// reply becomes the response.
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "platform/android_log.h"
#include "platform/mobile_client.h"
#include "server/handler.h"

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

}  // namespace

#ifdef KAL_CONTRACT_TEXT
namespace {

// What the mobile service reads of each request: documentation only, the
// requests reach the service as they are.
const Member kPage[] = {
    textOrAbsent("box", 0, 15, TEXT_ANY, KAL_TEXT("\"inbox\" (absent) or \"sent\"")),
    integer("page", 1, INT_MAX, KAL_TEXT("the page, from 1 (absent: 1)")),
    integer("pageSize", 1, 20, KAL_TEXT("messages per page (absent: 10)")),
};
const Member kId[] = {anyInt32("id", KAL_TEXT("the message's id; another answers result 2")).refusedWith(2)};
const Member kIdElement[] = {anyInt32("", KAL_TEXT("a message's id"))};
const Member kIds[] = {
    anyInt32("id", KAL_TEXT("one message's id")).refusedWith(2),
    list("ids", INT_MAX, kIdElement, KAL_TEXT("several messages' ids")),
};
const Member kSend[] = {
    textOrAbsent("number", 1, 20, TEXT_PHONE, KAL_TEXT("the recipient: digits, a leading + allowed")).required(),
    textOrAbsent("text", 1, 640, TEXT_ANY, KAL_TEXT("the message, 1 to 640 bytes")).required(),
};
// The service's reply is passed through: it answers 1 alone for a request
// it cannot take or a store it cannot read.
const ModuleAction kMessageActions[] = {
    action(0, NULL, "one page of a box, newest first", "box:text page:integer total:integer messages:[{id:integer box:text number:text text:text time:text read:boolean}]", kPage)
        .result(0, "ok: the page")
        .result(1, "failed: a bad request, or the store unreadable"),
    action(1, NULL, "read a message and mark it read", "message:{id:integer box:text number:text text:text time:text read:boolean}", kId)
        .result(0, "ok: the message")
        .result(1, "failed: a bad request, or the store unreadable or not written")
        .result(2, "notFound: no message with that id"),
    action(2, NULL, "send a message (kept in \"sent\")", "id:integer", kSend)
        .result(0, "ok: sent; its id")
        .result(1, "failed: a bad request, or the store unreadable or not written")
        .result(3, "full: the store holds 100 messages"),
    action(3, NULL, "delete messages; all named ids must exist", "", kIds)
        .result(0, "ok: deleted")
        .result(1, "failed: a bad request, or the store unreadable or not written")
        .result(2, "notFound: a named id does not exist; nothing deleted"),
    action(4, NULL, "mark messages read", "", kIds)
        .result(0, "ok: marked")
        .result(1, "failed: a bad request, or the store unreadable or not written")
        .result(2, "notFound: a named id does not exist; nothing marked"),
    action(5, NULL, "counts", "inbox:integer unread:integer sent:integer capacity:integer")
        .result(0, "ok: the counts")
        .result(1, "failed: the store unreadable"),
    action(8, NULL, "unread count", "count:integer")
        .result(0, "ok: the count")
        .result(1, "failed: the store unreadable"),
};

}  // namespace

KAL_MODULE(message) = {"message", actionsOf(kMessageActions), messageHandler};
#else
KAL_MODULE(message) = {"message", ModulePolicy{}, messageHandler};
#endif
