// Shared handler utilities: shell output capture and the web timer.
#pragma once

#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <string.h>
#include <time.h>

#include <cjson/cJSON.h>

#include "common/text.h"

// vsnprintf into out, zeroed first and always terminated; a text cut to fit
// never ends inside a UTF-8 character.
void formatText(char *out, size_t size, const char *format, va_list args);

// True when text is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool isUtf8(const char *text);

// NULL when text is well-formed UTF-8 already; otherwise a well-formed copy
// (cJSON's allocator; free with cJSON_free): a character cut short at the
// end is left out, any other byte that starts no character becomes U+FFFD.
char *wellFormedUtf8(const char *text);

// True when every byte of text is printable ASCII (space to tilde).
bool isPrintableText(const char *text);

// True when text is exactly length hexadecimal digits (either case).
bool isHexText(const char *text, size_t length);

// True when text is a MAC address: six two-digit hex groups split by one
// separator, ':' or '-', the same throughout.
bool isMacText(const char *text);

// Reads the longest leading decimal number of text. -1 when the text holds
// no digits or the number is not finite; *amount is then untouched.
int parseAmount(const char *text, double *amount);

// How the one integer reader takes a value that is not a JSON number.
enum NonNumber {
    NON_NUMBER_REFUSED,   // not an integer at all
    NON_NUMBER_TRUE_ONE,  // true 1, any other value 0 (cJSON's valueint)
    NON_NUMBER_ZERO,      // 0, true included
};

// The one integer reader of requests and state files: a JSON number by its
// integer value (toward zero), anything else as nonNumber says, provided
// the value lies within [low, high]. The range is checked on the number
// itself, so nothing beyond an int saturates or wraps into range. False
// (and *value untouched) for a null item or a refused value.
bool readInteger(const cJSON *item, NonNumber nonNumber, long long low, long long high, int *value);

// Milliseconds and microseconds of the monotonic clock: for deadlines and
// elapsed times.
long long monotonicMs(void);
long long monotonicUs(void);

// Runs command and puts its output, less one trailing newline, into buffer
// (at most size - 1 bytes). Returns 1 when the command's status is 0.
int getCommandOutput(const char *command, char *buffer, int size);

// The same into a process-wide 1024-byte buffer, valid until the next call.
// Returns null when the command cannot run or its status is not 0.
char *getCommandOutputStatic(const char *command);

// How long a changed service waits before it restarts, so that the reply
// leaves first.
const int kRestartDelayMs = 2000;

// Expiry function: runs on the server's thread, does its work and ends with
// webTimerDelete(signal, info, context).
typedef void (*WebTimerExpiry)(int signal, siginfo_t *info, void *context);

// Arms *timer to run expiry once, milliseconds from now. Re-arming a timer
// that has not expired yet replaces the earlier arming. 0 or -1.
int webTimerSet(timer_t *timer, int milliseconds, WebTimerExpiry expiry);

// Deletes the timer named by info's signal value; the last step of every
// expiry function.
void webTimerDelete(int signal, siginfo_t *info, void *context);

// Expiries arrive as SIGUSR2, whose handler only records them and wakes the
// receive loop through this descriptor; the loop then calls
// webTimerRunExpired() to run the expiry functions on the server's thread.
int webTimerInit(void);
int webTimerWakeFd(void);
void webTimerRunExpired(void);

// Number of timers armed and not yet expired (for tests and diagnostics).
int webTimerArmedCount(void);
