// Incoming SMS: a message added to the store in mobile/sms.json.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_device.h"
#include "sim/sim_files.h"
#include "sim/sim_json.h"
#include "sim/sim_state_files.h"

namespace {

const char kSmsFile[] = SIM_SMS_FILE;
const int kSmsCapacity = SIM_SMS_CAPACITY;
const size_t kMaxSmsNumber = SIM_SMS_MAX_NUMBER;
const size_t kMaxSmsText = SIM_SMS_MAX_TEXT;

bool validSmsNumber(const char *number)
{
    size_t len = strlen(number);
    if (len == 0 || len > kMaxSmsNumber)
        return false;
    for (size_t i = 0; i < len; i++)
        if (!(isdigit((unsigned char)number[i]) || (i == 0 && number[i] == '+')))
            return false;
    return true;
}

}  // namespace

int smsControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    if (argc != 4 || strcmp(argv[1], "receive") != 0)
        return say(message, size, CONTROL_REFUSED, "sms needs: receive NUMBER TEXT");
    if (!validSmsNumber(argv[2]))
        return say(message, size, CONTROL_REFUSED, "sms: the number must be up to %zu digits, with an optional leading +",
                   kMaxSmsNumber);
    size_t textLen = strlen(argv[3]);
    if (textLen == 0 || textLen > kMaxSmsText || !cleanUtf8(argv[3], true))
        return say(message, size, CONTROL_REFUSED, "sms: the text must be 1 to %zu bytes of UTF-8 without control characters",
                   kMaxSmsText);
    if (!apply)
        return CONTROL_OK;
    // The store's own reader: a missing file holds the factory messages.
    cJSON *store = simSmsLoadStore();
    if (store == NULL) {
        char path[600];
        simStatePath(path, sizeof(path), kSmsFile);
        return say(message, size, CONTROL_FAILED, "%s does not hold a JSON object: fix or delete it", path);
    }
    cJSON *messages = cJSON_GetObjectItemCaseSensitive(store, "messages");
    if (!cJSON_IsArray(messages)) {
        messages = cJSON_CreateArray();
        setMember(store, "messages", messages);
    }
    if (cJSON_GetArraySize(messages) >= kSmsCapacity) {
        cJSON_Delete(store);
        return say(message, size, CONTROL_REFUSED, "sms: the message store is full (%d messages)", kSmsCapacity);
    }
    // The next free id, as the store itself hands them out.
    int id = simJsonInt(store, "nextId", 1);
    if (id < 1)
        id = 1;
    for (bool taken = true; taken;) {
        taken = false;
        const cJSON *m = NULL;
        cJSON_ArrayForEach(m, messages)
        {
            if (simJsonInt(m, "id", 0) == id) {
                taken = true;
                id++;
                break;
            }
        }
    }
    char stamp[32];
    memset(stamp, 0, sizeof(stamp));
    time_t now = time(NULL);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tmNow);
    cJSON *m = cJSON_CreateObject();
    if (m == NULL) {
        cJSON_Delete(store);
        return say(message, size, CONTROL_FAILED, "out of memory");
    }
    cJSON_AddNumberToObject(m, "id", id);
    cJSON_AddStringToObject(m, "box", "inbox");
    cJSON_AddStringToObject(m, "number", argv[2]);
    cJSON_AddStringToObject(m, "text", argv[3]);
    cJSON_AddStringToObject(m, "time", stamp);
    cJSON_AddBoolToObject(m, "read", false);
    cJSON_AddItemToArray(messages, m);
    setMember(store, "nextId", cJSON_CreateNumber(id + 1));
    int rc = saveState(kSmsFile, store, 0600, message, size);
    cJSON_Delete(store);
    return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "message %d from %s received, unread", id, argv[2]) : rc;
}

void smsShow(cJSON *out)
{
    cJSON *sms = simSmsLoadStore();
    const cJSON *messages = cJSON_GetObjectItemCaseSensitive(sms, "messages");
    int total = 0, unread = 0;
    const cJSON *m = NULL;
    cJSON_ArrayForEach(m, messages)
    {
        total++;
        char box[16];
        simJsonText(m, "box", box, sizeof(box), "");
        if (strcmp(box, "inbox") == 0 && !simJsonBool(m, "read", false))
            unread++;
    }
    cJSON *smsState = cJSON_AddObjectToObject(out, "sms");
    cJSON_AddNumberToObject(smsState, "messages", total);
    cJSON_AddNumberToObject(smsState, "unread", unread);
    cJSON_Delete(sms);
}
