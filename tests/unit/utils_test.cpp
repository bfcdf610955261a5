// Command capture and the web timer.
#include <gtest/gtest.h>

#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "server/utils.h"

namespace {

TEST(CommandOutput, NewlinesBoundsAndStatus)
{
    char buffer[64];
    EXPECT_EQ(getCommandOutput("printf 'abc\\n'", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(getCommandOutput("printf 'abc\\n\\n'", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "abc\n");
    // A failing command keeps its output but reports failure.
    EXPECT_EQ(getCommandOutput("printf out; exit 3", buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "out");
    // Size 1 leaves an empty text; the result is the command's status.
    EXPECT_EQ(getCommandOutput("echo hello", buffer, 1), 1);
    EXPECT_STREQ(buffer, "");
    // Cut to size - 1.
    EXPECT_EQ(getCommandOutput("printf 0123456789", buffer, 5), 1);
    EXPECT_STREQ(buffer, "0123");
    // Bad arguments leave the buffer alone.
    strcpy(buffer, "keep");
    EXPECT_EQ(getCommandOutput(nullptr, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(getCommandOutput("echo x", buffer, 0), 0);
    EXPECT_EQ(getCommandOutput("echo x", nullptr, 8), 0);
    EXPECT_STREQ(buffer, "keep");
}

TEST(CommandOutput, StaticBuffer)
{
    const char *out = getCommandOutputStatic("printf 'one\\n'");
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "one");
    EXPECT_EQ(getCommandOutputStatic("printf x; false"), nullptr);
    EXPECT_EQ(getCommandOutputStatic(nullptr), nullptr);
    out = getCommandOutputStatic("head -c 5000 /dev/zero | tr '\\0' a");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(strlen(out), 1023u);
}

TEST(CopyText, BoundsAndTermination)
{
    char small[4];
    EXPECT_EQ(copyText(small, "abcdef", sizeof(small)), 6u);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(copyText(small, nullptr, sizeof(small)), 0u);
    EXPECT_STREQ(small, "");
}

int g_runs[2];
timer_t g_timerA;
timer_t g_timerB;

void expiryA(int signal, siginfo_t *info, void *context)
{
    g_runs[0]++;
    webTimerDelete(signal, info, context);
}

void expiryB(int signal, siginfo_t *info, void *context)
{
    g_runs[1]++;
    webTimerDelete(signal, info, context);
}

// Runs the loop's part for up to ms: wait on the wake pipe, run expiries.
void serveTimers(int ms)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= ms)
            return;
        struct pollfd pfd = {webTimerWakeFd(), POLLIN, 0};
        if (poll(&pfd, 1, (int)(ms - elapsed)) > 0)
            webTimerRunExpired();
    }
}

TEST(WebTimer, EachArmingRunsOnceAndTwoModulesDoNotLoseEachOther)
{
    ASSERT_EQ(webTimerInit(), 0);
    g_runs[0] = g_runs[1] = 0;
    ASSERT_EQ(webTimerSet(&g_timerA, 300, expiryA), 0);
    ASSERT_EQ(webTimerSet(&g_timerB, 300, expiryB), 0);
    EXPECT_EQ(webTimerArmedCount(), 2);
    serveTimers(100);
    EXPECT_EQ(g_runs[0] + g_runs[1], 0);  // not before the delay
    serveTimers(900);
    EXPECT_EQ(g_runs[0], 1);
    EXPECT_EQ(g_runs[1], 1);
    EXPECT_EQ(webTimerArmedCount(), 0);

    // Re-arming before expiry replaces the earlier arming: one run.
    ASSERT_EQ(webTimerSet(&g_timerA, 300, expiryA), 0);
    serveTimers(100);
    ASSERT_EQ(webTimerSet(&g_timerA, 300, expiryA), 0);
    serveTimers(900);
    EXPECT_EQ(g_runs[0], 2);

    // With nothing armed a stray SIGUSR2 is ignored.
    kill(getpid(), SIGUSR2);
    serveTimers(50);
    EXPECT_EQ(g_runs[0], 2);
    EXPECT_EQ(webTimerSet(nullptr, 300, expiryA), -1);
}

}  // namespace
