// The null platform: every platform interface the server may call,
// implemented from the server's own headers by failing. The device
// configuration links against it to prove that it needs nothing of the
// simulated device and that the headers match what it calls. The Android
// log is not here: that is the real liblog (Debian's build of it, which
// writes each line to standard error).
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "platform/config_store.h"
#include "platform/flowstat.h"
#include "platform/isp_update.h"
#include "platform/localtime_query.h"
#include "platform/mobile_client.h"
#include "platform/network_lan.h"
#include "platform/network_manager.h"
#include "platform/state_control.h"
#include "platform/upgrade_service.h"
#include "platform/wlan_manager.h"

namespace {

// Failure results: 0 where non-zero means success, -1 where 0 does.
const int kNoSuccess = 0;
const int kFailed = -1;

void emptyText(char *text, int size)
{
    if (text != NULL && size > 0)
        memset(text, 0, (size_t)size);
}

}  // namespace

extern "C" {

int get_config_data(int, char *, int)
{
    return kFailed;
}
int set_config_data_permanent(int, const char *, int)
{
    return kFailed;
}

int isLimitEnable(int *)
{
    return kFailed;
}
int getLimit(double *)
{
    return kFailed;
}
int isLimitReached(int *)
{
    return kFailed;
}
int getWarningPercent(int *)
{
    return kFailed;
}
int isMonthlyEnable(int *)
{
    return kFailed;
}
int getDue(int *)
{
    return kFailed;
}
int getMonthly(double *)
{
    return kFailed;
}
int getDailyFlow(double *)
{
    return kFailed;
}
int getTxSpeed(unsigned long *)
{
    return kFailed;
}
int getRxSpeed(unsigned long *)
{
    return kFailed;
}
int setMonthly(double)
{
    return kFailed;
}
int setLimit(double)
{
    return kFailed;
}
int setWarningPercent(int)
{
    return kFailed;
}
int setDue(int)
{
    return kFailed;
}
int enableLimit(int)
{
    return kFailed;
}
int enableMonthly(int)
{
    return kFailed;
}
int setUserModifiedConfig(int)
{
    return kFailed;
}

struct tm *localtime_query(const time_t *)
{
    return NULL;
}

int get_lan_config(lan_config *)
{
    return kFailed;
}
int set_lan_config(const lan_config *)
{
    return kFailed;
}
int send_restart_lan_msg(void)
{
    return kFailed;
}

int get_wan_ipv4_config(char *, char *, char *)
{
    return kFailed;
}
int get_wan_ipv6_config(char *, char *, char *)
{
    return kFailed;
}

int send_reboot_req(void)
{
    return kFailed;
}
int send_poweroff_req(void)
{
    return kFailed;
}
int send_restore_req(void)
{
    return kFailed;
}

void getFilePath(char *path, const char *, int size)
{
    emptyText(path, size);
}
void getFirmwareVer(char *text, int size)
{
    emptyText(text, size);
}
void getBuildInfo(char *text, int size)
{
    emptyText(text, size);
}
int hasNewVersion(void)
{
    return kNoSuccess;
}
void getLatestVersion(char *text, int size)
{
    emptyText(text, size);
}
void getReleaseNote(char **note)
{
    if (note != NULL)
        *note = NULL;
}
void getFileSize(int *size)
{
    if (size != NULL)
        *size = 0;
}
void getDownloadUrl(char *text, int size)
{
    emptyText(text, size);
}
int getCheckResultState(void)
{
    return 2;  // the check failed
}
int httpReqForCheckUpdate(void)
{
    return 1;  // cannot check now
}
void initCheckThreadState(void) {}
int startDownload(void)
{
    return kFailed;
}
void cancelDownThread(void) {}
int getPercentage(int *)
{
    return kNoSuccess;
}
int getDownSize(int *)
{
    return kFailed;
}
int getUploadState(int *)
{
    return kFailed;
}
void startUpdateForWeb(void) {}
void clearCache(void) {}
int verify_update_file(const char *)
{
    return kFailed;
}

intptr_t wm_connect(const char *, const char *)
{
    return 0;
}
void wm_disconnect(intptr_t) {}
int wm_get_wlan_config(intptr_t, wlan_mgr_config **config)
{
    if (config != NULL)
        *config = NULL;
    return kFailed;
}
int wm_set_wlan_config(intptr_t, wlan_mgr_config *)
{
    return kFailed;
}
int wm_get_wlan_sta_list(intptr_t, char *, int *)
{
    return kFailed;
}
int wm_get_wlan_client_mac(intptr_t, char *, int *)
{
    return kFailed;
}
int wm_get_wlan_switch(intptr_t, int *)
{
    return kFailed;
}
int wm_set_wlan_switch(intptr_t, int)
{
    return kFailed;
}
int wm_set_wlan_auto_down_time(intptr_t, int)
{
    return kFailed;
}
int wm_get_wlan_sta_num(intptr_t, int *)
{
    return kFailed;
}
int wlan_mgr_get_config(wlan_mgr_config **config, const char *)
{
    if (config != NULL)
        *config = NULL;
    return kFailed;
}
void wlan_mgr_free_config(wlan_mgr_config **config)
{
    if (config != NULL)
        *config = NULL;
}
int get_chan_width_support(const char *, uint8_t)
{
    return kNoSuccess;
}
void set_ht_cw_capab(int, wlan_mgr_config *) {}
int getWlanwarnLaunch(void)
{
    return kNoSuccess;
}
void uci_set_wlan_sec_status(int) {}
int is_export_product(void)
{
    return kNoSuccess;
}

}  // extern "C"

// The mobile service: C++ functions and the one class.
int GetAllStatus(ModemStatus *)
{
    return kNoSuccess;
}
int SetAllConfig(const ModemConfig *, int *)
{
    return kNoSuccess;
}
int AddProfile(const ConnectionProfile *, int *)
{
    return kNoSuccess;
}
int AddProfileWzd(const ConnectionProfile *, int *)
{
    return kNoSuccess;
}
int DelProfile(int, int *)
{
    return kNoSuccess;
}
int GetConnState(int *)
{
    return kNoSuccess;
}
int GetNetSelStat(int *)
{
    return kNoSuccess;
}
int GetCardType(int *)
{
    return kNoSuccess;
}
int GetRegStat(int *)
{
    return kNoSuccess;
}
int GetNetType(int *)
{
    return kNoSuccess;
}
int GetRoamStat(int *)
{
    return kNoSuccess;
}
int GetRoamSwitch(int *)
{
    return kNoSuccess;
}
int GetSigLevel(int *)
{
    return kNoSuccess;
}
int GetSimStatusForWebStatus(int *)
{
    return kNoSuccess;
}
int GetCallFailReason(unsigned int *)
{
    return kNoSuccess;
}
int GetAvailableNet(AvailableNetList *)
{
    return kNoSuccess;
}
int SetNetSel(NetSelRequest, int *)
{
    return kNoSuccess;
}
int AbortScanNet(int *)
{
    return kNoSuccess;
}
int ReloadIspFile(int *)
{
    return kNoSuccess;
}
int GetOperatorName(char *)
{
    return kNoSuccess;
}
int GetSimNumber(char *)
{
    return kNoSuccess;
}
int GetSimIMSI(char *)
{
    return kNoSuccess;
}
int GetSimStatus(SimStatus *, int, MobileCallback)
{
    return kNoSuccess;
}
int GetPinStatus(PinStatus *, int, MobileCallback)
{
    return kNoSuccess;
}
int SetSimLock(SimLockRequest, int *, int, MobileCallback)
{
    return kNoSuccess;
}
int ChangePin(PinChangeRequest, int *, int, MobileCallback)
{
    return kNoSuccess;
}
int EnterPin(const char *, int *, int, MobileCallback)
{
    return kNoSuccess;
}
int EnterPuk(PukEntryRequest, int *, int, MobileCallback)
{
    return kNoSuccess;
}
int SmsHandler(const char *, char *)
{
    return kNoSuccess;
}
void ReleaseMobileInstance(void) {}

CMobileClient::CMobileClient() : initialized_(false) {}
CMobileClient::~CMobileClient() {}
int CMobileClient::smsHandler(char *, char *, int, void (*)(MP_CbParam))
{
    return kNoSuccess;
}
void CMobileClient::Uninitialize() {}

// The ISP update service.
int getVersion(char *)
{
    return kFailed;
}
int getNeedLocUpdate(int *)
{
    return kFailed;
}
int updateISPByWeb(void)
{
    return 1;
}
int checkNeedLocalUpdate(void)
{
    return kFailed;
}
int setNeedLocUpdate(int)
{
    return kFailed;
}
