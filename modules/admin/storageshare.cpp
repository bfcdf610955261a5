// "storageShare": SD card sharing settings. Access mode and login setting
// live in the uci package "storageshare" (factory copy in the default
// configuration directory), the share account in the configuration store;
// the device command "change_storageshare_config" applies a change.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "platform/config_store.h"
#include "server/handler.h"

namespace {

const int kUserSize = 32;
const int kPasswordSize = 50;
const int kCommandSize = 512;

const char kAccessMode[] = "access_mode";
const char kLogin[] = "ifanon";

// First byte of the command's output as a digit; 0 when it is not one.
int readDigit(const char *command)
{
    FILE *pipe = popen(command, "r");
    if (pipe == NULL)
        return 0;
    int c = fgetc(pipe);
    pclose(pipe);
    return c >= '0' && c <= '9' ? c - '0' : 0;
}

// Reads storageshare.property.<option>; a live value other than 0 or 1 is
// replaced by the factory value, which is the answer then.
int readShareOption(const char *option)
{
    char command[kCommandSize];
    memset(command, 0, sizeof(command));
    snprintf(command, sizeof(command), "uci get storageshare.property.%s", option);
    int value = readDigit(command);
    if (value == 0 || value == 1)
        return value;

    char factoryDir[256];
    if (kalPath(factoryDir, sizeof(factoryDir), UCI_DEFAULT_CONFIG_DIR_PATH) != 0)
        return value;
    memset(command, 0, sizeof(command));
    snprintf(command, sizeof(command), "uci -c %s get storageshare.property.%s", factoryDir, option);
    value = readDigit(command);
    memset(command, 0, sizeof(command));
    snprintf(command, sizeof(command), "uci set storageshare.property.%s=%d && uci commit storageshare", option,
             value);
    system(command);
    return value;
}

// Stores one account value. 1 when it differs from the stored one, 0 when
// not, -1 when it could not be read or stored.
int storeAccountValue(int key, const char *text, int length, int size)
{
    char current[kPasswordSize];
    memset(current, 0, sizeof(current));
    if (get_config_data(key, current, size) != 0)
        return -1;
    if (set_config_data_permanent(key, text, length) != 0)
        return -1;
    return (int)strlen(current) != length || strncmp(current, text, (size_t)length) != 0 ? 1 : 0;
}

int getShare(const Request &, cJSON *response)
{
    char user[kUserSize];
    char password[kPasswordSize];
    memset(user, 0, sizeof(user));
    memset(password, 0, sizeof(password));
    int mode = readShareOption(kAccessMode);
    int login = readShareOption(kLogin);
    if (get_config_data(CFG_STORAGE_SHARE_USER, user, sizeof(user)) != 0)
        memset(user, 0, sizeof(user));
    if (get_config_data(CFG_STORAGE_SHARE_PASSWORD, password, sizeof(password)) != 0)
        memset(password, 0, sizeof(password));
    cJSON_AddItemToObject(response, "mode", cJSON_CreateNumber(mode));
    cJSON_AddItemToObject(response, "login", cJSON_CreateNumber(login));
    cJSON_AddItemToObject(response, "rwPermission", cJSON_CreateNumber(1));
    cJSON_AddItemToObject(response, "username", cJSON_CreateString(user));
    cJSON_AddItemToObject(response, "password", cJSON_CreateString(password));
    cJSON_AddItemToObject(response, "ftproot", cJSON_CreateString("/"));
    return 0;
}

int setShare(const Request &request, cJSON *)
{
    // Members left out keep the current settings.
    int mode = request.has("mode") ? request.number("mode") : readShareOption(kAccessMode);
    int login = request.has("login") ? request.number("login") : readShareOption(kLogin);
    bool changed = false;

    // The password goes first: a cut between the two writes leaves the new
    // password with the old user name, never the old password, which may
    // be known to others, with a user name that is no secret.
    if (request.has("password")) {
        const char *password = request.text("password");
        int r = storeAccountValue(CFG_STORAGE_SHARE_PASSWORD, password, (int)strlen(password), kPasswordSize);
        if (r < 0)
            return 1;
        changed = r == 1;
    }
    if (request.has("username")) {
        const char *user = request.text("username");
        int r = storeAccountValue(CFG_STORAGE_SHARE_USER, user, (int)strlen(user), kUserSize);
        if (r < 0)
            return 1;
        changed = changed || r == 1;
    }

    int loginArgument = mode == 0 ? 1 : login;
    char command[kCommandSize];
    memset(command, 0, sizeof(command));
    snprintf(command, sizeof(command), "change_storageshare_config %d %d %d", mode, loginArgument, changed ? 1 : 0);
    system(command);
    return 0;
}

// The uci options hold one digit, read back as 0 or 1 only: anything else
// would be repaired from the factory copy at the next read.
const Member kSetMembers[] = {
    integer("mode", 0, 1, KAL_TEXT("access mode; absent: unchanged")).otherwise(POLICY_TRUE_ONE),
    integer("login", 0, 1, KAL_TEXT("login setting; absent: unchanged (with mode 0 the command gets 1)"))
        .otherwise(POLICY_TRUE_ONE),
    textOrAbsent("username", 0, kUserSize - 1, TEXT_WORD, KAL_TEXT("share user name: A-Z a-z 0-9 _")),
    textOrAbsent("password", 0, kPasswordSize - 1, TEXT_ANY, KAL_TEXT("share password")),
    integer("rwPermission", INT_MIN, INT_MAX, KAL_TEXT("accepted and ignored")).otherwise(POLICY_LEAVE_OUT).outOfRange(POLICY_LEAVE_OUT),
};

}  // namespace

const ModuleAction kShareActions[] = {
    action(0, getShare, KAL_TEXT("read the sharing settings and the account"), KAL_TEXT("mode:integer login:integer rwPermission:integer username:text password:text ftproot:text"))
        .result(0, KAL_TEXT("ok: the settings; an unreadable account value is empty")),
    action(1, setShare, KAL_TEXT("change the settings and apply them with the device command"), KAL_TEXT(""), kSetMembers)
        .result(0, KAL_TEXT("ok: stored and handed to the device command"))
        .result(1, KAL_TEXT("failed: a value out of range or rejected, or an account value not stored (no command then)")),
};

KAL_MODULE(storageShare) = {"storageShare", actionsOf(kShareActions), NULL};
