// Simulated ISP update service: the carrier database version and the
// pending-update flag in <root>/sim/mobile/isp.json.
#include "platform/isp_update.h"

#include <stddef.h>
#include <string.h>

#include "common/text.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_getter.h"
#include "sim/sim_json.h"
#include "sim/sim_lock.h"

namespace {

const char kIspFile[] = "mobile/isp.json";

struct IspState {
    char version[ISP_VERSION_SIZE];
    char availableVersion[ISP_VERSION_SIZE];  // what an update installs
    int needLocalUpdate;
    int updateResult;  // seeded answer of updateISPByWeb: 0, or a failure code
};

const SimField kIspFields[] = {
    {"version", SIM_FIELD_TEXT, offsetof(IspState, version), sizeof(IspState::version)},
    {"availableVersion", SIM_FIELD_TEXT, offsetof(IspState, availableVersion), sizeof(IspState::availableVersion)},
    {"needLocalUpdate", SIM_FIELD_INT, offsetof(IspState, needLocalUpdate), 0},
    {"updateResult", SIM_FIELD_INT, offsetof(IspState, updateResult), 0},
};

int load(IspState *s)
{
    memset(s, 0, sizeof(*s));
    copyText(s->version, "2026.11.1", sizeof(s->version));
    copyText(s->availableVersion, "2026.12.1", sizeof(s->availableVersion));
    bool missing = false;
    cJSON *json = simLoadJson(kIspFile, &missing);
    if (json == NULL)
        return missing ? 0 : -1;
    simJsonReadFields(json, SIM_FIELDS(kIspFields), s);
    cJSON_Delete(json);
    return 0;
}

int save(const IspState *s)
{
    cJSON *json = cJSON_CreateObject();
    if (json == NULL)
        return -1;
    simJsonAddFields(json, SIM_FIELDS(kIspFields), s);
    int rc = simSaveJson(kIspFile, json, 0644);
    cJSON_Delete(json);
    return rc;
}

}  // namespace

int getVersion(char *version)
{
    return simServe(SIM_SERVICE_ISP_UPDATE, -1, [&] {
        IspState s;
        if (version == NULL || load(&s) != 0)
            return -1;
        copyText(version, s.version, ISP_VERSION_SIZE);
        return 0;
    });
}

int getNeedLocUpdate(int *pending)
{
    return simServe(SIM_SERVICE_ISP_UPDATE, -1, [&] {
        IspState s;
        if (pending == NULL || load(&s) != 0)
            return -1;
        *pending = s.needLocalUpdate;
        return 0;
    });
}

int updateISPByWeb(void)
{
    // Failing, it answers 1: the update server unreachable.
    return simServe(SIM_SERVICE_ISP_UPDATE, 1, [&] {
        return simLocked(-1, [&] {
            IspState s;
            if (load(&s) != 0)
                return -1;
            if (s.updateResult != 0)
                return s.updateResult;
            if (s.availableVersion[0] != '\0')
                copyText(s.version, s.availableVersion, sizeof(s.version));
            return save(&s) == 0 ? 0 : -1;
        });
    });
}

int checkNeedLocalUpdate(void)
{
    return simServe(SIM_SERVICE_ISP_UPDATE, -1, [&] {
        // After an installed update nothing is left to do locally.
        return 0;
    });
}

int setNeedLocUpdate(int pending)
{
    return simServe(SIM_SERVICE_ISP_UPDATE, -1, [&] {
        return simLocked(-1, [&] {
            IspState s;
            if (load(&s) != 0)
                return -1;
            s.needLocalUpdate = pending;
            return save(&s);
        });
    });
}

int simIspSeed(void)
{
    IspState s;
    if (load(&s) != 0)
        return -1;
    return save(&s);
}
