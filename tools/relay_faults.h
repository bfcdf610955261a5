// Faults kal_http itself puts on /api requests, per module or per
// module.action: replies held longer, an HTTP error instead of a relay, or
// a request sent on whose reply never comes back. They live in the relay's
// memory, so they are set through POST /sim only (kal_sim cannot reach
// them) and last until cleared or the relay stops.
#pragma once

#include <stddef.h>

struct cJSON;

// The longest delay, in milliseconds.
const int kRelayMaxDelayMs = 60000;

// What the relay does with one request.
struct RelayFault {
    int delayMs;  // held this much longer before its answer; 0 none
    int status;   // answered with this HTTP status, not sent on; 0 none
    bool drop;    // sent on, its reply never answered: held until the timeout, then 504
};

// Whether word is one of the relay's own control words (delay, error,
// drop, relay) rather than a device control.
bool relayFaultWord(const char *word);

// Runs one relay control given as words ({"delay", "flowstat.0", "800"}).
// knownModule, when not null, says whether a module exists, so that a typo
// is refused instead of never matching. CONTROL_OK or CONTROL_REFUSED, one
// line in message.
int relayFaultControl(int argc, const char *const argv[], bool (*knownModule)(const char *module), char *message,
                      size_t size);

// The fault for a request to module (null: the request names none) and
// action (hasAction false: none given): the rule of "module.action" if one
// is set, else the rule of "module". False when neither is.
bool relayFaultFor(const char *module, bool hasAction, long action, RelayFault *out);

// {"flowstat.0": "delay 800", "wlan.1": "drop", ...}, added to out as name.
void relayFaultsShow(cJSON *out, const char *name);
