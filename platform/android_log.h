// Android log, as the modules write to it: liblog on the device, with its
// own header; the simulated device's stand-in otherwise (same declarations).
#pragma once

#if KAL_PLATFORM_SIM
#include "platform/android_log_decls.h"
#else
#include <android/log.h>
#endif
