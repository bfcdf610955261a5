// Android log, as the modules write to it. On the device this is liblog;
// the simulated device appends the lines to its log buffer files.
#pragma once

enum {
    ANDROID_LOG_VERBOSE = 2,
    ANDROID_LOG_DEBUG = 3,
    ANDROID_LOG_INFO = 4,
    ANDROID_LOG_WARN = 5,
    ANDROID_LOG_ERROR = 6,
    ANDROID_LOG_FATAL = 7,
};

// Log buffers for __android_log_buf_print.
enum {
    LOG_ID_MAIN = 0,
    LOG_ID_RADIO = 1,
    LOG_ID_EVENTS = 2,
    LOG_ID_SYSTEM = 3,
    LOG_ID_CRASH = 4,
};

extern "C" {
int __android_log_print(int prio, const char *tag, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int __android_log_buf_print(int bufID, int prio, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
}
