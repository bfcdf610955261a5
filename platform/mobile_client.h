// Mobile service: the modem, the SIM card and the SMS store, as the mobile
// modules and the status module use it. Every call is synchronous and
// returns non-zero on success; "code" out-arguments carry the service code.
// The records are exchanged unchanged, so their layouts are fixed.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Service codes.
enum {
    MOBILE_CODE_OK = 0,
    MOBILE_CODE_FAILED = 1,
    MOBILE_CODE_OK_2 = 2,
    MOBILE_CODE_REFUSED = 8,
    MOBILE_CODE_LIST_SMS_SENDING = 13,  // status of the available network list
    MOBILE_CODE_BUSY_SMS = 14,
    MOBILE_CODE_BUSY_SEARCHING = 15,
    MOBILE_CODE_BUSY_CANCELLING = 16,
    MOBILE_CODE_BUSY_REGISTERING = 17,
    MOBILE_CODE_SIM_OK_18 = 18,
};

#define MOBILE_TEXT_FIELD 32
#define MOBILE_MAX_PROFILES 16
#define MOBILE_STATUS_RECORD_SIZE 2644
#define MOBILE_OPERATOR_ENTRY_SIZE 44
// Operator entries that fit the status record's storage after the list head.
#define MOBILE_MAX_OPERATORS ((MOBILE_STATUS_RECORD_SIZE - 8) / MOBILE_OPERATOR_ENTRY_SIZE)
#define SIM_CODE_TEXT 9  // PIN and PUK texts: 8 digits + NUL
// Reply buffers of the SMS calls: SmsHandler writes at most 256 bytes (NUL
// included), CMobileClient::smsHandler at most 20480.
#define SMS_COUNT_REPLY_SIZE 256
#define SMS_REPLY_SIZE 20480

#pragma pack(push, 1)
struct ConnectionProfile {
    char name[MOBILE_TEXT_FIELD];
    char nameCopy[MOBILE_TEXT_FIELD];
    uint8_t pdpType;  // 0 IPv4, 1 IPv6, 2 IPv4v6
    uint8_t apnType;  // 0 APN given, 1 no APN
    char apn[MOBILE_TEXT_FIELD];
    char username[MOBILE_TEXT_FIELD];
    char password[MOBILE_TEXT_FIELD];
    uint8_t authType;  // 0 none, 1 PAP, 2 CHAP
};
#pragma pack(pop)
static_assert(sizeof(ConnectionProfile) == 163, "connection profile record is 163 bytes");

struct ModemStatus {
    int32_t dataSwitchStatus;
    int32_t roamingEnabled;
    int32_t connectStatus;
    int32_t networkPreferredMode;
    int32_t networkSelectionMode;
    int32_t statusWord6;
    ConnectionProfile profiles[MOBILE_MAX_PROFILES];
    int32_t defaultProfile;
    int32_t profileCount;
    int32_t activeProfile;
};
static_assert(sizeof(ModemStatus) == MOBILE_STATUS_RECORD_SIZE, "modem status record is 2644 bytes");
static_assert(offsetof(ModemStatus, profiles) == 24 && offsetof(ModemStatus, defaultProfile) == 2632,
              "modem status layout");

struct ModemConfig {
    uint8_t dataSwitchValid;
    int32_t dataSwitch;
    uint8_t roamingValid;
    int32_t roaming;
    uint8_t profileValid;
    ConnectionProfile profile;
    uint8_t profileIsDefault;
    int32_t profileIndex;
    uint8_t preferredModeValid;
    int32_t preferredMode;
};
static_assert(sizeof(ModemConfig) == 196, "modem configuration record is 196 bytes");
static_assert(offsetof(ModemConfig, profile) == 17 && offsetof(ModemConfig, profileIsDefault) == 180 &&
                  offsetof(ModemConfig, profileIndex) == 184 && offsetof(ModemConfig, preferredMode) == 192,
              "modem configuration layout");

struct NetSelRequest {
    int32_t mode;  // 0 automatic, 1 manual
    int32_t mcc;
    int32_t mnc;
};

enum {
    OPERATOR_AVAILABLE = 1,
    OPERATOR_CURRENT = 2,
    OPERATOR_FORBIDDEN = 3,
};

struct OperatorEntry {
    char alphaShort[MOBILE_TEXT_FIELD];
    int32_t mcc;
    int32_t mnc;
    int32_t state;
};
static_assert(sizeof(OperatorEntry) == MOBILE_OPERATOR_ENTRY_SIZE, "operator entry is 44 bytes");

// Shares its storage with ModemStatus: callers hand in a 2644-byte area.
struct AvailableNetList {
    int32_t status;
    uint16_t count;
    OperatorEntry entries[MOBILE_MAX_OPERATORS];
};
static_assert(offsetof(AvailableNetList, entries) == 8, "operator list layout");
static_assert(sizeof(AvailableNetList) <= MOBILE_STATUS_RECORD_SIZE, "operator list fits the status storage");

// Network selection status: 4 means a search result is ready.
enum {
    NETSEL_IDLE = 0,
    NETSEL_SEARCHING = 1,
    NETSEL_REGISTERING = 3,
    NETSEL_RESULT_READY = 4,
};

struct SimStatus {
    int32_t cardState;
    int32_t pinState;
};

struct PinStatus {
    int32_t pukRemainingTimes;
    int32_t pinRemainingTimes;
};

#pragma pack(push, 1)
struct SimLockRequest {
    uint8_t enable;
    char pin[SIM_CODE_TEXT];
};
struct PinChangeRequest {
    char pin[SIM_CODE_TEXT];
    char newPin[SIM_CODE_TEXT];
};
struct PukEntryRequest {
    char puk[SIM_CODE_TEXT];
    char newPin[SIM_CODE_TEXT];
};
#pragma pack(pop)
static_assert(sizeof(SimLockRequest) == 10 && sizeof(PinChangeRequest) == 18 && sizeof(PukEntryRequest) == 18,
              "SIM request records");

// Card states published in configuration key 21 and by GetSimStatus.
enum {
    SIM_CARD_ABSENT = 0,
    SIM_CARD_PRESENT = 1,
    SIM_CARD_ERROR = 2,
};

// PIN states published in configuration key 25 and by GetSimStatus.
enum {
    SIM_PIN_UNKNOWN = 0,
    SIM_PIN_REQUIRED = 1,
    SIM_PIN_LOCK_ON = 2,
    SIM_PIN_LOCK_OFF = 3,
    SIM_PUK_REQUIRED = 4,
    SIM_PIN_BLOCKED = 5,
};

typedef void (*MobileCallback)(void *param);

// Modem, profiles and network selection.
int GetAllStatus(ModemStatus *status);
int SetAllConfig(const ModemConfig *config, int *code);
int AddProfile(const ConnectionProfile *profile, int *code);
int AddProfileWzd(const ConnectionProfile *profile, int *code);
int DelProfile(int index, int *code);
int GetConnState(int *state);
int GetNetSelStat(int *state);
int GetCardType(int *type);
int GetRegStat(int *state);
int GetNetType(int *type);
int GetRoamStat(int *state);
int GetRoamSwitch(int *enabled);
int GetSigLevel(int *level);
int GetSimStatusForWebStatus(int *state);
int GetCallFailReason(unsigned int *reason);
int GetAvailableNet(AvailableNetList *list);
int SetNetSel(NetSelRequest request, int *code);
int AbortScanNet(int *code);
int ReloadIspFile(int *code);
int GetOperatorName(char *name);  // 32 bytes
int GetSimNumber(char *buffer);   // 64 bytes; text from the second byte
int GetSimIMSI(char *buffer);     // 64 bytes; text from the second byte

// SIM card. The trailing integer is always -1 and the callback null.
int GetSimStatus(SimStatus *status, int, MobileCallback);
int GetPinStatus(PinStatus *status, int, MobileCallback);
int SetSimLock(SimLockRequest request, int *code, int, MobileCallback);
int ChangePin(PinChangeRequest request, int *code, int, MobileCallback);
int EnterPin(const char *pin, int *code, int, MobileCallback);
int EnterPuk(PukEntryRequest request, int *code, int, MobileCallback);

// SMS: one JSON request text in, one NUL-terminated JSON reply text of at
// most SMS_COUNT_REPLY_SIZE bytes out.
int SmsHandler(const char *request, char *reply);

// Ends the service session of one request.
void ReleaseMobileInstance(void);

struct MP_CbParam {
    int code;
    void *data;
};

// Client for message requests; one instance per request.
class CMobileClient {
public:
    CMobileClient();
    ~CMobileClient();
    CMobileClient(const CMobileClient &) = delete;
    CMobileClient &operator=(const CMobileClient &) = delete;

    // Writes a NUL-terminated JSON reply of at most SMS_REPLY_SIZE bytes.
    // Non-zero on success.
    int smsHandler(char *request, char *reply, int, void (*callback)(MP_CbParam));
    void Uninitialize();

private:
    [[maybe_unused]] bool initialized_;  // used by the implementation, not by callers
};
