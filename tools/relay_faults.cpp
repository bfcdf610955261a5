// The relay's own faults: a small table of rules, one per target, read by
// every /api request and changed by POST /sim; a mutex keeps the workers
// of the HTTP server from seeing half a change.
#include "tools/relay_faults.h"

#include <stdio.h>
#include <string.h>

#include <mutex>

#include <cjson/cJSON.h>

#include "common/text.h"
#include "sim/controls/control_support.h"
#include "sim/controls/device_controls.h"

namespace {

const size_t kMaxRules = 64;
const size_t kMaxModuleName = 32;
const long kMaxAction = 999;
const int kMinErrorStatus = 400;
const int kMaxErrorStatus = 599;
// "module.action" at its longest.
const size_t kMaxTarget = kMaxModuleName + 4;

struct Rule {
    bool used;
    char target[kMaxTarget + 1];
    RelayFault fault;
};

std::mutex g_mutex;
Rule g_rules[kMaxRules];

// A module name as requests spell them: letters, digits and '_'.
bool isModuleName(const char *text, size_t length)
{
    if (length == 0 || length > kMaxModuleName)
        return false;
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    }
    return true;
}

// "module" or "module.N", N from 0 to kMaxAction; the module goes into
// module (kMaxModuleName + 1 bytes).
bool parseTarget(const char *text, char *module)
{
    const char *dot = strchr(text, '.');
    size_t length = dot != NULL ? (size_t)(dot - text) : strlen(text);
    if (!isModuleName(text, length))
        return false;
    long action = 0;
    if (dot != NULL && (dot[1] < '0' || dot[1] > '9' || !parseInt(dot + 1, 0, kMaxAction, &action)))
        return false;
    memset(module, 0, kMaxModuleName + 1);
    memcpy(module, text, length);
    return true;
}

// The rule of target, or null. Called holding the mutex.
Rule *findRule(const char *target)
{
    for (Rule &rule : g_rules)
        if (rule.used && strcmp(rule.target, target) == 0)
            return &rule;
    return NULL;
}

// The rule of target, a new one when it has none; null when the table is
// full. Called holding the mutex.
Rule *ruleOf(const char *target)
{
    Rule *rule = findRule(target);
    if (rule != NULL)
        return rule;
    for (Rule &free : g_rules) {
        if (!free.used) {
            memset(&free, 0, sizeof(free));
            free.used = true;
            copyText(free.target, target, sizeof(free.target));
            return &free;
        }
    }
    return NULL;
}

// "delay 800, error 503" of a fault; "" when it does nothing.
void describe(const RelayFault &fault, char *out, size_t size)
{
    char delay[24], status[24];
    memset(delay, 0, sizeof(delay));
    memset(status, 0, sizeof(status));
    if (fault.delayMs > 0)
        snprintf(delay, sizeof(delay), "delay %d", fault.delayMs);
    if (fault.status != 0)
        snprintf(status, sizeof(status), "error %d", fault.status);
    const char *outcome = fault.status != 0 ? status : fault.drop ? "drop" : "";
    memset(out, 0, size);
    snprintf(out, size, "%s%s%s", delay, delay[0] != '\0' && outcome[0] != '\0' ? ", " : "", outcome);
}

// Removes a rule that no longer does anything. Called holding the mutex.
void dropIfIdle(Rule *rule)
{
    if (rule->fault.delayMs == 0 && rule->fault.status == 0 && !rule->fault.drop)
        rule->used = false;
}

// "flowstat.0 delay 800; wlan.1 drop", or "" when none is set. Called
// holding the mutex.
void listRules(char *out, size_t size)
{
    memset(out, 0, size);
    size_t len = 0;
    for (const Rule &rule : g_rules) {
        if (!rule.used || len + 1 >= size)
            continue;
        char what[64];
        describe(rule.fault, what, sizeof(what));
        int n = snprintf(out + len, size - len, "%s%s %s", len > 0 ? "; " : "", rule.target, what);
        if (n > 0)
            len += (size_t)n < size - len ? (size_t)n : size - len - 1;
    }
}

const char kUsage[] = "relay faults: delay TARGET MS (0-60000), error TARGET STATUS (400-599), drop TARGET, "
                      "relay clear [TARGET], relay list; TARGET is MODULE or MODULE.ACTION";

}  // namespace

bool relayFaultWord(const char *word)
{
    return word != NULL && (strcmp(word, "delay") == 0 || strcmp(word, "error") == 0 || strcmp(word, "drop") == 0 ||
                            strcmp(word, "relay") == 0);
}

int relayFaultControl(int argc, const char *const argv[], bool (*knownModule)(const char *module), char *message,
                      size_t size)
{
    if (argc < 1 || argv == NULL || argv[0] == NULL)
        return say(message, size, CONTROL_REFUSED, "%s", kUsage);
    const char *word = argv[0];
    bool relay = strcmp(word, "relay") == 0;
    bool list = relay && argc == 2 && strcmp(argv[1], "list") == 0;
    bool clear = relay && (argc == 2 || argc == 3) && strcmp(argv[1], "clear") == 0;
    bool delay = strcmp(word, "delay") == 0 && argc == 3;
    bool error = strcmp(word, "error") == 0 && argc == 3;
    bool drop = strcmp(word, "drop") == 0 && argc == 2;
    if (!list && !clear && !delay && !error && !drop)
        return say(message, size, CONTROL_REFUSED, "%s", kUsage);

    const char *target = relay ? (argc == 3 ? argv[2] : NULL) : argv[1];
    char module[kMaxModuleName + 1];
    memset(module, 0, sizeof(module));
    if (target != NULL && !parseTarget(target, module))
        return say(message, size, CONTROL_REFUSED,
                   "%s: \"%s\" is no target: MODULE or MODULE.ACTION (action 0-%ld), as \"flowstat.0\"", word,
                   quote(target).text, kMaxAction);
    if (target != NULL && !clear && knownModule != NULL && !knownModule(module))
        return say(message, size, CONTROL_REFUSED, "%s: the request schema has no module \"%s\"", word, module);
    long value = 0;
    if (delay && !parseInt(argv[2], 0, kRelayMaxDelayMs, &value))
        return say(message, size, CONTROL_REFUSED, "delay: needs milliseconds from 0 to %d, not \"%s\"",
                   kRelayMaxDelayMs, quote(argv[2]).text);
    if (error && !parseInt(argv[2], kMinErrorStatus, kMaxErrorStatus, &value))
        return say(message, size, CONTROL_REFUSED, "error: needs an HTTP status from %d to %d, not \"%s\"",
                   kMinErrorStatus, kMaxErrorStatus, quote(argv[2]).text);

    std::lock_guard<std::mutex> hold(g_mutex);
    if (list) {
        char text[2048];
        listRules(text, sizeof(text));
        return say(message, size, CONTROL_OK, "%s", text[0] != '\0' ? text : "no relay faults");
    }
    if (clear && target == NULL) {
        memset(g_rules, 0, sizeof(g_rules));
        return say(message, size, CONTROL_OK, "no relay faults: every request is relayed as it comes");
    }
    if (clear) {
        Rule *rule = findRule(target);
        if (rule != NULL)
            rule->used = false;
        return say(message, size, CONTROL_OK, "%s: relayed as it comes", target);
    }
    Rule *rule = ruleOf(target);
    if (rule == NULL)
        return say(message, size, CONTROL_REFUSED, "%s: already %zu targets have relay faults: relay clear some",
                   word, kMaxRules);
    if (delay)
        rule->fault.delayMs = (int)value;
    if (error) {
        rule->fault.status = (int)value;
        rule->fault.drop = false;
    }
    if (drop) {
        rule->fault.drop = true;
        rule->fault.status = 0;
    }
    char what[64];
    describe(rule->fault, what, sizeof(what));
    dropIfIdle(rule);
    return say(message, size, CONTROL_OK, "%s: %s", target, what[0] != '\0' ? what : "relayed as it comes");
}

bool relayFaultFor(const char *module, bool hasAction, long action, RelayFault *out)
{
    if (module == NULL || !isModuleName(module, strlen(module)))
        return false;
    char exact[kMaxTarget + 16];
    memset(exact, 0, sizeof(exact));
    if (hasAction && action >= 0 && action <= kMaxAction)
        snprintf(exact, sizeof(exact), "%s.%ld", module, action);
    std::lock_guard<std::mutex> hold(g_mutex);
    const Rule *rule = exact[0] != '\0' ? findRule(exact) : NULL;
    if (rule == NULL)
        rule = findRule(module);
    if (rule == NULL)
        return false;
    *out = rule->fault;
    return true;
}

void relayFaultsShow(cJSON *out, const char *name)
{
    cJSON *shown = cJSON_AddObjectToObject(out, name);
    std::lock_guard<std::mutex> hold(g_mutex);
    for (const Rule &rule : g_rules) {
        if (!rule.used)
            continue;
        char what[64];
        describe(rule.fault, what, sizeof(what));
        cJSON_AddStringToObject(shown, rule.target, what);
    }
}
