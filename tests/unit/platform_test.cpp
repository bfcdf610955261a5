// Device paths, file replacement and the simulated configuration store.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "platform/config_store.h"
#include "sim/sim_device.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

// The program's calls of umask (the unit tests link with --wrap=umask).
int gUmaskCalls = 0;

extern "C" mode_t __real_umask(mode_t mask);
extern "C" mode_t __wrap_umask(mode_t mask)
{
    gUmaskCalls++;
    return __real_umask(mask);
}

namespace {

// The umask is the process's: reading it by setting it would, for that
// moment, give another thread's new file the wrong mode.
TEST(ReplaceFile, NeverSetsTheUmask)
{
    char dir[] = "/tmp/kal-umask-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/zone";
    int before = gUmaskCalls;
    mode_t old = umask(027);
    ASSERT_EQ(gUmaskCalls, before + 1);
    before = gUmaskCalls;
    struct stat first, st;
    ASSERT_EQ(replaceFile(path.c_str(), "UTC", 3, 0664), 0);
    ASSERT_EQ(stat(path.c_str(), &first), 0);
    EXPECT_EQ(first.st_mode & 07777, 0640u);
    // The same text and mode: left as it is, so the mask was read right.
    ASSERT_EQ(replaceFile(path.c_str(), "UTC", 3, 0664), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, first.st_ino);
    // Another mode: replaced.
    ASSERT_EQ(replaceFile(path.c_str(), "UTC", 3, 0600), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_NE(st.st_ino, first.st_ino);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    char tmp[512];
    ASSERT_EQ(replaceFileTemp(tmp, sizeof(tmp), path.c_str()), 0);
    EXPECT_EQ(gUmaskCalls, before);
    umask(old);

    // Six letters and digits after ".tmp.", as start-up's clean-up expects.
    std::string name(tmp);
    ASSERT_EQ(name.rfind(path + ".tmp.", 0), 0u) << name;
    std::string x = name.substr(path.size() + 5);
    EXPECT_EQ(x.size(), 6u) << name;
    EXPECT_EQ(x.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              std::string::npos)
        << name;
    EXPECT_EQ(replaceFileCleanup(path.c_str()), 0);
    EXPECT_EQ(commandOutput(std::string("ls -A ") + dir), "zone\n");
    std::string cleanup = std::string("rm -rf ") + dir;
    EXPECT_EQ(system(cleanup.c_str()), 0);
}

// A directory of the test's own, removed with what it holds at the end.
struct ScratchDir {
    char path[32] = "/tmp/kal-replace-XXXXXX";
    ScratchDir() { EXPECT_NE(mkdtemp(path), nullptr); }
    ~ScratchDir() { EXPECT_EQ(system((std::string("rm -rf ") + path).c_str()), 0); }
    std::string operator/(const char *name) const { return std::string(path) + "/" + name; }
};

// The file's content, or "<none>" when there is no file.
std::string contentOf(const std::string &path)
{
    char buf[64];
    memset(buf, 0, sizeof(buf));
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return "<none>";
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    return std::string(buf, n);
}

TEST(ReplaceFile, WholeTextOrNothingAndNoLeftovers)
{
    ScratchDir dir;
    std::string path = dir / "zone";
    EXPECT_EQ(replaceFile(path.c_str(), "Asia/Tokyo", 10, 0644), 0);
    EXPECT_EQ(contentOf(path), "Asia/Tokyo");
    // A shorter text replaces the whole file, with no tail of the old one.
    EXPECT_EQ(replaceFile(path.c_str(), "UTC", 3, 0644), 0);
    EXPECT_EQ(contentOf(path), "UTC");
    EXPECT_EQ(contentOf(path + ".tmp"), "<none>");
    // A target that cannot be replaced keeps what it had and leaves no
    // temporary file; a missing directory fails cleanly.
    std::string sub = dir / "sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    EXPECT_EQ(replaceFile(sub.c_str(), "x", 1, 0644), -1);
    EXPECT_EQ(contentOf(sub + ".tmp"), "<none>");
    EXPECT_EQ(replaceFile((dir / "none/zone").c_str(), "x", 1, 0644), -1);
    EXPECT_EQ(replaceFile(nullptr, "x", 1, 0644), -1);
    EXPECT_EQ(contentOf(path), "UTC");
    EXPECT_EQ(commandOutput(std::string("ls -A ") + dir.path), "sub\nzone\n");
}

TEST(ReplaceFile, TakesTheModeLessTheUmaskAndGivesCommandsATemporaryFile)
{
    ScratchDir dir;
    std::string path = dir / "zone";
    // The mode asked for, less the umask, whatever the temporary file had.
    mode_t old = umask(027);
    EXPECT_EQ(replaceFile(path.c_str(), "Europe/Paris", 12, 0664), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // A temporary file for a command to fill: a name of its own beside the
    // file, with the mode a shell redirection would give it; its directory
    // is made when missing.
    char tmp[512];
    std::string inNewDir = dir / "logs/user.txt";
    ASSERT_EQ(replaceFileTemp(tmp, sizeof(tmp), inNewDir.c_str()), 0);
    EXPECT_EQ(std::string(tmp).rfind(inNewDir + ".tmp.", 0), 0u) << tmp;
    ASSERT_EQ(stat(tmp, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_size, 0);
    char other[512];
    ASSERT_EQ(replaceFileTemp(other, sizeof(other), inNewDir.c_str()), 0);
    EXPECT_STRNE(tmp, other);
    ASSERT_EQ(commitFile(tmp, inNewDir.c_str()), 0);
    umask(old);
    EXPECT_EQ(replaceFileTemp(tmp, sizeof(tmp), (dir / "a/b/c").c_str()), -1);
    EXPECT_STREQ(tmp, "");
}

TEST(ReplaceFile, StartUpCleansOnlyItsOwnLeftovers)
{
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "logs").c_str(), 0755), 0);
    ASSERT_TRUE(SimDevice::writeFile(dir / "logs/user.txt", "kept"));
    // Both namings of a leftover go; look-alikes and other files' stay.
    for (const char *name : {"user.txt.tmp", "user.txt.tmp.Ab3dE9", "user.txt.tmpx", "user.txt.tmp.toolong1",
                             "other.txt.tmp.Ab3dE9"})
        ASSERT_TRUE(SimDevice::writeFile(dir / "logs/" + name, "x"));
    EXPECT_EQ(replaceFileCleanup((dir / "logs/user.txt").c_str()), 0);
    EXPECT_EQ(commandOutput(std::string("ls -A ") + dir.path + "/logs"),
              "other.txt.tmp.Ab3dE9\nuser.txt\nuser.txt.tmp.toolong1\nuser.txt.tmpx\n");
}

TEST(ReplaceFile, TwoProcessesAtOnceEachReplaceTheFileWhole)
{
    ScratchDir dir;
    std::string path = dir / "zone";
    // Each replacement is whole, and none fails for the other's temporary
    // file.
    std::string a(3000, 'a'), b(5000, 'b');
    auto replaceAndRead = [&](const std::string &text) {
        int failures = 0;
        for (int i = 0; i < 200; i++) {
            std::string now = SimDevice::readFile(path);
            if (replaceFile(path.c_str(), text.data(), text.size(), 0644) != 0 || (now != a && now != b))
                failures++;
        }
        return failures;
    };
    ASSERT_EQ(replaceFile(path.c_str(), a.data(), a.size(), 0644), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(replaceAndRead(b) == 0 ? 0 : 1);
    EXPECT_EQ(replaceAndRead(a), 0);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(commandOutput(std::string("ls -A ") + dir.path), "zone\n");
}

TEST(DevicePaths, LiveUnderTheRootAndNeverCut)
{
    const std::string &root = inProcessRoot();
    char path[256];
    ASSERT_EQ(kalPath(path, sizeof(path), KAL_SERVER_SOCKET_PATH), 0);
    EXPECT_EQ(std::string(path), root + "/tmp/vy_kal_server.sock");
    char tiny[8];
    EXPECT_EQ(kalPath(tiny, sizeof(tiny), KAL_SERVER_SOCKET_PATH), -1);
    EXPECT_STREQ(tiny, "");
    EXPECT_EQ(kalPath(path, sizeof(path), nullptr), -1);
}

TEST(ConfigStore, FactoryValuesWritesAndBounds)
{
    inProcessRoot();
    char buffer[32] = {0};
    ASSERT_EQ(get_config_data(PI_PRODUCT_REGION, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "UN");

    // Values read back exactly, cut to the reader's buffer.
    const char value[] = "line one\nwith \"quotes\" $(x) ;";
    ASSERT_EQ(set_config_data_permanent(CFG_STORAGE_SHARE_USER, value, (int)strlen(value)), 0);
    char big[64] = {0};
    ASSERT_EQ(get_config_data(CFG_STORAGE_SHARE_USER, big, sizeof(big)), 0);
    EXPECT_STREQ(big, value);
    char four[4] = {0};
    ASSERT_EQ(get_config_data(CFG_STORAGE_SHARE_USER, four, sizeof(four)), 0);
    EXPECT_STREQ(four, "lin");

    // Length counts: only that many bytes are stored.
    ASSERT_EQ(set_config_data_permanent(CFG_STORAGE_SHARE_USER, "abcdef", 3), 0);
    ASSERT_EQ(get_config_data(CFG_STORAGE_SHARE_USER, big, sizeof(big)), 0);
    EXPECT_STREQ(big, "abc");
    ASSERT_EQ(set_config_data_permanent(CFG_STORAGE_SHARE_USER, "", 0), 0);
    ASSERT_EQ(get_config_data(CFG_STORAGE_SHARE_USER, big, sizeof(big)), 0);
    EXPECT_STREQ(big, "");

    // Only 0 and -1 ever come back.
    EXPECT_EQ(get_config_data(9999, big, sizeof(big)), -1);
    EXPECT_EQ(get_config_data(-5, big, sizeof(big)), -1);
    EXPECT_EQ(get_config_data(CFG_LANGUAGE, nullptr, 8), -1);
    EXPECT_EQ(get_config_data(CFG_LANGUAGE, big, 0), -1);
    EXPECT_EQ(set_config_data_permanent(CFG_LANGUAGE, nullptr, 3), -1);
    EXPECT_EQ(set_config_data_permanent(CFG_LANGUAGE, "en", -1), -1);
    EXPECT_EQ(set_config_data_permanent(-1, "en", 2), -1);
}

TEST(ConfigStore, ValuesAreOwnerOnlyFiles)
{
    const std::string file = inProcessRoot() + "/sim/config/29";
    ASSERT_EQ(set_config_data_permanent(CFG_SIM_PIN, "1234", 4), 0);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(SimDevice::readFile(file), "1234");
}

TEST(ConfigStore, FactoryRestoreReplacesEveryKeyFileNotExactlyFactory)
{
    const std::string dir = inProcessRoot() + "/sim/config/";
    // Right text, wrong mode; longer; shorter; a link to a file holding the
    // factory text; missing. Each must come back as an owner-only file.
    ASSERT_TRUE(SimDevice::writeFile(dir + "88", "MH4G-100"));
    ASSERT_EQ(chmod((dir + "88").c_str(), 0644), 0);
    ASSERT_TRUE(SimDevice::writeFile(dir + "89", "4G Mobile Hotspot!"));
    ASSERT_TRUE(SimDevice::writeFile(dir + "93", "U"));
    const std::string elsewhere = inProcessRoot() + "/elsewhere";
    ASSERT_TRUE(SimDevice::writeFile(elsewhere, "1.0"));
    ASSERT_EQ(unlink((dir + "90").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (dir + "90").c_str()), 0);
    ASSERT_EQ(unlink((dir + "122").c_str()), 0);
    ASSERT_EQ(set_config_data_permanent(CFG_LANGUAGE, "de", 2), 0);

    ASSERT_EQ(simConfigRestoreFactory(), 0);
    const struct {
        const char *key;
        const char *value;
    } expected[] = {{"88", "MH4G-100"}, {"89", "4G Mobile Hotspot"}, {"93", "UN"},
                    {"90", "1.0"},      {"122", "356938035643809"},  {"11", "en"}};
    for (const auto &e : expected) {
        struct stat st;
        ASSERT_EQ(lstat((dir + e.key).c_str(), &st), 0) << e.key;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << e.key;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << e.key;
        EXPECT_EQ(SimDevice::readFile(dir + e.key), e.value) << e.key;
    }
    struct stat st;
    ASSERT_EQ(stat(elsewhere.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // the link's target is not touched
}

}  // namespace
