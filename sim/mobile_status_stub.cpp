// Stand-in answers of the mobile service for the status module, until the
// simulated modem lands: registered and connected on a home network, with
// no unread messages. Drop this file when the modem simulation is merged.
#include "platform/mobile_status.h"

#include <string.h>

#include "server/utils.h"

int GetRegStat(int *state) { return state != NULL ? (*state = 1, 1) : 0; }
int GetConnState(int *state) { return state != NULL ? (*state = 2, 1) : 0; }
int GetNetType(int *type) { return type != NULL ? (*type = 5, 1) : 0; }
int GetRoamStat(int *state) { return state != NULL ? (*state = 0, 1) : 0; }
int GetSigLevel(int *level) { return level != NULL ? (*level = 4, 1) : 0; }
int GetRoamSwitch(int *enabled) { return enabled != NULL ? (*enabled = 0, 1) : 0; }
int GetSimStatusForWebStatus(int *state) { return state != NULL ? (*state = 0, 1) : 0; }

int GetOperatorName(char *name)
{
    if (name == NULL)
        return 0;
    copyText(name, "Sim Mobile", 32);
    return 1;
}

int GetSimNumber(char *buffer)
{
    if (buffer == NULL)
        return 0;
    copyText(buffer + 1, "15550100", 63);
    return 1;
}

int GetSimIMSI(char *buffer)
{
    if (buffer == NULL)
        return 0;
    copyText(buffer + 1, "001010123456789", 63);
    return 1;
}

int SmsHandler(const char *request, char *reply, size_t replySize)
{
    if (request == NULL || reply == NULL || replySize == 0)
        return 0;
    copyText(reply, "{\"result\":0,\"count\":0}", replySize);
    return 1;
}
