// Command capture and the web timer.
#include <gtest/gtest.h>

#include <limits.h>
#include <poll.h>
#include <stdarg.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "common/integer_reader.h"
#include "common/text.h"
#include "server/command_output.h"
#include "server/web_timer.h"
#include "tests/support/test_support.h"

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
    // A cut steps back to the start of a character that does not fit whole.
    char name[32];
    std::string e20;
    for (int i = 0; i < 20; i++)
        e20 += "\xc3\xa9";
    EXPECT_EQ(copyText(name, e20.c_str(), sizeof(name)), 40u);
    EXPECT_EQ(std::string(name), e20.substr(0, 30));
    std::string euro = std::string(29, 'a') + "\xe2\x82\xac";  // exactly 32 bytes: cut before the euro sign
    copyText(name, euro.c_str(), sizeof(name));
    EXPECT_EQ(std::string(name), std::string(29, 'a'));
    euro = std::string(28, 'a') + "\xe2\x82\xac";  // 31 bytes fit whole
    copyText(name, euro.c_str(), sizeof(name));
    EXPECT_EQ(std::string(name), euro);
    std::string four = std::string(30, 'a') + "\xf0\x9f\x98\x80";
    copyText(name, four.c_str(), sizeof(name));
    EXPECT_EQ(std::string(name), std::string(30, 'a'));
}

namespace {

std::string formatted(size_t size, const char *format, ...) __attribute__((format(printf, 2, 3)));

std::string formatted(size_t size, const char *format, ...)
{
    char out[64];
    va_list args;
    va_start(args, format);
    formatText(out, size, format, args);
    va_end(args);
    return out;
}

}  // namespace

TEST(FormatText, ACutNeverEndsInsideACharacter)
{
    EXPECT_EQ(formatted(64, "%s: %d", "ok", 7), "ok: 7");
    EXPECT_EQ(formatted(6, "ab%s", "cdef"), "abcde");
    // Two, three and four bytes of which only the first would fit.
    EXPECT_EQ(formatted(6, "abcd%s", "\xc3\xa9"), "abcd");
    EXPECT_EQ(formatted(7, "abcd%s", "\xe2\x82\xac"), "abcd");
    EXPECT_EQ(formatted(8, "abcd%s", "\xf0\x9f\x98\x80"), "abcd");
    EXPECT_EQ(formatted(9, "abcd%s", "\xf0\x9f\x98\x80"), "abcd\xf0\x9f\x98\x80");
}

TEST(Utf8, WellFormedTextsOnly)
{
    for (const char *good : {"", "plain", "\xc3\xa9t\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xef\xbf\xbf",
                             "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(isUtf8(good)) << good;
    for (const char *bad : {"\xc3", "\xc3\x28", "\xa9", "\xff", "\xc0\xaf" /* overlong */, "\xe0\x80\xaf",
                            "\xed\xa0\x80" /* surrogate */, "\xf4\x90\x80\x80" /* above U+10FFFF */, "ab\xe2\x82"})
        EXPECT_FALSE(isUtf8(bad)) << bad;
    EXPECT_FALSE(isUtf8(nullptr));
}

TEST(Utf8, RepairDropsACutCharacterAndReplacesStrayBytes)
{
    EXPECT_EQ(wellFormedUtf8("ok \xc3\xa9"), nullptr) << "well-formed: nothing to do";
    auto repaired = [](const char *text) {
        char *out = wellFormedUtf8(text);
        std::string s = out != nullptr ? out : "<null>";
        cJSON_free(out);
        return s;
    };
    EXPECT_EQ(repaired("\xc3\xa9\xe2"), "\xc3\xa9") << "a 3-byte character cut after 1";
    EXPECT_EQ(repaired("a\xf0\x9f\x98"), "a") << "a 4-byte character cut after 3";
    EXPECT_EQ(repaired("a\xff" "b"), "a\xef\xbf\xbd" "b");
    EXPECT_EQ(repaired("\xe2\x82" "x"), "\xef\xbf\xbd\xef\xbf\xbd" "x") << "cut short, but not at the end";
    EXPECT_EQ(repaired("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd") << "an overlong form is no character";
    EXPECT_EQ(repaired("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd") << "a surrogate";
    EXPECT_EQ(repaired("\x80"), "\xef\xbf\xbd") << "a lone continuation byte at the end";
}

TEST(ReadInteger, RangeIsCheckedOnTheNumberNotASaturatedInt)
{
    struct Case {
        const char *json;
        int low, high;
        bool accepted;
        int value;
    } cases[] = {
        {"5", 0, 10, true, 5},
        {"0.5", 0, 10, true, 0},  // taken by its integer value, as always
        {"-0.5", 0, 10, true, 0},
        {"10.9", 0, 10, true, 10},
        {"11", 0, 10, false, 0},
        {"-1", 0, 10, false, 0},
        {"2147483647", INT_MIN, INT_MAX, true, INT_MAX},
        {"-2147483648", INT_MIN, INT_MAX, true, INT_MIN},
        {"2147483648", INT_MIN, INT_MAX, false, 0},
        {"-2147483649", INT_MIN, INT_MAX, false, 0},
        {"4294967297", INT_MIN, INT_MAX, false, 0},
        {"9007199254740993", INT_MIN, INT_MAX, false, 0},
        {"1e300", INT_MIN, INT_MAX, false, 0},
        {"-1e300", INT_MIN, INT_MAX, false, 0},
        {"1e400", INT_MIN, INT_MAX, false, 0},  // parses as infinity
        {"true", 0, 1, true, 1},
        {"false", 0, 1, true, 0},
        {"\"7\"", 0, 10, true, 0},  // a text counts as 0
        {"null", 1, 10, false, 0},
    };
    for (const Case &c : cases) {
        cJSON *item = cJSON_Parse(c.json);
        ASSERT_NE(item, nullptr) << c.json;
        int value = -12345;
        EXPECT_EQ(readInteger(item, NON_NUMBER_TRUE_ONE, c.low, c.high, &value), c.accepted) << c.json;
        EXPECT_EQ(value, c.accepted ? c.value : -12345) << c.json;
        bool number = cJSON_IsNumber(item);
        EXPECT_EQ(readInteger(item, NON_NUMBER_REFUSED, c.low, c.high, &value), c.accepted && number) << c.json;
        // Counting every other value as 0, true too.
        bool zeroFits = c.low <= 0 && c.high >= 0;
        EXPECT_EQ(readInteger(item, NON_NUMBER_ZERO, c.low, c.high, NULL), number ? c.accepted : zeroFits) << c.json;
        cJSON_Delete(item);
    }
    EXPECT_FALSE(readInteger(nullptr, NON_NUMBER_TRUE_ONE, INT_MIN, INT_MAX, nullptr));
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

// Does the loop's part (wait on the wake pipe, run expiries) until done()
// holds or ms have passed; whether it held.
bool serveTimers(int ms, const std::function<bool()> &done = [] { return false; })
{
    return waitFor(
        [&] {
            struct pollfd pfd = {webTimerWakeFd(), POLLIN, 0};
            if (poll(&pfd, 1, 0) > 0)
                webTimerRunExpired();
            return done();
        },
        ms);
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
    EXPECT_TRUE(serveTimers(2000, [] { return webTimerArmedCount() == 0; }));
    EXPECT_EQ(g_runs[0], 1);
    EXPECT_EQ(g_runs[1], 1);
    EXPECT_EQ(webTimerArmedCount(), 0);

    // Re-arming before expiry replaces the earlier arming: one run.
    ASSERT_EQ(webTimerSet(&g_timerA, 300, expiryA), 0);
    serveTimers(100);
    ASSERT_EQ(webTimerSet(&g_timerA, 300, expiryA), 0);
    EXPECT_TRUE(serveTimers(2000, [] { return webTimerArmedCount() == 0; }));
    EXPECT_EQ(g_runs[0], 2);

    // With nothing armed a stray SIGUSR2 is ignored.
    kill(getpid(), SIGUSR2);
    serveTimers(50);
    EXPECT_EQ(g_runs[0], 2);
    EXPECT_EQ(webTimerSet(nullptr, 300, expiryA), -1);
}

}  // namespace
