// "webServer": interface language and the factory-default flag.
#include "modules/admin/webserver.h"

#include <string.h>

#include <cjson/cJSON.h>

#include "common/text.h"
#include "platform/config_store.h"
#include "server/handler.h"

extern "C" int getLanguage(char *buffer, int size)
{
    return get_config_data(CFG_LANGUAGE, buffer, size) == 0 ? 1 : 0;
}

int setLanguage(const char *value, int length)
{
    return set_config_data_permanent(CFG_LANGUAGE, value, length) == 0 ? 1 : 0;
}

int setFactoryDefaultDone(const char *value, int length)
{
    return set_config_data_permanent(CFG_FACTORY_DEFAULT_FLAG, value, length) == 0 ? 1 : 0;
}

namespace {

int readLanguage(const Request &, cJSON *response)
{
    char language[4];
    memset(language, 0, sizeof(language));
    if (!getLanguage(language, (int)sizeof(language)))
        return 1;
    cJSON_AddItemToObject(response, "language", cJSON_CreateString(language));
    return 0;
}

int writeLanguage(const Request &request, cJSON *)
{
    const char *language = request.text("language");
    return setLanguage(language, (int)strlen(language)) ? 0 : 1;
}

int keepAlive(const Request &, cJSON *)
{
    return 0;
}

int markFactoryDefaultDone(const Request &, cJSON *)
{
    char flag[2];
    memset(flag, 0, sizeof(flag));
    copyText(flag, "1", sizeof(flag));
    return setFactoryDefaultDone(flag, 1) ? 0 : 1;
}

const Member kLanguage[] = {
    textOrAbsent("language", 0, 0, TEXT_ANY, KAL_TEXT("the language code"))
        .required()
        .otherwise(POLICY_REFUSE)
        .cutTo(3),
};

}  // namespace

const ModuleAction kWebServerActions[] = {
    action(0, readLanguage, KAL_TEXT("read the interface language"), KAL_TEXT("language:text"))
        .result(0, KAL_TEXT("ok: the language"))
        .result(1, KAL_TEXT("failed: the language could not be read")),
    action(1, writeLanguage, KAL_TEXT("set the interface language"), KAL_TEXT(""), kLanguage)
        .result(0, KAL_TEXT("ok: stored"))
        .result(1, KAL_TEXT("failed: missing, not a string, or not stored")),
    action(2, keepAlive, KAL_TEXT("keep-alive"), KAL_TEXT("")).result(0, KAL_TEXT("ok: alive")),
    action(3, markFactoryDefaultDone, KAL_TEXT("mark the factory settings as changed"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: marked"))
        .result(1, KAL_TEXT("failed: not stored")),
};

KAL_MODULE(webServer) = {"webServer", actionsOf(kWebServerActions), NULL};
