// Connection profile codec: one record holds one APN set, which the JSON
// carries under the IPv4 or the IPv6 keys according to "pdpType".
#include "modules/mobile/profile_codec.h"

#include <limits.h>
#include <string.h>

#include "common/integer_reader.h"
#include "common/text.h"
#include "platform/android_log.h"

namespace {

const char kTag[] = "WAN_HANDLER";

struct KeySet {
    const char *apnType;
    const char *apn;
    const char *username;
    const char *password;
    const char *authType;
    const char *missingApn;
};

const KeySet kIpv4Keys = {"ipv4ApnType", "ipv4Apn", "ipv4Username", "ipv4Password", "ipv4AuthType",
                          "Cannot get the apn name for ipv4."};
const KeySet kIpv6Keys = {"ipv6ApnType", "ipv6Apn", "ipv6Username", "ipv6Password", "ipv6AuthType",
                          "Cannot get the apn name for ipv6."};

int fail(const char *why)
{
    __android_log_print(ANDROID_LOG_INFO, kTag, "%s", why);
    return 1;
}

// A credential member: a text of valid UTF-8, anything but a string counts
// as empty. False for a string that is not UTF-8.
bool credentialText(const cJSON *item, const char **text)
{
    *text = cJSON_IsString(item) && isUtf8(item->valuestring) ? item->valuestring : NULL;
    return *text != NULL || !cJSON_IsString(item);
}


// A record's text field need not be terminated: read at most its width.
void fieldText(char (&out)[MOBILE_TEXT_FIELD + 1], const char *field)
{
    memset(out, 0, sizeof(out));
    memcpy(out, field, MOBILE_TEXT_FIELD);
}

void addFilledSet(cJSON *object, const KeySet &keys, const ConnectionProfile *record, const char *apn)
{
    char text[MOBILE_TEXT_FIELD + 1];
    cJSON_AddItemToObject(object, keys.apn, cJSON_CreateString(apn));
    fieldText(text, record->username);
    cJSON_AddItemToObject(object, keys.username, cJSON_CreateString(text));
    fieldText(text, record->password);
    cJSON_AddItemToObject(object, keys.password, cJSON_CreateString(text));
    cJSON_AddItemToObject(object, keys.authType, cJSON_CreateNumber(record->authType));
}

void addEmptySet(cJSON *object, const KeySet &keys)
{
    cJSON_AddItemToObject(object, keys.apnType, cJSON_CreateNumber(0));
    cJSON_AddItemToObject(object, keys.apn, cJSON_CreateString(""));
    cJSON_AddItemToObject(object, keys.username, cJSON_CreateString(""));
    cJSON_AddItemToObject(object, keys.password, cJSON_CreateString(""));
    cJSON_AddItemToObject(object, keys.authType, cJSON_CreateNumber(0));
}

}  // namespace

char *copyBounded(char *dst, size_t size, const char *src)
{
    if (dst == NULL || size == 0)
        return dst;
    if (src == NULL)
        src = "";
    // Record fields go to the service whole: no stale bytes after the text.
    memset(dst, 0, size);
    copyText(dst, src, size);
    return dst;
}

int profileIdOf(const cJSON *object, int least, int most, int *id)
{
    const cJSON *item = cJSON_GetObjectItem(object, "profileID");
    if (item == NULL)
        return PROFILE_ID_ABSENT;
    return readInteger(item, NON_NUMBER_TRUE_ONE, least, most, id) ? PROFILE_ID_READ : PROFILE_ID_OUT_OF_RANGE;
}

int decodeProfile(const cJSON *object, ConnectionProfile *record, int *profileId)
{
    if (object == NULL || record == NULL || profileId == NULL)
        return fail("Input arguments invalid.");
    if (profileIdOf(object, INT_MIN, INT_MAX, profileId) != PROFILE_ID_READ)
        return fail("Cannot get the profile ID.");
    const char *name = NULL;
    credentialText(cJSON_GetObjectItem(object, "profileName"), &name);
    // "null" is what a record without a name reads back as; such a profile
    // could never be listed again, nor deleted from the front end.
    if (name == NULL || name[0] == '\0' || strcmp(name, "null") == 0)
        return fail("Cannot get the profile name.");
    copyBounded(record->nameCopy, sizeof(record->nameCopy), name);
    copyBounded(record->name, sizeof(record->name), name);
    const cJSON *pdp = cJSON_GetObjectItem(object, "pdpType");
    int value = 0;
    if (!readInteger(pdp, NON_NUMBER_TRUE_ONE, 0, 2, &value))
        return fail("Cannot get the PDP type.");
    record->pdpType = (uint8_t)value;
    const KeySet &keys = record->pdpType == 1 ? kIpv6Keys : kIpv4Keys;
    const cJSON *apnType = cJSON_GetObjectItem(object, keys.apnType);
    if (!readInteger(apnType, NON_NUMBER_TRUE_ONE, 0, 1, &value))
        return fail("Cannot get the APN type.");
    record->apnType = (uint8_t)value;
    if (record->apnType == 0) {
        const char *apn = NULL;
        credentialText(cJSON_GetObjectItem(object, keys.apn), &apn);
        if (apn == NULL || apn[0] == '\0')
            return fail(keys.missingApn);
        copyBounded(record->apn, sizeof(record->apn), apn);
    } else {
        copyBounded(record->apn, sizeof(record->apn), "");
    }
    const cJSON *username = cJSON_GetObjectItem(object, keys.username);
    const char *text = NULL;
    if (username == NULL || !credentialText(username, &text))
        return fail("Cannot get the user name.");
    copyBounded(record->username, sizeof(record->username), text);
    const cJSON *password = cJSON_GetObjectItem(object, keys.password);
    if (password == NULL || !credentialText(password, &text))
        return fail("Cannot get the password.");
    copyBounded(record->password, sizeof(record->password), text);
    const cJSON *auth = cJSON_GetObjectItem(object, keys.authType);
    if (!readInteger(auth, NON_NUMBER_TRUE_ONE, 0, 2, &value))
        return fail("Cannot get the auth type.");
    record->authType = (uint8_t)value;
    return 0;
}

int encodeProfile(cJSON *object, const ConnectionProfile *record)
{
    if (object == NULL || record == NULL)
        return fail("Input arguments invalid.");
    char name[MOBILE_TEXT_FIELD + 1];
    fieldText(name, record->name);
    if (name[0] == '\0' || strcmp(name, "null") == 0)
        return fail("Invalid package name.");
    cJSON_AddItemToObject(object, "profileName", cJSON_CreateString(name));
    cJSON_AddItemToObject(object, "pdpType", cJSON_CreateNumber(record->pdpType));
    if (record->pdpType >= 3)
        return 0;
    const KeySet &filled = record->pdpType == 1 ? kIpv6Keys : kIpv4Keys;
    const KeySet &empty = record->pdpType == 1 ? kIpv4Keys : kIpv6Keys;
    cJSON_AddItemToObject(object, filled.apnType, cJSON_CreateNumber(record->apnType));
    char apn[MOBILE_TEXT_FIELD + 1];
    fieldText(apn, record->apn);
    if (record->apnType >= 2 && apn[0] != '\0')
        return fail("Invalid APN type.");
    addFilledSet(object, filled, record, record->apnType == 1 ? "" : apn);
    addEmptySet(object, empty);
    return 0;
}
