// The web timer: a module's delayed work (a service restart after the reply
// has left), run on the server's thread.
#pragma once

#include <signal.h>
#include <time.h>

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
