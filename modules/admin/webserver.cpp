// "webServer": interface language and the factory-default flag.
#include "modules/admin/webserver.h"

#include <string.h>

#include <cjson/cJSON.h>

#include "platform/config_store.h"
#include "server/handler.h"
#include "server/modules.h"
#include "server/utils.h"

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

int readLanguage(cJSON *, cJSON *response)
{
    char language[4];
    memset(language, 0, sizeof(language));
    if (!getLanguage(language, (int)sizeof(language)))
        return 1;
    cJSON_AddItemToObject(response, "language", cJSON_CreateString(language));
    return 0;
}

int writeLanguage(cJSON *request, cJSON *response)
{
    (void)response;
    cJSON *language = cJSON_GetObjectItem(request, "language");
    if (requestText(language) == NULL)
        return 1;
    return setLanguage(language->valuestring, (int)strlen(language->valuestring)) ? 0 : 1;
}

int keepAlive(cJSON *, cJSON *)
{
    return 0;
}

int markFactoryDefaultDone(cJSON *, cJSON *)
{
    char flag[2];
    memset(flag, 0, sizeof(flag));
    copyText(flag, "1", sizeof(flag));
    return setFactoryDefaultDone(flag, 1) ? 0 : 1;
}

}  // namespace

const ModuleAction kWebServerActions[] = {
    {0, readLanguage},
    {1, writeLanguage},
    {2, keepAlive},
    {3, markFactoryDefaultDone},
};

int webServerHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response, kWebServerActions);
}
