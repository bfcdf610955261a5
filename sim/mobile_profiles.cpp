// Simulated mobile service: the user's connection profiles.
#include "platform/mobile_client.h"

#include <stddef.h>
#include <string.h>

#include "sim/mobile_state.h"
#include "sim/sim_getter.h"
#include "sim/sim_lock.h"

using namespace simmobile;

namespace {

int appendProfile(const ConnectionProfile *profile, int *code, bool makeActive)
{
    ProfileList list;
    if (profilesLoad(&list) != 0)
        return 0;
    if (list.count >= MOBILE_MAX_PROFILES || !validProfile(profile)) {
        *code = MOBILE_CODE_FAILED;
        return 1;
    }
    storeProfile(&list.profiles[list.count], profile);
    if (makeActive)
        list.activeProfile = list.count;
    list.count++;
    *code = profilesSave(&list) == 0 ? MOBILE_CODE_OK : MOBILE_CODE_FAILED;
    return 1;
}

// The calls that change state files load, change and save while holding
// the device's lock: kal_sim changing the same files meanwhile neither loses
// its change nor undoes this one.
int addProfile(const ConnectionProfile *profile, int *code, bool makeActive)
{
    if (profile == NULL || code == NULL)
        return 0;
    return simLocked(0, [&] { return appendProfile(profile, code, makeActive); });
}

}  // namespace

int AddProfile(const ConnectionProfile *profile, int *code)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] { return addProfile(profile, code, false); });
}

int AddProfileWzd(const ConnectionProfile *profile, int *code)
{
    // The set-up wizard's profile is the one the user wants to use.
    return simServe(SIM_SERVICE_MOBILE, 0, [&] { return addProfile(profile, code, true); });
}

int DelProfile(int index, int *code)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        if (code == NULL)
            return 0;
        return simLocked(0, [&] {
            ProfileList list;
            if (profilesLoad(&list) != 0)
                return 0;
            if (index < 0 || index >= MOBILE_MAX_PROFILES || list.defaultCount + index >= list.count) {
                *code = MOBILE_CODE_FAILED;
                return 1;
            }
            int slot = list.defaultCount + index;
            memmove(&list.profiles[slot], &list.profiles[slot + 1],
                    sizeof(list.profiles[0]) * (size_t)(list.count - slot - 1));
            list.count--;
            memset(&list.profiles[list.count], 0, sizeof(list.profiles[0]));
            if (list.activeProfile == slot)
                list.activeProfile = 0;
            else if (list.activeProfile > slot)
                list.activeProfile--;
            *code = profilesSave(&list) == 0 ? MOBILE_CODE_OK : MOBILE_CODE_FAILED;
            return 1;
        });
    });
}
