// Internal interface of the simulated device: the seed step of each
// simulated component and the operations other stand-ins share.
#pragma once

#include <stddef.h>

// Each seed step creates its component's missing state files with factory
// values and leaves existing ones alone. 0 or -1.
int simConfigSeed(void);
int simLogSeed(void);
int simMobileSeed(void);
int simIspSeed(void);
int simFlowstatSeed(void);
int simNetworkSeed(void);
int simSdcardSeed(void);
int simLanSeed(void);
int simUciSeed(void);
int simUpgradeSeed(void);
int simWlanSeed(void);

// Creates the device directories under the root and seeds the missing
// state files with factory values, holding the device's lock. 0, or -1
// after printing one line that says what failed.
int simSeedDevice(void);

// Puts every configuration key back to its factory value. 0 or -1.
int simConfigRestoreFactory(void);

// Whether the simulated mobile data connection is up: the network manager
// reports WAN addresses and the flow statistics count traffic only then.
int simWanConnected(void);
// Put the LAN record / the live uci packages back to factory state. 0 or -1.
int simLanRestoreFactory(void);
int simUciRestoreFactory(void);

// Appends "<date> <time> <line>" to <root>/sim/<name>. 0 or -1.
int simJournalAppend(const char *name, const char *line);

// The SMS store (sms.json, or the factory messages when it is missing),
// or null when it cannot be read. cJSON_Delete() it.
struct cJSON;
cJSON *simSmsLoadStore(void);

// The modem's radio settings as modem.json holds them (factory values for
// members left out). 0, or -1 when the file cannot be read.
int simModemRadio(int *signalLevel, bool *registered, bool *roamingNetwork);

// The SMS store behind SmsHandler and CMobileClient::smsHandler, which hand
// it their documented reply sizes: one JSON reply text of at most
// replySize - 1 characters. Non-zero on success.
int simSmsHandle(const char *request, char *reply, size_t replySize);
