// Mobile service calls that the status module reads. The same declarations
// as the mobile service client; kept here until that client lands.
#pragma once

#include <stddef.h>

int GetRegStat(int *state);
int GetConnState(int *state);
int GetNetType(int *type);
int GetRoamStat(int *state);
int GetSigLevel(int *level);
int GetRoamSwitch(int *enabled);
int GetSimStatusForWebStatus(int *state);
int GetOperatorName(char *name);  // 32 bytes
int GetSimNumber(char *buffer);   // 64 bytes; text from the second byte
int GetSimIMSI(char *buffer);     // 64 bytes; text from the second byte
int SmsHandler(const char *request, char *reply, size_t replySize);
