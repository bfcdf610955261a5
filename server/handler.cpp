#include "server/handler.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/integer_reader.h"
#include "common/text.h"
#include "platform/config_store.h"

namespace {

void trace(const ModulePolicy &policy, ModuleStep step, const MemberRefusal *refusal, const cJSON *request)
{
    if (policy.trace != NULL)
        policy.trace(step, refusal, request);
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

namespace {

// Four runs of 1 to 3 digits, each at most 255, split by single dots.
bool isDottedQuad(const char *text)
{
    size_t len = strlen(text);
    if (len < 7 || len > 15)
        return false;
    int runs = 0, digits = 0, value = 0;
    for (size_t i = 0; i <= len; i++) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            value = value * 10 + (c - '0');
            digits++;
            if (value > 255)
                return false;
        } else if ((c == '.' || c == '\0') && digits > 0) {
            runs++;
            digits = 0;
            value = 0;
        } else {
            return false;
        }
    }
    return runs == 4;
}

bool hasForm(const char *text, TextForm form, double *amount)
{
    size_t len = strlen(text);
    switch (form) {
    case TEXT_ANY: return true;
    case TEXT_PRINTABLE: return isPrintableText(text);
    case TEXT_DIGITS: return strspn(text, "0123456789") == len;
    case TEXT_WORD:
        return strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") == len;
    case TEXT_MAC: return isMacText(text);
    case TEXT_DOTTED: return isDottedQuad(text);
    case TEXT_WPA_KEY: return len == 64 ? isHexText(text, 64) : len >= 8 && len <= 63 && isPrintableText(text);
    case TEXT_AMOUNT: return parseAmount(text, amount) == 0 && *amount >= 0;
    case TEXT_REGION: return len >= 2 && strspn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZ") == len;
    case TEXT_PHONE: return strspn(text + (text[0] == '+'), "0123456789") == len - (text[0] == '+');
    case TEXT_OPERATOR: {
        size_t digits = strspn(text, "0123456789");
        return digits == 0 || digits == 5 || digits == 6;
    }
    }
    return false;
}

NonNumber nonNumberReading(ValuePolicy other)
{
    return other == POLICY_TRUE_ONE ? NON_NUMBER_TRUE_ONE : other == POLICY_ZERO ? NON_NUMBER_ZERO : NON_NUMBER_REFUSED;
}

// Why a text keeps its rules or not; the order is the order of the checks.
int textRefusal(const char *text, const Member &m, double *amount)
{
    size_t len = strlen(text);
    if (!isUtf8(text))
        return REFUSED_NOT_UTF8;
    if ((long long)len < m.low || (m.high != 0 && (long long)len > m.high))
        return REFUSED_LENGTH;
    if (!hasForm(text, m.form, amount))
        return REFUSED_FORM;
    return -1;
}

// A value out of its range, length or form, or an object or list with a
// member that refused: 1 when left out, 0 when it refuses.
int leaveOut(const Member &m, bool typed, MemberValue *value)
{
    if (m.bad != POLICY_LEAVE_OUT)
        return 0;
    value->leftOut = typed;
    return 1;
}

// An absent member: 1 (*value its fallback or the current value when it
// has one), or 0 when it is required.
int readAbsent(const Member &m, MemberValue *value, const int *current)
{
    if (m.presence == REQUIRED)
        return 0;
    if (m.presence == DEFAULTED || (m.presence == CURRENT && current != NULL)) {
        value->given = true;
        value->number = m.presence == DEFAULTED ? m.fallback : *current;
    }
    return 1;
}

// A value of another type than the member's, by its policy: 1 taken (or
// left out), 0 refused, -1 read as the type's own (true one, zero).
int readOtherType(const cJSON *item, const Member &m, MemberValue *value, const int *current)
{
    if (m.other == POLICY_LEAVE_OUT || (m.other == POLICY_CURRENT && current == NULL))
        return 1;
    if (m.other == POLICY_REFUSE)
        return 0;
    if (m.other == POLICY_CURRENT || m.other == POLICY_AS_SENT) {
        value->given = true;
        value->number = m.other == POLICY_CURRENT ? *current : 0;
        value->item = m.other == POLICY_AS_SENT ? item : NULL;
        return 1;
    }
    return -1;
}

// Reads one member's value. 1 when it keeps its rules (*value filled or
// left absent), 0 when it refuses the request (*refused says why).
int readMember(const cJSON *item, const Member &m, MemberValue *value, MemberRefusal *refused,
               const int *current)
{
    memset(value, 0, sizeof(*value));
    *refused = MemberRefusal{&m, -1, REFUSED_MISSING, item};
    if (item == NULL)
        return readAbsent(m, value, current);
    bool typed = false;
    int why = -1;  // a RefusalReason when out of range, length or form
    switch (m.type) {
    case MEMBER_INTEGER:
        typed = cJSON_IsNumber(item) || m.other == POLICY_TRUE_ONE || m.other == POLICY_ZERO;
        if (!readInteger(item, nonNumberReading(m.other), m.low, m.high, &value->number))
            why = REFUSED_RANGE;
        break;
    case MEMBER_SWITCH:
        typed = true;
        value->number = cJSON_IsTrue(item) ? 1 : 0;
        break;
    case MEMBER_BOOLEAN:
        typed = cJSON_IsBool(item);
        value->number = cJSON_IsTrue(item) ? 1 : 0;
        break;
    case MEMBER_TEXT: {
        typed = cJSON_IsString(item) && item->valuestring != NULL;
        const char *text = typed ? item->valuestring : "";
        why = textRefusal(text, m, &value->amount);
        value->text = text;
        break;
    }
    case MEMBER_OBJECT: {
        typed = cJSON_IsObject(item);
        Request inner;
        if ((typed || m.other == POLICY_ZERO) &&
            readMembers(typed ? item : NULL, m.members, m.count, &inner, refused) != 0)
            return leaveOut(m, typed, value);
        break;
    }
    case MEMBER_LIST: {
        typed = cJSON_IsArray(item);
        int n = typed ? cJSON_GetArraySize(item) : 0;
        if (n < m.low || n > m.high) {
            why = REFUSED_ELEMENTS;
            break;
        }
        for (int i = 0; typed && i < n; i++) {
            Request inner;
            if (readMembers(cJSON_GetArrayItem(item, i), m.members, m.count, &inner, refused) != 0) {
                if (refused->element < 0)
                    refused->element = i;
                return leaveOut(m, typed, value);
            }
        }
        break;
    }
    }
    if (!typed) {
        refused->reason = REFUSED_TYPE;
        int taken = readOtherType(item, m, value, current);
        if (taken >= 0)
            return taken;
    }
    if (why >= 0) {
        refused->reason = (RefusalReason)why;
        return leaveOut(m, typed, value);
    }
    value->given = true;
    value->item = typed ? item : NULL;
    return 1;
}

}  // namespace

int readMembers(const cJSON *object, const Member *members, int count, Request *values,
                MemberRefusal *refused, const int *current)
{
    memset(values, 0, sizeof(*values));
    values->members = members;
    // Tables are held to kMaxMembers where they are built; this only keeps
    // a table built otherwise within values.
    values->count = count < kMaxMembers ? count : kMaxMembers;
    for (int i = 0; i < values->count; i++) {
        const Member &m = members[i];
        if (m.when != NULL) {
            const MemberValue &on = values->get(m.when);
            if (m.unlessZero ? on.given && on.number == 0 : !on.given || on.number != 1)
                continue;
        }
        const cJSON *item = object != NULL ? cJSON_GetObjectItem(object, m.name) : NULL;
        MemberRefusal why;
        if (readMember(item, m, &values->values[i], &why, current) == 0) {
            if (refused != NULL)
                *refused = why;
            return why.member->refusal != 0 ? why.member->refusal : -1;
        }
    }
    return 0;
}

namespace {

// The index of the declared member name, or -1.
int memberIndex(const Request &request, const char *name)
{
    for (int i = 0; i < request.count; i++) {
        if (strcmp(request.members[i].name, name) == 0)
            return i;
    }
#if KAL_PLATFORM_SIM
    // Only a module's own code names members: an undeclared one is its
    // fault, whatever the request holds.
    fprintf(stderr, "kal_server: request member \"%s\" is not declared\n", name);
    abort();
#endif
    return -1;
}

}  // namespace

const MemberValue &Request::get(const char *name) const
{
    int i = memberIndex(*this, name);
    return i >= 0 ? values[i] : absent;
}

Request Request::nested(const char *name, int index) const
{
    Request inner;
    memset(&inner, 0, sizeof(inner));
    int i = memberIndex(*this, name);
    if (i < 0)
        return inner;
    const cJSON *item = values[i].item;
    if (index >= 0)
        item = cJSON_GetArrayItem(item, index);
    // Read before the action ran: the values keep their rules.
    readMembers(item, members[i].members, members[i].count, &inner, NULL);
    return inner;
}

namespace {

// The answer of runModule before the finish step; *ran gets the action that
// ran.
int answer(cJSON *request, cJSON *response, const ModulePolicy &policy, const ModuleAction **ran)
{
    trace(policy, STEP_ENTRY, NULL, request);
    if (request == NULL || response == NULL) {
        trace(policy, STEP_NO_REQUEST, NULL, request);
        return refuse(response, policy);
    }
    const cJSON *action = cJSON_GetObjectItem(request, "action");
    if (action == NULL) {
        trace(policy, STEP_NO_ACTION, NULL, request);
        return refuse(response, policy);
    }
    // cJSON's valueint: a number toward zero, saturated at the int range;
    // anything else 0. Codes are never negative, so no saturated value
    // finds an action.
    int code = policy.numbersOnly && !cJSON_IsNumber(action) ? 0 : action->valueint;
    Prepared prepared;
    memset(&prepared, 0, sizeof(prepared));
    int result = policy.prepare != NULL ? policy.prepare(request, code, &prepared) : 0;
    if (result == 0) {
        const ModuleAction *found = findAction(policy.actions, policy.count, code);
        *ran = found;
        if (found == NULL) {
            trace(policy, STEP_UNDEFINED, NULL, request);
            result = 1;
        } else {
            Request values;
            MemberRefusal refused;
            memset(&refused, 0, sizeof(refused));
            result = readMembers(request, found->members, found->memberCount, &values, &refused, policy.current);
            if (result == 0) {
                values.prepared = prepared.room;
                result = found->run(values, response);
            } else {
                trace(policy, STEP_REFUSED, &refused, request);
                if (result < 0)
                    result = policy.refusesEmpty ? kActionRejected : 1;
            }
        }
    }
    if (result == kActionRejected)
        return 1;
    cJSON_AddItemToObject(response, "result", cJSON_CreateNumber(result));
    trace(policy, STEP_LEAVE, NULL, request);
    return result;
}

}  // namespace

int runModule(cJSON *request, cJSON *response, const ModulePolicy &policy, const Started &started)
{
    const ModuleAction *ran = NULL;
    int result = answer(request, response, policy, &ran);
    if (policy.finish != NULL)
        policy.finish(ran, started);
    return result;
}

int handleRequest(const Module &module, cJSON *request, cJSON *response, const Started &started)
{
    if (module.handler != NULL)
        return module.handler(request, response);
    return runModule(request, response, module.policy, started);
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
