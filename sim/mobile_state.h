// The simulated mobile service's state under <root>/sim/mobile/: the
// modem's settings and registration, the operator scan and the profile
// list, shared by the service's calls (mobile_*.cpp).
#pragma once

#include "platform/mobile_client.h"
#include "sim/sim_card.h"

namespace simmobile {

// Connection states reported by GetConnState.
enum { CONN_DISCONNECTED = 1, CONN_CONNECTED = 2 };

struct Modem {
    int dataSwitch;
    int roamingSwitch;
    int preferredMode;
    int selectionMode;
    bool registered;  // the network accepts the card once it is unlocked
    bool roamingNetwork;
    int networkType;
    int signalLevel;
    int cardType;
    unsigned int callFailReason;
    int busyCode;  // 0, or 14 to 17 to make the modem answer busy
    int searchState;
    int operatorCount;
    OperatorEntry operators[MOBILE_MAX_OPERATORS];
};

struct ProfileList {
    int defaultCount;
    int activeProfile;
    int count;
    ConnectionProfile profiles[MOBILE_MAX_PROFILES];
};

struct Snapshot {
    Modem modem;
    SimCard card;
    ProfileList profiles;
};

int modemLoad(Modem *m);
int modemSave(const Modem *m);
int profilesLoad(ProfileList *list);
int profilesSave(const ProfileList *list);
// All three, zeroed first.
int loadAll(Snapshot *s);

bool simReady(const SimCard *card);
const OperatorEntry *currentOperator(const Modem *m);
// Registration needs an unlocked card, a network that accepts it and an
// operator to be on.
bool isRegistered(const Modem *m, const SimCard *card);
int connectState(const Snapshot *s);
bool validProfile(const ConnectionProfile *p);
// The record comes from the caller: make every text field terminated.
void storeProfile(ConnectionProfile *dst, const ConnectionProfile *src);
// The busy code the modem answers with, or 0.
int busyCode(const Modem *m);

}  // namespace simmobile
