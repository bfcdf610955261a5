#include "server/server.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/diagnostics.h"
#include "common/text.h"
#include "platform/android_log.h"
#include "server/handler.h"
#include "server/reply_address.h"

int serverSocket = -1;

namespace {

// The two modules the front end polls are not timed.
bool isTimed(const char *name)
{
    return strcmp(name, "status") != 0 && strcmp(name, "webServer") != 0;
}

// Sends text to the sender. Returns false only when the text is too long
// for one datagram, so that the caller answers with the failure reply; any
// other failure (a sender without an address, one that is gone, one that
// may not be sent to there) is final.
// KAL_NO_REPLY_LENGTH: no reply may go out, and nothing is sent.
bool sendReply(const char *text, const struct sockaddr_un *sender, socklen_t senderLength)
{
    if (senderLength == KAL_NO_REPLY_LENGTH)
        return true;
    ReplySent sent = replySend(serverSocket, text, strlen(text), sender, senderLength);
    if (sent == REPLY_SEND_FAILED) {
        bool tooLong = errno == EMSGSIZE;
        diagLine("Send Failed from webcli interface context numBytes");
        diagLine("Sent the response, result is failure");
        return !tooLong;
    }
    return true;
}

// The start of text for the diagnostic echo: at most
// KAL_REQUEST_ECHO_LIMIT bytes, cut before a character that would not fit
// whole, and marked with the full length when cut.
const char *echoText(const char *text, char *out, size_t size)
{
    memset(out, 0, size);
    size_t length = strlen(text);
    if (length <= KAL_REQUEST_ECHO_LIMIT)
        return text;
    copyText(out, text, KAL_REQUEST_ECHO_LIMIT + 1);
    size_t keep = strlen(out);
    snprintf(out + keep, size - keep, "...[%zu bytes]", length);
    return out;
}

// A reply a strict decoder refuses is no reply: texts that are not
// well-formed UTF-8 (a stored value cut to its buffer mid-character, bytes
// a platform service or a hand-edited state file holds) are made so, in
// values and names alike.
void keepUtf8(cJSON *node)
{
    for (cJSON *item = node->child; item != NULL; item = item->next) {
        if (char *name = wellFormedUtf8(item->string)) {
            if ((item->type & cJSON_StringIsConst) == 0)
                cJSON_free(item->string);
            item->string = name;
            item->type &= ~cJSON_StringIsConst;
        }
        if (cJSON_IsString(item)) {
            if (char *value = wellFormedUtf8(item->valuestring)) {
                if ((item->type & cJSON_IsReference) == 0)
                    cJSON_free(item->valuestring);
                item->valuestring = value;
                item->type &= ~cJSON_IsReference;
            }
        } else if (item->child != NULL && (item->type & cJSON_IsReference) == 0) {
            keepUtf8(item);
        }
    }
}

}  // namespace

void dispatchRequest(const char *text, struct sockaddr_un sender, socklen_t senderLength)
{
    cJSON *request = NULL;
    cJSON *response = NULL;
    char *printed = NULL;
    bool replied = false;

    if (text != NULL) {
        request = cJSON_Parse(text);
        response = cJSON_CreateObject();
        if (request == NULL) {
            // Misspelled, and kept so: the device's tools and logs know it.
            diagLine("JSON pasre error");
            char echo[KAL_REQUEST_ECHO_LIMIT + 64];
            diagPrintf("Request: %s\n", echoText(text, echo, sizeof(echo)));
        } else if (response == NULL) {
            // Misspelled, and kept so: the device's tools and logs know it.
            diagLine("pCJSONresopne create error");
        } else {
            cJSON *module = cJSON_GetObjectItem(request, "module");
            cJSON *action = cJSON_GetObjectItem(request, "action");
            const Module *entry = NULL;
            if (!cJSON_IsString(module) || module->valuestring == NULL) {
                diagLine("module name is NULL");
            } else if (action == NULL) {
                diagLine("no action");
            } else {
                entry = findModule(module->valuestring);
            }
            if (entry != NULL) {
                int code = action->valueint;
                bool timed = isTimed(entry->name);
                Started started = {time(NULL), clock()};
                if (timed) {
                    __android_log_print(ANDROID_LOG_INFO, "KAL_SERVER", "[start] module:%s, action:%d",
                                        entry->name, code);
                }
                handleRequest(*entry, request, response, started);
                keepUtf8(response);
                printed = cJSON_Print(response);
                if (timed) {
                    __android_log_print(ANDROID_LOG_INFO, "KAL_SERVER",
                                        "[end] module:%s, action:%d, elapsed time:%d (s)", entry->name, code,
                                        (int)(time(NULL) - started.wall));
                }
                // A reply too long for one datagram cannot be sent: the
                // failure reply below still answers the request.
                if (printed != NULL && printed[0] != '\0')
                    replied = sendReply(printed, &sender, senderLength);
            }
        }
    }

    if (!replied) {
        diagLine("pResponse == NULL");
        char failure[64];
        memset(failure, 0, sizeof(failure));
        snprintf(failure, sizeof(failure), "{\"result\": %d }", -10);
        sendReply(failure, &sender, senderLength);
    }

    if (request != NULL)
        cJSON_Delete(request);
    if (response != NULL)
        cJSON_Delete(response);
    if (printed != NULL)
        cJSON_free(printed);
}
