// The one handler skeleton: a module lists its actions as a table and
// runModule does the rest (null checks, the action lookup, the undefined
// action and the "result" member), in the same order for every module.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <time.h>

#include <new>

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
enum MemberType {
    MEMBER_INTEGER,  // a number, taken by its integer value (toward zero)
    MEMBER_SWITCH,   // the literal true is 1, any other value 0
    MEMBER_BOOLEAN,  // true or false
    MEMBER_TEXT,     // a string of well-formed UTF-8
    MEMBER_OBJECT,   // an object with members of its own
    MEMBER_LIST,     // an array of objects, at most `high` of them
};

// What a value does that is not of the member's type (Other) or lies
// outside its range, length or form (Bad).
enum ValuePolicy {
    POLICY_REFUSE,     // the request is refused, nothing done
    POLICY_LEAVE_OUT,  // as if the member were absent
    POLICY_TRUE_ONE,   // Other only: true counts as 1, anything else as 0
    POLICY_ZERO,       // Other only: counts as 0 (an empty text, an empty object)
    POLICY_CURRENT,    // Other only: counts as the module's current value (left out without one)
    POLICY_AS_SENT,    // Other only: given as sent (no element read), for the action to judge
};

// What an absent member does.
enum Presence {
    OPTIONAL,
    REQUIRED,
    DEFAULTED,  // absent: the member's fallback
    CURRENT,    // absent: the value the device holds now (the module's current)
};

// The form a text must have beyond its length.
enum TextForm {
    TEXT_ANY,
    TEXT_PRINTABLE,  // ASCII from space to tilde
    TEXT_DIGITS,
    TEXT_WORD,       // A-Z a-z 0-9 _
    TEXT_MAC,        // six hex pairs split by one of ':' and '-' throughout
    TEXT_DOTTED,     // four runs of digits up to 255, 7 to 15 characters
    TEXT_WPA_KEY,    // 8 to 63 printable characters or 64 hex digits
    TEXT_AMOUNT,     // a decimal number of 0 or more leads the text
    TEXT_REGION,     // two or more upper-case letters A-Z ("NONE" among them)
    TEXT_PHONE,      // digits, the first of them may be a '+'
    TEXT_OPERATOR,   // no leading digit, or 5 or 6 of them: an MCC of three, then the MNC
};

// A copy of value with change made to it: each builder below is one change.
template <typename T, typename Change>
constexpr T changedCopy(T value, Change change)
{
    change(value);
    return value;
}

// One request member of an action: its declared contract. Built with the
// functions below, so that a table row reads like the documentation. The
// small fields share one word: every action's rows stay in the device's
// binary.
struct Member {
    const char *name;
    const char *when;              // read only while this earlier member is 1
    const char *failure;           // logged by the module when this member refuses
    const struct Member *members;  // an object's members, a list's element
    int low;   // integer range; a text's length in bytes (high 0: any); a
    int high;  // list's least and most elements
    MemberType type : 3;
    TextForm form : 4;
    ValuePolicy other : 3;
    unsigned bad : 2;          // a ValuePolicy: POLICY_REFUSE or POLICY_LEAVE_OUT
    Presence presence : 2;
    bool unlessZero : 1;       // read unless the `when` member is given as 0
    unsigned count : 5;        // of members
    unsigned refusal : 4;      // "result" of a refusal; 0: the module's usual
    signed char fallback;      // the value of an absent DEFAULTED member
#ifdef KAL_CONTRACT_TEXT
    const char *description;
    int cut;          // a longer text is kept as its first `cut` bytes (0: whole)
    bool documented;  // only says what the action itself takes: never refuses
#endif

    // Each builder is one change to a copy (changedCopy).
    constexpr Member required() const { return changedCopy(*this, [](Member &m) { m.presence = REQUIRED; }); }
    constexpr Member byDefault(signed char value) const
    {
        return changedCopy(*this, [value](Member &m) {
            m.presence = DEFAULTED;
            m.fallback = value;
        });
    }
    // Absent: the device's current value, so that members read after it
    // follow what the device will hold.
    constexpr Member currentWhenAbsent() const { return changedCopy(*this, [](Member &m) { m.presence = CURRENT; }); }
    constexpr Member otherwise(ValuePolicy policy) const { return changedCopy(*this, [policy](Member &m) { m.other = policy; }); }
    // POLICY_LEAVE_OUT or POLICY_REFUSE (the others are for Other only).
    constexpr Member outOfRange(ValuePolicy policy) const
    {
        return changedCopy(*this, [policy](Member &m) { m.bad = policy == POLICY_LEAVE_OUT ? POLICY_LEAVE_OUT : POLICY_REFUSE; });
    }
    constexpr Member refusedWith(unsigned result) const { return changedCopy(*this, [result](Member &m) { m.refusal = result; }); }
    constexpr Member readWhile(const char *name) const { return changedCopy(*this, [name](Member &m) { m.when = name; }); }
    constexpr Member readUnlessZero(const char *name) const
    {
        return changedCopy(readWhile(name), [](Member &m) { m.unlessZero = true; });
    }
    constexpr Member documentedOnly() const
    {
#ifdef KAL_CONTRACT_TEXT
        return changedCopy(*this, [](Member &m) { m.documented = true; });
#else
        return *this;
#endif
    }
    constexpr Member logs(const char *line) const { return changedCopy(*this, [line](Member &m) { m.failure = line; }); }
    // Documents that the module keeps a longer text as its first bytes
    // (cut at a character boundary); the reader still takes it whole.
    constexpr Member cutTo(int bytes) const
    {
#ifdef KAL_CONTRACT_TEXT
        return changedCopy(*this, [bytes](Member &m) { m.cut = bytes; });
#else
        (void)bytes;
        return *this;
#endif
    }
};

// The most members one object of a request declares (Member::count holds
// it); a table with more does not compile.
const int kMaxMembers = 16;

constexpr Member member(const char *name, MemberType type, int low, int high, const char *description)
{
#ifdef KAL_CONTRACT_TEXT
    return Member{name,     NULL,  NULL, NULL, low, high, type, TEXT_ANY, POLICY_REFUSE, POLICY_REFUSE,
                  OPTIONAL, false, 0,    0,    0,   description, 0, false};
#else
    (void)description;
    return Member{name, NULL, NULL, NULL, low, high, type, TEXT_ANY, POLICY_REFUSE, POLICY_REFUSE, OPTIONAL, false, 0, 0, 0};
#endif
}

// The builders say in their names what a value of another type does:
// integers and objects refuse it, texts and booleans are left out
// (...OrAbsent); .otherwise() changes either.

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

// Any value: the literal true is 1, anything else 0.
constexpr Member onOff(const char *name, const char *description)
{
    return member(name, MEMBER_SWITCH, 0, 1, description);
}

// true or false; a value of another type is as if absent.
constexpr Member booleanOrAbsent(const char *name, const char *description)
{
    return member(name, MEMBER_BOOLEAN, 0, 1, description).otherwise(POLICY_LEAVE_OUT);
}

// A text of minBytes to maxBytes bytes (maxBytes 0: any length) of form; a
// value of another type is as if absent.
constexpr Member textOrAbsent(const char *name, int minBytes, int maxBytes, TextForm form,
                              const char *description)
{
    Member m = member(name, MEMBER_TEXT, minBytes, maxBytes, description).otherwise(POLICY_LEAVE_OUT);
    m.form = form;
    return m;
}

template <int N>
constexpr Member object(const char *name, const Member (&members)[N], const char *description)
{
    static_assert(N <= kMaxMembers, "an object declares at most kMaxMembers members");
    Member m = member(name, MEMBER_OBJECT, 0, 0, description);
    m.members = members;
    m.count = N;
    return m;
}

template <int N>
constexpr Member list(const char *name, int most, const Member (&element)[N], const char *description)
{
    static_assert(N <= kMaxMembers, "a list's element declares at most kMaxMembers members");
    Member m = member(name, MEMBER_LIST, 0, most, description);
    m.members = element;
    m.count = N;
    return m;
}

// A list whose elements only document what the action's own reader takes
// (they never refuse): the device's binary leaves the element out.
#ifdef KAL_CONTRACT_TEXT
#define DOCUMENTED_LIST(name, most, element, description) list(name, most, element, description).documentedOnly()
#else
#define DOCUMENTED_LIST(name, most, element, description) member(name, MEMBER_LIST, 0, most, NULL)
#endif

struct MemberValue {
    bool given;
    int number;
    const char *text;
    const cJSON *item;  // the value as sent, when it has the member's type (any, POLICY_AS_SENT)
    double amount;      // a TEXT_AMOUNT text's number
    bool leftOut;       // given with its type, but left out for its range or form
};

// The typed values of one request object, read by its members' rules.
struct Request {
    const Member *members;
    int count;
    MemberValue values[kMaxMembers];
    MemberValue absent;  // never given: the value of an undeclared name
    const void *prepared;  // what the module's prepare step made for this request

    // What the module's prepare step made, as the type it made.
    template <typename T>
    const T &preparedAs() const
    {
        return *static_cast<const T *>(prepared);
    }

    // The value of the declared member name. An undeclared name is a fault
    // of the module: the simulated device stops on it with one line naming
    // it, so that the tests and the fuzzer find it; the device's build
    // answers the absent value.
    const MemberValue &get(const char *name) const;
    bool has(const char *name) const { return get(name).given; }
    int number(const char *name) const { return get(name).number; }
    const char *text(const char *name) const { return get(name).text; }
    double amount(const char *name) const { return get(name).amount; }
    // A member object's values, or element index of a member list's.
    Request nested(const char *name, int index = -1) const;
    int size(const char *name) const
    {
        const cJSON *list = get(name).item;
        return cJSON_IsArray(list) ? cJSON_GetArraySize(list) : 0;
    }
};

// Why a member refused its request.
enum RefusalReason {
    REFUSED_MISSING,     // a required member is absent
    REFUSED_TYPE,        // a value of another type
    REFUSED_RANGE,       // a number outside its range
    REFUSED_NOT_UTF8,    // a text that is not well-formed UTF-8
    REFUSED_LENGTH,      // a text too short or too long
    REFUSED_FORM,        // a text not of its form
    REFUSED_ELEMENTS,    // a list with too few or too many elements
};

// The member that refused a request: an object's or a list's own member
// when one of theirs refused.
struct MemberRefusal {
    const Member *member;
    int element;         // the index in the innermost list it belongs to; -1: in none
    RefusalReason reason;
    const cJSON *item;   // the value as sent; null when absent
};

// Reads object by members into values. 0 when every member keeps its
// rules; otherwise what refused goes to *refused (when not null) and the
// answer is the member's refusal result (-1: the module's usual).
// current holds the module's current value for CURRENT members and
// POLICY_CURRENT values (null: none).
int readMembers(const cJSON *object, const Member *members, int count, Request *values,
                MemberRefusal *refused, const int *current = NULL);

// An action gets its request's values and fills response; the answer is
// its "result".
typedef int (*ActionFunction)(const Request &request, cJSON *response);

// The shape of one of an action's answers, besides its "result".
enum ReplyShape {
    REPLY_RESULT_ONLY,  // "result" alone
    REPLY_WHOLE,        // every member of the action's reply ('?' ones may be absent)
    REPLY_SO_FAR,       // the members added before the action stopped: any of them
    REPLY_MEMBERS,      // members of its own, written as a reply is
    REPLY_EMPTY,        // the empty object, no "result" either
};

#ifdef KAL_CONTRACT_TEXT
// One answer an action gives: its "result" code, "name: what it means"
// and its shape.
struct ReplyForm {
    int code;
    ReplyShape shape;
    const char *text;
    const char *members;  // REPLY_MEMBERS only
};
const int kMaxReplyForms = 10;
#endif

// One row of a module's table: the request's "action" code, what it runs,
// its members' contract and, for the documentation, what it does, the
// members of its reply besides "result" and the answers it gives. Built
// with action() and result(), so that rows read like the documentation.
//
// A reply is written as "name:type ..." with the types integer, number,
// boolean and text, {members} for an object and [type] for a list; a
// trailing '?' on a name marks a member that only some replies carry.
struct ModuleAction {
    short code;
    short memberCount;
    ActionFunction run;
    const Member *members;
    const char *name;  // for a module's own log lines; null when it logs none
#ifdef KAL_CONTRACT_TEXT
    const char *description;
    const char *reply;
    ReplyForm forms[kMaxReplyForms];
    int formCount;  // more than kMaxReplyForms: some were dropped
#endif

    // The action answers code, meaning text ("name: what it means"); code
    // 0 with the whole reply, any other with "result" alone unless shape
    // says otherwise. A code may come with several shapes, one call each.
    constexpr ModuleAction result(int resultCode, const char *text, ReplyShape shape = REPLY_RESULT_ONLY) const
    {
        return form(resultCode, text, resultCode == 0 && shape == REPLY_RESULT_ONLY ? REPLY_WHOLE : shape, NULL);
    }
    // The action answers code with these members ("name:type ...").
    constexpr ModuleAction resultWith(int resultCode, const char *text, const char *replyMembers) const
    {
        return form(resultCode, text, REPLY_MEMBERS, replyMembers);
    }
    // The action answers the empty object: text says when.
    constexpr ModuleAction refused(const char *text) const { return form(0, text, REPLY_EMPTY, NULL); }
    // The action's name in the module's own log lines.
    constexpr ModuleAction named(const char *actionName) const
    {
        return changedCopy(*this, [actionName](ModuleAction &a) { a.name = actionName; });
    }

    constexpr ModuleAction form(int resultCode, const char *text, ReplyShape shape, const char *replyMembers) const
    {
#ifdef KAL_CONTRACT_TEXT
        ModuleAction a = *this;
        if (a.formCount < kMaxReplyForms)
            a.forms[a.formCount] = ReplyForm{resultCode, shape, text, replyMembers};
        a.formCount++;
        return a;
#else
        (void)resultCode;
        (void)text;
        (void)shape;
        (void)replyMembers;
        return *this;
#endif
    }
};

constexpr ModuleAction actionRow(int code, ActionFunction run, const char *description, const char *reply,
                                 const Member *members, int count)
{
#ifdef KAL_CONTRACT_TEXT
    return ModuleAction{(short)code, (short)count, run, members, NULL, description, reply, {}, 0};
#else
    (void)description;
    (void)reply;
    return ModuleAction{(short)code, (short)count, run, members, NULL};
#endif
}

constexpr ModuleAction action(int code, ActionFunction run, const char *description, const char *reply)
{
    return actionRow(code, run, description, reply, NULL, 0);
}

template <int N>
constexpr ModuleAction action(int code, ActionFunction run, const char *description, const char *reply,
                              const Member (&members)[N])
{
    static_assert(N <= kMaxMembers, "an action declares at most kMaxMembers members");
    return actionRow(code, run, description, reply, members, N);
}

// The steps a module may log, in the order they happen.
enum ModuleStep {
    STEP_ENTRY,
    STEP_NO_REQUEST,  // request or response is null
    STEP_NO_ACTION,   // the request has no "action"
    STEP_UNDEFINED,   // no action has the code
    STEP_REFUSED,     // a member broke its rules (the refusal is given)
    STEP_LEAVE,       // "result" has been added
};

// Room for what a module's prepare step reads for one request and hands to
// the action with it, an object of the module's own type made in place.
struct Prepared {
    alignas(max_align_t) unsigned char room[128];

    template <typename T>
    T *make()
    {
        static_assert(sizeof(T) <= sizeof(room), "a module's prepared state fits its room");
        return new (room) T();
    }
};

// When the dispatcher took the request: the wall clock of its "[start]" and
// "[end]" lines, and the processor time of a module's own elapsed line.
struct Started {
    time_t wall;
    clock_t processor;
};

// What differs between modules, built by name from its action table:
// actionsOf(table).preparedBy(...).tracedBy(...) and so on.
struct ModulePolicy {
    const ModuleAction *actions;
    int count;
    // Runs once the request has an action, before the lookup; any answer
    // but 0 is final (kActionRejected for the empty object). What it reads
    // for the action goes into prepared.
    int (*prepare)(cJSON *request, int code, Prepared *prepared);
    // Logs the steps the module reports; refusal is given at STEP_REFUSED
    // only.
    void (*trace)(ModuleStep step, const MemberRefusal *refusal, const cJSON *request);
    // Runs last on every path, "result" added: the action that ran (null
    // when none did) and when the dispatcher took the request.
    void (*finish)(const ModuleAction *ran, const Started &started);
    // Where the device holds the value of an absent CURRENT member or of
    // a POLICY_CURRENT member of another type (a module has at most one).
    const int *current;
    // A request refused before its action is read (null request, no
    // "action") still gets "result" 1 when there is a response to fill.
    bool answerMissingAction;
    // Only a JSON number names its action; any other value names action 0
    // (otherwise true names action 1, as cJSON reads it).
    bool numbersOnly;
    // A member that breaks its rules answers the empty object (the Wi-Fi
    // modules) instead of "result" 1.
    bool refusesEmpty;

    // Each builder is one change to a copy (changedCopy).
    constexpr ModulePolicy preparedBy(int (*step)(cJSON *, int, Prepared *)) const
    {
        return changedCopy(*this, [step](ModulePolicy &p) { p.prepare = step; });
    }
    constexpr ModulePolicy tracedBy(void (*step)(ModuleStep, const MemberRefusal *, const cJSON *)) const
    {
        return changedCopy(*this, [step](ModulePolicy &p) { p.trace = step; });
    }
    constexpr ModulePolicy finishedBy(void (*step)(const ModuleAction *, const Started &)) const
    {
        return changedCopy(*this, [step](ModulePolicy &p) { p.finish = step; });
    }
    constexpr ModulePolicy currentFrom(const int *value) const
    {
        return changedCopy(*this, [value](ModulePolicy &p) { p.current = value; });
    }
    constexpr ModulePolicy answeringMissingAction() const
    {
        return changedCopy(*this, [](ModulePolicy &p) { p.answerMissingAction = true; });
    }
    constexpr ModulePolicy actionsByNumberOnly() const { return changedCopy(*this, [](ModulePolicy &p) { p.numbersOnly = true; }); }
    constexpr ModulePolicy refusingWithEmptyObject() const
    {
        return changedCopy(*this, [](ModulePolicy &p) { p.refusesEmpty = true; });
    }
};

// The policy of a module whose table is all it has.
template <int N>
constexpr ModulePolicy actionsOf(const ModuleAction (&actions)[N])
{
    return {actions, N, NULL, NULL, NULL, NULL, false, false, false};
}

// A module of the server: its name on the wire and its policy, the action
// table among it. A module that hands its requests to a service whole has
// a handler of its own instead (its table, if any, only documents them).
typedef int (*ModuleHandler)(cJSON *request, cJSON *response);
struct Module {
    const char *name;
    ModulePolicy policy;
    ModuleHandler handler;
};

// Defines module id's object, id##Module, the one thing a module file
// exports: KAL_MODULE(time) = {"time", actionsOf(kTimeActions)};
#define KAL_MODULE(id) \
    extern const Module id##Module; \
    const Module id##Module

// Every module, in the order the dispatcher searches them.
extern const Module *const kModules[];
extern const int kModuleCount;

// The module with that wire name, or null.
const Module *findModule(const char *name);

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
// kActionRejected, which returns 1 and adds nothing. The policy's finish
// step ends every path.
int runModule(cJSON *request, cJSON *response, const ModulePolicy &policy, const Started &started);

// Answers one request with module: its handler, or its policy.
int handleRequest(const Module &module, cJSON *request, cJSON *response, const Started &started);
