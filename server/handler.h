// The one handler skeleton: a module lists its actions as a table and
// runModule does the rest (null checks, the action lookup, the undefined
// action and the "result" member), in the same order for every module.
#pragma once

#include <limits.h>

#include <cjson/cJSON.h>

// An action's answer that refuses the request outright: the reply stays the
// empty object and the handler returns 1.
const int kActionRejected = INT_MIN;

// Descriptions are for the generated documentation only: the device's
// binary leaves them out.
#ifdef KAL_CONTRACT_TEXT
#define KAL_TEXT(text) text
#else
#define KAL_TEXT(text) NULL
#endif

#define ACTION_COUNT(table) ((int)(sizeof(table) / sizeof((table)[0])))

// A request member's declared JSON type.
enum MemberType : unsigned char {
    MEMBER_INTEGER,  // a number, taken by its integer value (toward zero)
    MEMBER_SWITCH,   // the literal true is 1, any other value 0
    MEMBER_BOOLEAN,  // true or false
    MEMBER_TEXT,     // a string of well-formed UTF-8
    MEMBER_OBJECT,   // an object with members of its own
    MEMBER_LIST,     // an array of objects, at most `high` of them
};

// What a value does that is not of the member's type (Other) or lies
// outside its range, length or form (Bad).
enum ValuePolicy : unsigned char {
    POLICY_REFUSE,     // the request is refused, nothing done
    POLICY_LEAVE_OUT,  // as if the member were absent
    POLICY_TRUE_ONE,   // Other only: true counts as 1, anything else as 0
    POLICY_ZERO,       // Other only: counts as 0 (an empty text, an empty object)
};

// What an absent member does.
enum Presence : unsigned char { OPTIONAL, REQUIRED, DEFAULTED };

// The form a text must have beyond its length.
enum TextForm : unsigned char {
    TEXT_ANY,
    TEXT_PRINTABLE,  // ASCII from space to tilde
    TEXT_DIGITS,
    TEXT_WORD,       // A-Z a-z 0-9 _
    TEXT_MAC,        // six hex pairs split by one of ':' and '-' throughout
    TEXT_DOTTED,     // four runs of digits up to 255, 7 to 15 characters
    TEXT_WPA_KEY,    // 8 to 63 printable characters or 64 hex digits
    TEXT_AMOUNT,     // a decimal number of 0 or more leads the text
    TEXT_REGION,     // "NONE" or letters
};

// One request member of an action: its declared contract. Built with the
// functions below, so that a table row reads like the documentation.
struct Member {
    const char *name;
    int low;   // integer range; a text's length in bytes (high 0: any); a
    int high;  // list's least and most elements
    int fallback;                  // the value of an absent DEFAULTED member
    const char *when;              // read only while this earlier member is 1
    const char *failure;           // logged by the module when this member refuses
    const struct Member *members;  // an object's members, a list's element
    MemberType type;
    TextForm form;
    ValuePolicy other;
    ValuePolicy bad;
    Presence presence;
    bool unlessZero;      // read unless the `when` member is given as 0
    unsigned char count;  // of members
    signed char refusal;  // "result" of a refusal; 0: the module's usual
#ifdef KAL_CONTRACT_TEXT
    const char *description;
#endif

    constexpr Member required() const { return with(&Member::presence, REQUIRED); }
    constexpr Member byDefault(int value) const
    {
        Member m = with(&Member::presence, DEFAULTED);
        m.fallback = value;
        return m;
    }
    constexpr Member otherwise(ValuePolicy policy) const { return with(&Member::other, policy); }
    constexpr Member outOfRange(ValuePolicy policy) const { return with(&Member::bad, policy); }
    constexpr Member refusedWith(signed char result) const { return with(&Member::refusal, result); }
    constexpr Member readWhile(const char *memberName) const { return with(&Member::when, memberName); }
    constexpr Member readUnlessZero(const char *memberName) const
    {
        return with(&Member::when, memberName).with(&Member::unlessZero, true);
    }
    constexpr Member logs(const char *line) const { return with(&Member::failure, line); }
    constexpr Member form_(TextForm f) const { return with(&Member::form, f); }

    template <typename T>
    constexpr Member with(T Member::*field, T value) const
    {
        Member m = *this;
        m.*field = value;
        return m;
    }
};

constexpr Member member(const char *name, MemberType type, int low, int high, const char *description)
{
    Member m{name, low, high, 0, NULL, NULL, NULL, type, TEXT_ANY, POLICY_REFUSE, POLICY_REFUSE, OPTIONAL, false, 0, 0};
#ifdef KAL_CONTRACT_TEXT
    m.description = description;
#else
    (void)description;
#endif
    return m;
}

// A number in [low, high].
constexpr Member integer(const char *name, int low, int high, const char *description)
{
    return member(name, MEMBER_INTEGER, low, high, description);
}

// Any 32-bit integer: passed on as it comes.
constexpr Member anyInt32(const char *name, const char *description)
{
    return integer(name, INT_MIN, INT_MAX, description);
}

constexpr Member onOff(const char *name, const char *description)
{
    return member(name, MEMBER_SWITCH, 0, 1, description);
}

constexpr Member boolean(const char *name, const char *description)
{
    return member(name, MEMBER_BOOLEAN, 0, 1, description).otherwise(POLICY_LEAVE_OUT);
}

// A text of minBytes to maxBytes bytes (maxBytes 0: any length) of form.
constexpr Member text(const char *name, int minBytes, int maxBytes, TextForm form,
                      const char *description)
{
    return member(name, MEMBER_TEXT, minBytes, maxBytes, description).form_(form).otherwise(POLICY_LEAVE_OUT);
}

template <int N>
constexpr Member object(const char *name, const Member (&members)[N], const char *description)
{
    Member m = member(name, MEMBER_OBJECT, 0, 0, description);
    m.members = members;
    m.count = N;
    return m;
}

template <int N>
constexpr Member list(const char *name, int most, const Member (&element)[N], const char *description)
{
    Member m = member(name, MEMBER_LIST, 0, most, description);
    m.members = element;
    m.count = N;
    return m;
}

// A list whose elements only document what the action's own reader takes
// (they never refuse): the device's binary leaves the element out.
#ifdef KAL_CONTRACT_TEXT
#define DOCUMENTED_LIST(name, most, element, description) list(name, most, element, description)
#else
#define DOCUMENTED_LIST(name, most, element, description) member(name, MEMBER_LIST, 0, most, NULL)
#endif

// The most members one object of a request declares.
const int kMaxMembers = 16;

struct MemberValue {
    bool given;
    int number;
    const char *text;
    const cJSON *item;  // the value as sent, when it has the member's type
    double amount;      // a TEXT_AMOUNT text's number
};

// The typed values of one request object, read by its members' rules.
struct Request {
    const cJSON *object;
    const Member *members;
    int count;
    MemberValue values[kMaxMembers];

    // The value of the declared member name (an undeclared name is absent).
    const MemberValue &get(const char *name) const;
    bool has(const char *name) const { return get(name).given; }
    int number(const char *name) const { return get(name).number; }
    const char *text(const char *name) const { return get(name).text; }
    double amount(const char *name) const { return get(name).amount; }
    // A member object's values, or element index of a member list's.
    Request nested(const char *name, int index = -1) const;
    int size(const char *name) const;
};

// Reads object by members into values. 0 when every member keeps its
// rules; otherwise the refusing member goes to *refused and the answer is
// its refusal result (-1: the module's usual).
int readMembers(const cJSON *object, const Member *members, int count, Request *values,
                const Member **refused);

// An action gets its request's values and fills response; the answer is
// its "result".
typedef int (*ActionFunction)(const Request &request, cJSON *response);

// One row of a module's table: the request's "action" code, what it runs,
// its members' contract and, for the documentation, what it does. Built
// with action(), so that rows read like the documentation.
struct ModuleAction {
    short code;
    short memberCount;
    ActionFunction run;
    const Member *members;
#ifdef KAL_CONTRACT_TEXT
    const char *description;
#endif
};

constexpr ModuleAction actionRow(int code, ActionFunction run, const char *description, const Member *members,
                                 int count)
{
#ifdef KAL_CONTRACT_TEXT
    return ModuleAction{(short)code, (short)count, run, members, description};
#else
    (void)description;
    return ModuleAction{(short)code, (short)count, run, members};
#endif
}

constexpr ModuleAction action(int code, ActionFunction run, const char *description)
{
    return actionRow(code, run, description, NULL, 0);
}

template <int N>
constexpr ModuleAction action(int code, ActionFunction run, const char *description, const Member (&members)[N])
{
    return actionRow(code, run, description, members, N);
}

// The steps a module may log, in the order they happen.
enum ModuleStep {
    STEP_ENTRY,
    STEP_NO_REQUEST,  // request or response is null
    STEP_NO_ACTION,   // the request has no "action"
    STEP_UNDEFINED,   // no action has the code
    STEP_REFUSED,     // a member broke its rules (the member is given)
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
    void (*trace)(ModuleStep step, const Member *member, const cJSON *request);
    // A request refused before its action is read (null request, no
    // "action") still gets "result" 1 when there is a response to fill.
    bool answerMissingAction;
    // Only a JSON number names its action; any other value names action 0
    // (otherwise true names action 1, as cJSON reads it).
    bool numbersOnly;
    // A member that breaks its rules answers the empty object (the Wi-Fi
    // modules) instead of "result" 1.
    bool refusesEmpty;
};

// Configuration key into buffer (zeroed first, always terminated); on
// failure the buffer is left empty.
bool configText(int key, char *buffer, int size);

// Numeric configuration key, the integer at the start of its text; 0 when
// it cannot be read.
bool configInt(int key, int *value);

// The row with code, or null.
const ModuleAction *findAction(const ModuleAction *actions, int count, int code);

// An action that only tells a service to act and answers 0, whatever the
// service returns.
template <auto call>
int notifyAction(const Request &, cJSON *)
{
    call();
    return 0;
}

// Traces entry; a null request or response, or no "action", returns 1
// (see answerMissingAction). Otherwise prepare, then the action with the
// request's code (an undefined one answers 1) once its members keep their
// rules; the answer becomes "result" and is returned, except
// kActionRejected, which returns 1 and adds nothing.
int runModule(cJSON *request, cJSON *response, const ModulePolicy &policy);

// A module whose table is all it has: no prelude, no trace.
template <int N>
int runModule(cJSON *request, cJSON *response, const ModuleAction (&actions)[N])
{
    return runModule(request, response, {actions, N, NULL, NULL, false, false, false});
}
