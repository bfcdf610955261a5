// The Android log interface as the modules use it, declared as liblog's own
// <android/log.h> declares it, for the simulated build, where the simulated
// device appends the lines to its log buffer files. The device build uses
// the real header instead; a test compiles these declarations beside it and
// checks that every value and both function types are the same.
//
// No include guard and no includes: that test includes this file inside a
// namespace of its own.

typedef enum android_LogPriority {
    ANDROID_LOG_UNKNOWN = 0,
    ANDROID_LOG_DEFAULT,
    ANDROID_LOG_VERBOSE,
    ANDROID_LOG_DEBUG,
    ANDROID_LOG_INFO,
    ANDROID_LOG_WARN,
    ANDROID_LOG_ERROR,
    ANDROID_LOG_FATAL,
    ANDROID_LOG_SILENT,
} android_LogPriority;

// Log buffers, for __android_log_buf_print.
typedef enum log_id {
    LOG_ID_MIN = 0,
    LOG_ID_MAIN = 0,
    LOG_ID_RADIO = 1,
    LOG_ID_EVENTS = 2,
    LOG_ID_SYSTEM = 3,
    LOG_ID_CRASH = 4,
    LOG_ID_STATS = 5,
    LOG_ID_SECURITY = 6,
    LOG_ID_KERNEL = 7,
    LOG_ID_MAX
} log_id_t;

extern "C" {
int __android_log_print(int prio, const char *tag, const char *fmt, ...) __attribute__((__format__(printf, 3, 4)));
int __android_log_buf_print(int bufID, int prio, const char *tag, const char *fmt, ...)
    __attribute__((__format__(printf, 4, 5)));
}
