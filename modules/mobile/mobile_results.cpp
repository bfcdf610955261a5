#include "modules/mobile/mobile_results.h"

#include "platform/android_log.h"
#include "platform/mobile_client.h"

int mobileBusyResult(int code, const char *tag)
{
    const char *why = NULL;
    int result = -1;
    switch (code) {
    case MOBILE_CODE_BUSY_SMS:
        why = "BUSY: Now sending sms.";
        result = MOBILE_RESULT_BUSY_SMS;
        break;
    case MOBILE_CODE_BUSY_SEARCHING:
        why = "BUSY: Now searching.";
        result = MOBILE_RESULT_BUSY_SEARCHING;
        break;
    case MOBILE_CODE_BUSY_CANCELLING:
        why = "BUSY: Now cancelling.";
        result = MOBILE_RESULT_BUSY_CANCELLING;
        break;
    case MOBILE_CODE_BUSY_REGISTERING:
        why = "BUSY: Now registering.";
        result = MOBILE_RESULT_BUSY_REGISTERING;
        break;
    default:
        return -1;
    }
    __android_log_print(ANDROID_LOG_INFO, tag, "%s", why);
    return result;
}
