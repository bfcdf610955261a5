#include "server/utils.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "common/diagnostics.h"

namespace {

// Removes a UTF-8 character that a bounded copy left incomplete at the end.
void trimIncompleteUtf8(char *text)
{
    size_t end = strlen(text);
    size_t i = end;
    while (i > 0 && end - i < 3 && ((unsigned char)text[i - 1] & 0xc0) == 0x80)
        i--;
    if (i == 0)
        return;
    unsigned char lead = (unsigned char)text[i - 1];
    size_t need = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
    if (need > 1 && end - (i - 1) < need)
        text[i - 1] = '\0';
}

}  // namespace

void formatText(char *out, size_t size, const char *format, va_list args)
{
    if (out == NULL || size == 0)
        return;
    memset(out, 0, size);
    vsnprintf(out, size, format, args);
    trimIncompleteUtf8(out);
}

namespace {

// Bytes of the well-formed UTF-8 character at p (1 to 4; no overlong
// forms, surrogates or code points above U+10FFFF), 0 when none starts
// there. Reads no further than the text's terminator.
size_t utf8CharLength(const unsigned char *p)
{
    unsigned char c = *p;
    size_t extra = 0;
    unsigned int low = 0x80;
    unsigned int high = 0xBF;  // allowed range of the second byte
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        if (c == 0xE0)
            low = 0xA0;  // overlong
        else if (c == 0xED)
            high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        if (c == 0xF0)
            low = 0x90;  // overlong
        else if (c == 0xF4)
            high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    for (size_t i = 1; i <= extra; i++) {
        unsigned int b = p[i];
        if (i == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80)
            return 0;
    }
    return extra + 1;
}

// True when p holds what is left of a character that a cut or a store
// ended short: a lead byte and fewer continuation bytes than it needs, up
// to the end of the text.
bool cutShortAtEnd(const unsigned char *p)
{
    unsigned char c = *p;
    size_t need = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    size_t n = 1;
    while (n < need && (p[n] & 0xC0) == 0x80)
        n++;
    return need > 0 && n < need && p[n] == 0;
}

const char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

}  // namespace

bool isUtf8(const char *text)
{
    if (text == NULL)
        return false;
    for (const unsigned char *p = (const unsigned char *)text; *p != 0;) {
        size_t n = utf8CharLength(p);
        if (n == 0)
            return false;
        p += n;
    }
    return true;
}

char *wellFormedUtf8(const char *text)
{
    if (text == NULL || isUtf8(text))
        return NULL;
    size_t size = strlen(text) * 3 + 1;
    char *out = (char *)cJSON_malloc(size);
    if (out == NULL)
        return NULL;
    memset(out, 0, size);
    size_t at = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p != 0;) {
        size_t n = utf8CharLength(p);
        if (n > 0) {
            memcpy(out + at, p, n);
            at += n;
            p += n;
        } else if (cutShortAtEnd(p)) {
            break;
        } else {
            memcpy(out + at, kReplacement, 3);
            at += 3;
            p++;
        }
    }
    return out;
}

bool isPrintableText(const char *text)
{
    for (const char *p = text; *p != '\0'; p++) {
        if ((unsigned char)*p < 0x20 || (unsigned char)*p > 0x7E)
            return false;
    }
    return true;
}

const char kHexDigits[] = "0123456789abcdefABCDEF";

bool isHexText(const char *text, size_t length)
{
    return strlen(text) == length && strspn(text, kHexDigits) == length;
}

bool isMacText(const char *text)
{
    if (text == NULL || strlen(text) != 17 || (text[2] != ':' && text[2] != '-'))
        return false;
    for (int i = 0; i < 17; i++) {
        if (i % 3 == 2 ? text[i] != text[2] : strspn(text + i, kHexDigits) == 0)
            return false;
    }
    return true;
}

int parseAmount(const char *text, double *amount)
{
    if (text == NULL || amount == NULL)
        return -1;
    // The longest leading decimal number: sign, digits, fraction, exponent.
    const char *p = text;
    while (isspace((unsigned char)*p))
        p++;
    const char *start = p;
    if (*p == '+' || *p == '-')
        p++;
    int digits = 0;
    while (isdigit((unsigned char)*p)) {
        p++;
        digits++;
    }
    if (*p == '.') {
        p++;
        while (isdigit((unsigned char)*p)) {
            p++;
            digits++;
        }
    }
    // No digit at all ("abc", "nan", "inf", ""): not an amount.
    if (digits == 0)
        return -1;
    if (*p == 'e' || *p == 'E') {
        const char *e = p + 1;
        if (*e == '+' || *e == '-')
            e++;
        if (isdigit((unsigned char)*e)) {
            while (isdigit((unsigned char)*e))
                e++;
            p = e;
        }
    }
    // Only the span found above goes to strtod, which would also read
    // forms this amount does not allow ("0x10", "infinity"). The span may be
    // as long as the request: a copy of exactly its length.
    char *number = strndup(start, (size_t)(p - start));
    if (number == NULL)
        return -1;
    double value = strtod(number, NULL);
    free(number);
    if (!isfinite(value))
        return -1;
    *amount = value;
    return 0;
}

bool readInteger(const cJSON *item, NonNumber nonNumber, long long low, long long high, int *value)
{
    if (item == NULL)
        return false;
    double whole = 0;
    if (cJSON_IsNumber(item)) {
        if (!isfinite(item->valuedouble))
            return false;
        // Toward zero, as cJSON's own valueint within the int range; the
        // comparison is made on the double so that nothing saturates.
        whole = trunc(item->valuedouble);
    } else if (nonNumber == NON_NUMBER_REFUSED) {
        return false;
    } else {
        whole = nonNumber == NON_NUMBER_TRUE_ONE && cJSON_IsTrue(item) ? 1 : 0;
    }
    if (whole < (double)low || whole > (double)high || whole < (double)INT_MIN || whole > (double)INT_MAX)
        return false;
    if (value != NULL)
        *value = (int)whole;
    return true;
}

namespace {

char g_staticOutput[1024];

// Reads one fread's worth of the command's output into buffer and returns
// the command's exit status, or -1 when it could not be started.
int captureOutput(const char *command, char *buffer, int size)
{
    FILE *pipe = popen(command, "r");
    if (pipe == NULL)
        return -1;
    memset(buffer, 0, (size_t)size);
    size_t n = fread(buffer, 1, (size_t)size - 1, pipe);
    if (n > 0 && buffer[n - 1] == '\n')
        buffer[n - 1] = '\0';
    // Drain what did not fit: closing early would kill the command with
    // SIGPIPE and turn a long but successful output into a failure.
    char rest[512];
    while (fread(rest, 1, sizeof(rest), pipe) > 0) {
    }
    return pclose(pipe);
}

// One slot per timer variable. The SIGUSR2 handler reads the table and
// sets `fired`; everything else changes it only with SIGUSR2 blocked.
struct TimerSlot {
    timer_t *variable;
    WebTimerExpiry expiry;
    bool armed;
    volatile sig_atomic_t fired;
};

const int kMaxTimers = 8;
TimerSlot g_slots[kMaxTimers];
int g_wakePipe[2] = {-1, -1};

class Usr2Blocked {
public:
    Usr2Blocked()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~Usr2Blocked() { pthread_sigmask(SIG_SETMASK, &old_, NULL); }

private:
    sigset_t old_;
};

TimerSlot *slotFor(const timer_t *variable)
{
    for (TimerSlot &slot : g_slots) {
        if (slot.variable == variable)
            return &slot;
    }
    return NULL;
}

// Async-signal-safe: marks the slot and wakes the loop, nothing more.
void onTimerSignal(int, siginfo_t *info, void *)
{
    if (info == NULL || info->si_code != SI_TIMER)
        return;  // a stray SIGUSR2 from another process is ignored
    int savedErrno = errno;
    for (TimerSlot &slot : g_slots) {
        if (slot.armed && slot.variable == info->si_value.sival_ptr) {
            slot.fired = 1;
            if (g_wakePipe[1] >= 0) {
                char byte = 1;
                ssize_t ignored = write(g_wakePipe[1], &byte, 1);
                (void)ignored;
            }
        }
    }
    errno = savedErrno;
}

bool anyArmed()
{
    for (const TimerSlot &slot : g_slots) {
        if (slot.armed)
            return true;
    }
    return false;
}

}  // namespace

int getCommandOutput(const char *command, char *buffer, int size)
{
    if (buffer == NULL || size <= 0 || command == NULL)
        return 0;
    return captureOutput(command, buffer, size) == 0 ? 1 : 0;
}

char *getCommandOutputStatic(const char *command)
{
    if (command == NULL)
        return NULL;
    int status = captureOutput(command, g_staticOutput, (int)sizeof(g_staticOutput));
    return status == 0 ? g_staticOutput : NULL;
}

int webTimerInit(void)
{
    if (g_wakePipe[0] >= 0)
        return 0;
    if (pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_wakePipe[0] = g_wakePipe[1] = -1;
        return -1;
    }
    return 0;
}

int webTimerWakeFd(void)
{
    return g_wakePipe[0];
}

int webTimerSet(timer_t *timer, int milliseconds, WebTimerExpiry expiry)
{
    if (timer == NULL || expiry == NULL || milliseconds < 0)
        return -1;
    webTimerInit();
    Usr2Blocked blocked;

    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    action.sa_sigaction = onTimerSignal;
    if (sigaction(SIGUSR2, &action, NULL) != 0) {
        diagLine("fail to sigaction!");
        return -1;
    }

    TimerSlot *slot = slotFor(timer);
    if (slot == NULL)
        slot = slotFor(NULL);
    if (slot == NULL) {
        diagLine("timer_create fail!");
        return -1;
    }
    // A new change before the restart: the earlier arming is replaced, so
    // the work runs once, after the last change.
    if (slot->armed)
        timer_delete(*timer);
    slot->variable = timer;
    slot->expiry = expiry;
    slot->armed = false;
    slot->fired = 0;

    struct sigevent event;
    memset(&event, 0, sizeof(event));
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGUSR2;
    event.sigev_value.sival_ptr = timer;
    if (timer_create(CLOCK_REALTIME, &event, timer) != 0) {
        diagLine("timer_create fail!");
        slot->variable = NULL;
        return -1;
    }
    diagPrintf("&timerid = %p\n", (void *)timer);
    diagPrintf("webTimerSet: timer ID is 0x%lx\n", (unsigned long)(uintptr_t)*timer);

    struct itimerspec delay;
    memset(&delay, 0, sizeof(delay));
    delay.it_value.tv_sec = milliseconds / 1000;
    delay.it_value.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    delay.it_interval = delay.it_value;
    slot->armed = true;
    if (timer_settime(*timer, 0, &delay, NULL) != 0) {
        diagLine("timer_settime fail!");
        slot->armed = false;
        return -1;
    }
    return 0;
}

void webTimerDelete(int signal, siginfo_t *info, void *)
{
    if (info == NULL)
        return;
    Usr2Blocked blocked;
    timer_t *variable = (timer_t *)info->si_value.sival_ptr;
    TimerSlot *slot = variable != NULL ? slotFor(variable) : NULL;
    if (slot != NULL && slot->armed) {
        if (timer_delete(*variable) != 0)
            diagLine("timer_delete fail!");
        slot->armed = false;
        slot->fired = 0;
    }
    // Another module's restart may still be pending: only an idle process
    // goes back to ignoring the signal.
    if (!anyArmed())
        ::signal(signal, SIG_IGN);
}

void webTimerRunExpired(void)
{
    if (g_wakePipe[0] >= 0) {
        char drain[64];
        while (read(g_wakePipe[0], drain, sizeof(drain)) > 0) {
        }
    }
    for (TimerSlot &slot : g_slots) {
        WebTimerExpiry expiry = NULL;
        siginfo_t info;
        memset(&info, 0, sizeof(info));
        {
            Usr2Blocked blocked;
            if (!slot.armed || !slot.fired)
                continue;
            slot.fired = 0;
            expiry = slot.expiry;
            info.si_signo = SIGUSR2;
            info.si_code = SI_TIMER;
            info.si_value.sival_ptr = slot.variable;
        }
        expiry(SIGUSR2, &info, NULL);
    }
}

int webTimerArmedCount(void)
{
    Usr2Blocked blocked;
    int count = 0;
    for (const TimerSlot &slot : g_slots)
        count += slot.armed ? 1 : 0;
    return count;
}

long long monotonicUs(void)
{
    struct timespec ts;
    memset(&ts, 0, sizeof(ts));
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

long long monotonicMs(void)
{
    return monotonicUs() / 1000;
}
