// The one handler skeleton: a module lists its actions as a table and
// runModule does the rest (null checks, the action lookup, the undefined
// action and the "result" member), in the same order for every module.
#pragma once

#include <limits.h>

#include <cjson/cJSON.h>

// An action's answer that refuses the request outright: the reply stays the
// empty object and the handler returns 1.
const int kActionRejected = INT_MIN;

// An action reads request, fills response and returns its "result".
typedef int (*ActionFunction)(cJSON *request, cJSON *response);

// One row of a module's table: the request's "action" code and what it
// runs; a name only where the module logs it.
struct ModuleAction {
    int code;
    ActionFunction run;
    const char *name = NULL;
};

// The steps a module may log, in the order they happen.
enum ModuleStep {
    STEP_ENTRY,
    STEP_NO_REQUEST,  // request or response is null
    STEP_NO_ACTION,   // the request has no "action"
    STEP_UNDEFINED,   // no action has the code
    STEP_LEAVE,       // "result" has been added
};

// What differs between modules.
struct ModulePolicy {
    const ModuleAction *actions;
    int count;
    // Runs once the request has an action, before the lookup; any answer
    // but 0 is final (kActionRejected for the empty object). May be null.
    int (*prepare)(cJSON *request, int code);
    // Logs the steps the module reports. May be null.
    void (*trace)(ModuleStep step);
    // A request refused before its action is read (null request, no
    // "action") still gets "result" 1 when there is a response to fill.
    bool answerMissingAction;
    // Only a JSON number names its action; any other value names action 0
    // (otherwise true names action 1, as cJSON reads it).
    bool numbersOnly;
};

// Request members and configuration keys, read one way in every module.
// Each answers true when it has a value.

// Object's member key as an int in [low, high], read as requestInt reads
// it. An absent member is true and leaves *value as it was; a present one
// out of range (or beyond int) is false.
bool memberInt(const cJSON *object, const char *key, int low, int high, int *value);

// Object's member key as it was sent when it is a JSON string (its bytes
// are not checked; see requestText for that), otherwise null.
const char *memberString(const cJSON *object, const char *key);

// Object's member key as a switch: the literal true is 1, any other value
// 0. An absent member is false and leaves *value as it was.
bool memberSwitch(const cJSON *object, const char *key, int *value);

// Configuration key into buffer (zeroed first, always terminated); on
// failure the buffer is left empty.
bool configText(int key, char *buffer, int size);

// Numeric configuration key, the integer at the start of its text; 0 when
// it cannot be read.
bool configInt(int key, int *value);

#define ACTION_COUNT(table) ((int)(sizeof(table) / sizeof((table)[0])))

// The row with code, or null.
const ModuleAction *findAction(const ModuleAction *actions, int count, int code);

// An action that only tells a service to act and answers 0, whatever the
// service returns.
template <auto call>
int notifyAction(cJSON *, cJSON *)
{
    call();
    return 0;
}

// Traces entry; a null request or response, or no "action", returns 1
// (see answerMissingAction). Otherwise prepare, then the action with the
// request's code (an undefined one answers 1); the answer becomes "result"
// and is returned, except kActionRejected, which returns 1 and adds nothing.
int runModule(cJSON *request, cJSON *response, const ModulePolicy &policy);

// A module whose table is all it has: no prelude, no trace.
template <int N>
int runModule(cJSON *request, cJSON *response, const ModuleAction (&actions)[N])
{
    return runModule(request, response, {actions, N, NULL, NULL, false, false});
}
