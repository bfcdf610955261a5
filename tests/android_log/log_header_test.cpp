// The simulated build's declarations of the Android log beside liblog's own
// header: every value and both function types must be the same, or a module
// built for the simulated device would not mean what it says on the device.
// Most of the checking is done by the compiler: a function declared with
// another type is an error, so the build fails before the test runs.
#include <android/log.h>

#include <stdio.h>

namespace ours {
#include "platform/android_log_decls.h"
}

#define SAME_VALUE(name) static_assert((int)ours::name == (int)::name, #name " differs from liblog's")

SAME_VALUE(ANDROID_LOG_UNKNOWN);
SAME_VALUE(ANDROID_LOG_DEFAULT);
SAME_VALUE(ANDROID_LOG_VERBOSE);
SAME_VALUE(ANDROID_LOG_DEBUG);
SAME_VALUE(ANDROID_LOG_INFO);
SAME_VALUE(ANDROID_LOG_WARN);
SAME_VALUE(ANDROID_LOG_ERROR);
SAME_VALUE(ANDROID_LOG_FATAL);
SAME_VALUE(ANDROID_LOG_SILENT);
SAME_VALUE(LOG_ID_MIN);
SAME_VALUE(LOG_ID_MAIN);
SAME_VALUE(LOG_ID_RADIO);
SAME_VALUE(LOG_ID_EVENTS);
SAME_VALUE(LOG_ID_SYSTEM);
SAME_VALUE(LOG_ID_CRASH);
SAME_VALUE(LOG_ID_STATS);
SAME_VALUE(LOG_ID_SECURITY);
SAME_VALUE(LOG_ID_KERNEL);
SAME_VALUE(LOG_ID_MAX);

static_assert(sizeof(ours::android_LogPriority) == sizeof(::android_LogPriority), "priority type size differs");
static_assert(sizeof(ours::log_id_t) == sizeof(::log_id_t), "buffer id type size differs");
// Both declare liblog's one function: a C function declared again with
// another type does not compile, and neither does comparing the two when
// their types differ. The type is the one the modules call. All of it
// unevaluated, so nothing needs liblog to link.
using PrintType = int (*)(int, const char *, const char *, ...);
using BufPrintType = int (*)(int, int, const char *, const char *, ...);
static_assert(sizeof(&ours::__android_log_print == &::__android_log_print) > 0, "");
static_assert(sizeof(&ours::__android_log_buf_print == &::__android_log_buf_print) > 0, "");
static_assert(sizeof(PrintType{&::__android_log_print}) > 0, "");
static_assert(sizeof(BufPrintType{&::__android_log_buf_print}) > 0, "");

int main()
{
    puts("the simulated build's Android log declarations match liblog's header");
    return 0;
}
