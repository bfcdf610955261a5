// Simulated SIM card: PIN and PUK state machine with real attempt counters.
#pragma once

#include "platform/mobile_client.h"

#define SIM_PIN_TRIES 3
#define SIM_PUK_TRIES 10

enum SimCardPhase {
    SIM_READY,
    SIM_NEEDS_PIN,
    SIM_NEEDS_PUK,
    SIM_ABSENT,
    SIM_BLOCKED,
};

struct SimCard {
    SimCardPhase phase;
    bool lockOn;  // PIN asked at power-on
    char pin[SIM_CODE_TEXT];
    char puk[SIM_CODE_TEXT];
    int pinAttempts;
    int pukAttempts;
    int successCode;  // service code of a successful operation: 0, 2 or 18
    char number[32];
    char imsi[16];
};

// Factory card: ready, lock off, PIN 1234, PUK 12345678.
void simCardFactory(SimCard *card);

// Card and PIN state codes as published (keys 21 and 25).
int simCardStateCode(const SimCard *card);
int simCardPinStateCode(const SimCard *card);

// Operations; each returns the service code (1 when refused or the code
// given was wrong, successCode when done).
int simCardSetLock(SimCard *card, bool enable, const char *pin);
int simCardChangePin(SimCard *card, const char *pin, const char *newPin);
int simCardEnterPin(SimCard *card, const char *pin);
int simCardEnterPuk(SimCard *card, const char *puk, const char *newPin);

// Power-on: a locked card asks for its PIN; with autoPin given, the modem
// tries it once, as automatic unlock does.
void simCardPowerOn(SimCard *card, const char *autoPin);

// Persistence in <root>/sim/mobile/sim.json (owner-only, it holds the PIN),
// also publishing configuration keys 21, 25, 26 and 27. 0 or -1.
int simCardLoad(SimCard *card);
int simCardSave(const SimCard *card);
