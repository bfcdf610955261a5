// Simulated SMS store behind SmsHandler: <root>/sim/mobile/sms.json.
// Requests are the "message" module's JSON; every reply carries "result".
#include "platform/mobile_client.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "common/integer_reader.h"
#include "common/text.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_json.h"
#include "sim/sim_lock.h"
#include "sim/sim_state_files.h"

namespace {

const char kSmsFile[] = SIM_SMS_FILE;
const int kCapacity = SIM_SMS_CAPACITY;
const int kMaxText = SIM_SMS_MAX_TEXT;
const int kMaxNumber = SIM_SMS_MAX_NUMBER;
const int kDefaultPageSize = 10;
const int kMaxPageSize = 20;

enum {
    SMS_LIST = 0,
    SMS_READ = 1,
    SMS_SEND = 2,
    SMS_DELETE = 3,
    SMS_MARK_READ = 4,
    SMS_COUNTS = 5,
    SMS_UNREAD_COUNT = 8,
};

// Result codes in the replies.
enum { SMS_OK = 0, SMS_FAILED = 1, SMS_NOT_FOUND = 2, SMS_FULL = 3 };

bool writeReply(const cJSON *reply, char *out, size_t size)
{
    char *text = cJSON_PrintUnformatted(reply);
    bool fits = text != NULL && strlen(text) < size;
    if (fits)
        copyText(out, text, size);
    cJSON_free(text);
    return fits;
}

void writeResult(int result, char *out, size_t size)
{
    char text[32];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "{\"result\":%d}", result);
    copyText(out, text, size);
}

cJSON *loadStore(void)
{
    bool missing = false;
    cJSON *store = simLoadJson(kSmsFile, &missing);
    if (store == NULL && missing) {
        // A new device holds two messages from the network, one unread.
        store = cJSON_Parse("{\"nextId\":3,\"messages\":["
                            "{\"id\":1,\"box\":\"inbox\",\"number\":\"10086\",\"text\":\"Welcome to Kal Mobile.\","
                            "\"time\":\"2026-12-01 09:00:00\",\"read\":true},"
                            "{\"id\":2,\"box\":\"inbox\",\"number\":\"10086\",\"text\":\"Your data plan is active.\","
                            "\"time\":\"2026-12-01 09:01:00\",\"read\":false}]}");
    }
    if (store != NULL && !cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(store, "messages"))) {
        cJSON_DeleteItemFromObjectCaseSensitive(store, "messages");
        cJSON_AddArrayToObject(store, "messages");
    }
    return store;
}

cJSON *messagesOf(cJSON *store)
{
    return cJSON_GetObjectItemCaseSensitive(store, "messages");
}

const char *boxOf(const cJSON *message)
{
    const cJSON *box = cJSON_GetObjectItemCaseSensitive(message, "box");
    return cJSON_IsString(box) && box->valuestring != NULL ? box->valuestring : "inbox";
}

bool isUnread(const cJSON *message)
{
    return strcmp(boxOf(message), "inbox") == 0 && !simJsonBool(message, "read", false);
}

cJSON *findMessage(cJSON *store, int id, int *index)
{
    int i = 0;
    cJSON *m = NULL;
    cJSON_ArrayForEach(m, messagesOf(store))
    {
        if (simJsonInt(m, "id", -1) == id) {
            if (index != NULL)
                *index = i;
            return m;
        }
        i++;
    }
    return NULL;
}

// Ids of the request: "id" (number) or "ids" (array of numbers).
int requestIds(const cJSON *request, int *ids, int max)
{
    int n = 0;
    // An id that is not an int names no message: -1 is never stored.
    const cJSON *one = cJSON_GetObjectItemCaseSensitive(request, "id");
    if (cJSON_IsNumber(one) && !readInteger(one, NON_NUMBER_REFUSED, INT_MIN, INT_MAX, &ids[n++]))
        ids[n - 1] = -1;
    const cJSON *many = cJSON_GetObjectItemCaseSensitive(request, "ids");
    const cJSON *item = NULL;
    if (!cJSON_IsArray(many))
        return n;
    cJSON_ArrayForEach(item, many)
    {
        if (n < max && cJSON_IsNumber(item) && !readInteger(item, NON_NUMBER_REFUSED, INT_MIN, INT_MAX, &ids[n++]))
            ids[n - 1] = -1;
    }
    return n;
}

cJSON *copyMessage(const cJSON *m)
{
    return cJSON_Duplicate(m, 1);
}

int listPage(cJSON *store, const cJSON *request, char *out, size_t size)
{
    // The box is echoed in the reply: a name that is not UTF-8 is refused.
    const cJSON *boxItem = cJSON_GetObjectItemCaseSensitive(request, "box");
    if (cJSON_IsString(boxItem) && !isUtf8(boxItem->valuestring)) {
        writeResult(SMS_FAILED, out, size);
        return SMS_FAILED;
    }
    char box[16];
    simJsonText(request, "box", box, sizeof(box), "inbox");
    int page = 1;
    int pageSize = kDefaultPageSize;
    if (!simJsonIntIn(request, "page", 1, INT_MAX, 1, &page) ||
        !simJsonIntIn(request, "pageSize", 1, kMaxPageSize, kDefaultPageSize, &pageSize)) {
        writeResult(SMS_FAILED, out, size);
        return SMS_FAILED;
    }
    cJSON *reply = cJSON_CreateObject();
    cJSON *list = cJSON_CreateArray();
    int total = 0;
    // Wide enough for any page of any size: a page past the end is empty.
    long long first = (long long)(page - 1) * pageSize;
    cJSON *m = NULL;
    cJSON_ArrayForEach(m, messagesOf(store))
    {
        if (strcmp(boxOf(m), box) == 0)
            total++;
    }
    // Newest first, as a message list reads: position 0 is the last stored.
    int position = total;
    cJSON_ArrayForEach(m, messagesOf(store))
    {
        if (strcmp(boxOf(m), box) != 0)
            continue;
        position--;
        if (position >= first && position < first + pageSize)
            cJSON_InsertItemInArray(list, 0, copyMessage(m));
    }
    cJSON_AddNumberToObject(reply, "result", SMS_OK);
    cJSON_AddStringToObject(reply, "box", box);
    cJSON_AddNumberToObject(reply, "page", page);
    cJSON_AddNumberToObject(reply, "total", total);
    cJSON_AddItemToObject(reply, "messages", list);
    // A page of long texts may not fit the caller's buffer: shorten the page.
    while (!writeReply(reply, out, size) && cJSON_GetArraySize(list) > 0)
        cJSON_DeleteItemFromArray(list, cJSON_GetArraySize(list) - 1);
    if (!writeReply(reply, out, size))
        writeResult(SMS_FAILED, out, size);
    cJSON_Delete(reply);
    return SMS_OK;
}

bool saveStore(cJSON *store)
{
    return simSaveJson(kSmsFile, store, 0600) == 0;
}

int readMessage(cJSON *store, const cJSON *request, char *out, size_t size)
{
    int id = -1;
    if (!simJsonIntIn(request, "id", INT_MIN, INT_MAX, -1, &id))
        id = -1;
    cJSON *m = findMessage(store, id, NULL);
    if (m == NULL) {
        writeResult(SMS_NOT_FOUND, out, size);
        return SMS_NOT_FOUND;
    }
    bool changed = isUnread(m);
    if (changed) {
        cJSON_DeleteItemFromObjectCaseSensitive(m, "read");
        cJSON_AddTrueToObject(m, "read");
    }
    if (changed && !saveStore(store)) {
        writeResult(SMS_FAILED, out, size);
        return SMS_FAILED;
    }
    cJSON *reply = cJSON_CreateObject();
    cJSON_AddNumberToObject(reply, "result", SMS_OK);
    cJSON_AddItemToObject(reply, "message", copyMessage(m));
    if (!writeReply(reply, out, size))
        writeResult(SMS_FAILED, out, size);
    cJSON_Delete(reply);
    return SMS_OK;
}

bool validNumber(const char *number)
{
    size_t len = strlen(number);
    if (len == 0 || len > (size_t)kMaxNumber)
        return false;
    for (size_t i = 0; i < len; i++) {
        bool ok = (number[i] >= '0' && number[i] <= '9') || (i == 0 && number[i] == '+');
        if (!ok)
            return false;
    }
    return true;
}

int sendMessage(cJSON *store, const cJSON *request, char *out, size_t size)
{
    const cJSON *number = cJSON_GetObjectItemCaseSensitive(request, "number");
    const cJSON *text = cJSON_GetObjectItemCaseSensitive(request, "text");
    if (!cJSON_IsString(number) || !cJSON_IsString(text) || !validNumber(number->valuestring) ||
        text->valuestring[0] == '\0' || strlen(text->valuestring) > (size_t)kMaxText || !isUtf8(text->valuestring)) {
        writeResult(SMS_FAILED, out, size);
        return SMS_FAILED;
    }
    if (cJSON_GetArraySize(messagesOf(store)) >= kCapacity) {
        writeResult(SMS_FULL, out, size);
        return SMS_FULL;
    }
    int id = simJsonInt(store, "nextId", 1);
    if (id < 1)
        id = 1;
    while (findMessage(store, id, NULL) != NULL)
        id++;
    char stamp[32];
    memset(stamp, 0, sizeof(stamp));
    time_t now = time(NULL);
    struct tm tmNow;
    memset(&tmNow, 0, sizeof(tmNow));
    localtime_r(&now, &tmNow);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tmNow);
    cJSON *m = cJSON_CreateObject();
    cJSON_AddNumberToObject(m, "id", id);
    cJSON_AddStringToObject(m, "box", "sent");
    cJSON_AddStringToObject(m, "number", number->valuestring);
    cJSON_AddStringToObject(m, "text", text->valuestring);
    cJSON_AddStringToObject(m, "time", stamp);
    cJSON_AddTrueToObject(m, "read");
    cJSON_AddItemToArray(messagesOf(store), m);
    cJSON_DeleteItemFromObjectCaseSensitive(store, "nextId");
    cJSON_AddNumberToObject(store, "nextId", id + 1);
    if (!saveStore(store)) {
        writeResult(SMS_FAILED, out, size);
        return SMS_FAILED;
    }
    char reply[64];
    memset(reply, 0, sizeof(reply));
    snprintf(reply, sizeof(reply), "{\"result\":0,\"id\":%d}", id);
    copyText(out, reply, size);
    return SMS_OK;
}

// Deletes or marks read every message named; unknown ids answer 2 and
// change nothing.
int changeMessages(cJSON *store, const cJSON *request, bool remove, char *out, size_t size)
{
    int ids[kCapacity];
    memset(ids, 0, sizeof(ids));
    int n = requestIds(request, ids, kCapacity);
    if (n == 0) {
        writeResult(SMS_FAILED, out, size);
        return SMS_FAILED;
    }
    for (int i = 0; i < n; i++) {
        if (findMessage(store, ids[i], NULL) == NULL) {
            writeResult(SMS_NOT_FOUND, out, size);
            return SMS_NOT_FOUND;
        }
    }
    for (int i = 0; i < n; i++) {
        int index = -1;
        cJSON *m = findMessage(store, ids[i], &index);
        if (m == NULL)
            continue;  // named twice
        if (remove) {
            cJSON_DeleteItemFromArray(messagesOf(store), index);
        } else {
            cJSON_DeleteItemFromObjectCaseSensitive(m, "read");
            cJSON_AddTrueToObject(m, "read");
        }
    }
    int result = saveStore(store) ? SMS_OK : SMS_FAILED;
    writeResult(result, out, size);
    return result;
}

int counts(cJSON *store, bool unreadOnly, char *out, size_t size)
{
    int inbox = 0, unread = 0, sent = 0;
    cJSON *m = NULL;
    cJSON_ArrayForEach(m, messagesOf(store))
    {
        if (strcmp(boxOf(m), "inbox") == 0)
            inbox++;
        else if (strcmp(boxOf(m), "sent") == 0)
            sent++;
        if (isUnread(m))
            unread++;
    }
    char reply[128];
    memset(reply, 0, sizeof(reply));
    if (unreadOnly)
        snprintf(reply, sizeof(reply), "{\"result\":0,\"count\":%d}", unread);
    else
        snprintf(reply, sizeof(reply), "{\"result\":0,\"inbox\":%d,\"unread\":%d,\"sent\":%d,\"capacity\":%d}", inbox,
                 unread, sent, kCapacity);
    copyText(out, reply, size);
    return SMS_OK;
}

int handle(const char *request, char *reply, size_t replySize)
{
    cJSON *req = request != NULL ? cJSON_Parse(request) : NULL;
    const cJSON *action = cJSON_GetObjectItemCaseSensitive(req, "action");
    cJSON *store = req != NULL ? loadStore() : NULL;
    int result = SMS_FAILED;
    if (store == NULL || !cJSON_IsNumber(action)) {
        writeResult(SMS_FAILED, reply, replySize);
    } else {
        switch (action->valueint) {
        case SMS_LIST:
            result = listPage(store, req, reply, replySize);
            break;
        case SMS_READ:
            result = readMessage(store, req, reply, replySize);
            break;
        case SMS_SEND:
            result = sendMessage(store, req, reply, replySize);
            break;
        case SMS_DELETE:
            result = changeMessages(store, req, true, reply, replySize);
            break;
        case SMS_MARK_READ:
            result = changeMessages(store, req, false, reply, replySize);
            break;
        case SMS_COUNTS:
            result = counts(store, false, reply, replySize);
            break;
        case SMS_UNREAD_COUNT:
            result = counts(store, true, reply, replySize);
            break;
        default:
            writeResult(SMS_FAILED, reply, replySize);
            break;
        }
    }
    cJSON_Delete(store);
    cJSON_Delete(req);
    return result == SMS_OK ? 1 : 0;
}

// Whether the request's action never changes the store (reading a
// message marks it read, so it is a change).
bool onlyReads(const char *request)
{
    cJSON *req = request != NULL ? cJSON_Parse(request) : NULL;
    const cJSON *action = cJSON_GetObjectItemCaseSensitive(req, "action");
    bool reads = cJSON_IsNumber(action) && (action->valueint == SMS_LIST || action->valueint == SMS_COUNTS ||
                                            action->valueint == SMS_UNREAD_COUNT);
    cJSON_Delete(req);
    return reads;
}

}  // namespace

int simSmsHandle(const char *request, char *reply, size_t replySize)
{
    if (reply == NULL || replySize == 0)
        return 0;
    memset(reply, 0, replySize);
    if (simServiceFails(SIM_SERVICE_MOBILE)) {
        writeResult(SMS_FAILED, reply, replySize);
        return 0;
    }
    // Load, change and save as one: kal_sim adds incoming messages to the
    // same store. A listing or a count only reads the file, which is
    // replaced whole: it needs no lock.
    int done = onlyReads(request) ? handle(request, reply, replySize)
                                  : simLocked(-1, [&] { return handle(request, reply, replySize); });
    if (done < 0)
        writeResult(SMS_FAILED, reply, replySize);
    return done > 0 ? 1 : 0;
}

int SmsHandler(const char *request, char *reply)
{
    return simSmsHandle(request, reply, SMS_COUNT_REPLY_SIZE);
}

CMobileClient::CMobileClient() : initialized_(true) {}

CMobileClient::~CMobileClient()
{
    Uninitialize();
}

int CMobileClient::smsHandler(char *request, char *reply, int, void (*)(MP_CbParam))
{
    if (!initialized_)
        return 0;
    return simSmsHandle(request, reply, SMS_REPLY_SIZE);
}

void CMobileClient::Uninitialize()
{
    initialized_ = false;
}

cJSON *simSmsLoadStore(void)
{
    return loadStore();
}
