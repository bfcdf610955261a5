#include "server/web_timer.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "common/diagnostics.h"

namespace {

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
    // Not left-over debugging: the device's diagnostics have always shown
    // each arming's variable and id, and tools that read them expect both.
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
