// A power cut moments after settings changes: the device root lives on an
// ext4 image mounted as a battery device's flash would be (no flush on
// rename, journal committed every second), and the image is copied while
// mounted, as the cut leaves the disk. Every file must hold its old or its
// new content, never nothing, and every change that was answered must be
// there.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "tests/support/settings_catalog.h"

namespace {

const char kMountOptions[] = "loop,noauto_da_alloc,commit=1";

// A scratch directory with the disk image and its mount points; unmounts
// and removes everything on the way out, whatever failed.
class Disk {
public:
    Disk()
    {
        char dir[] = "/tmp/kal-cut-XXXXXX";
        if (mkdtemp(dir) != nullptr)
            base_ = dir;
    }
    ~Disk()
    {
        for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it)
            runCommand("umount '" + *it + "' 2>/dev/null || umount -l '" + *it + "' 2>/dev/null");
        if (!base_.empty())
            runCommand("rm -rf '" + base_ + "'");
    }

    std::string path(const std::string &name) const { return base_ + "/" + name; }

    // Makes a fresh ext4 image; "" or why it could not.
    std::string format(const std::string &image)
    {
        int status = -1;
        std::string out = commandOutput("truncate -s 32M '" + path(image) + "' && mkfs.ext4 -q -F '" +
                                            path(image) + "' 2>&1",
                                        &status);
        return status == 0 ? "" : "mkfs.ext4 failed: " + out;
    }

    // Mounts image on a directory of the same name plus ".mnt"; "" or why not.
    std::string mount(const std::string &image)
    {
        std::string dir = path(image + ".mnt");
        int status = -1;
        std::string out = commandOutput("mkdir -p '" + dir + "' && mount -o " + std::string(kMountOptions) + " '" +
                                            path(image) + "' '" + dir + "' 2>&1",
                                        &status);
        if (status != 0)
            return "mount -o " + std::string(kMountOptions) + " failed: " + out;
        mounted_.push_back(dir);
        return "";
    }

    bool unmount(const std::string &image)
    {
        std::string dir = path(image + ".mnt");
        if (runCommand("umount '" + dir + "'") != 0)
            return false;
        mounted_.erase(std::find(mounted_.begin(), mounted_.end(), dir));
        return true;
    }

    // The disk as a cut leaves it: the image's blocks at one instant. A
    // copy made while the kernel writes may mix older and newer blocks, so
    // copy twice until both agree: then no block changed between the two
    // reads of it, and the first copy is the disk as it was at its end.
    bool snapshot(const std::string &image, const std::string &copy)
    {
        std::string from = "'" + path(image) + "' '";
        for (int attempt = 0; attempt < 50; attempt++) {
            if (runCommand("cp --sparse=always " + from + path(copy) + "' && cp --sparse=always " + from +
                           path(copy + ".check") + "'") != 0)
                return false;
            if (runCommand("cmp -s '" + path(copy) + "' '" + path(copy + ".check") + "'") == 0)
                return runCommand("rm -f '" + path(copy + ".check") + "'") == 0;
        }
        return false;
    }

    bool ok() const { return !base_.empty(); }

private:
    std::string base_;
    std::vector<std::string> mounted_;
};

// Files that hold something: neither empty nor only the zero bytes that a
// file whose size reached the disk before its data reads as.
std::set<std::string> filesHoldingData(const std::string &root)
{
    std::set<std::string> files;
    for (const std::string &file : filesUnder(root)) {
        std::string text = SimDevice::readFile(file);
        if (file.find(".tmp") == std::string::npos && text.find_first_not_of('\0') != std::string::npos)
            files.insert(file.substr(root.size()));
    }
    return files;
}

TEST(PowerCut, AnsweredChangesSurviveACutAndNoFileIsEmptied)
{
    if (geteuid() != 0)
        FAIL() << "power-cut test: needs root to mount an ext4 image on a loop device (running as uid " << geteuid()
               << ")";
    Disk disk;
    ASSERT_TRUE(disk.ok()) << "power-cut test: cannot create a scratch directory under /tmp";
    std::string why = disk.format("disk.img");
    ASSERT_EQ(why, "") << "power-cut test: " << why;
    why = disk.mount("disk.img");
    ASSERT_EQ(why, "") << "power-cut test: cannot mount the image: " << why;

    std::vector<Setting> all = deviceSettings();
    std::set<std::string> before;
    {
        SimDevice device(disk.path("disk.img.mnt/root"));
        ASSERT_TRUE(device.start()) << device.serverOutput();
        // A device that has run for a while: its factory state is on disk.
        ASSERT_EQ(runCommand("sync"), 0);
        before = filesHoldingData(device.root());
        for (const Setting &s : all) {
            for (const std::string &write : s.writes) {
                std::string reply = device.request(write);
                ASSERT_NE(reply, "") << s.name << ": no reply to " << write;
            }
        }
        // The harshest cut: right after the last reply. The second comes
        // 3 s later, once the journal has committed the renames (and the
        // restarts the changes scheduled have run) but before the kernel
        // writes back data on its own.
        ASSERT_TRUE(disk.snapshot("disk.img", "now.img"));
        sleepMs(3000);
        ASSERT_TRUE(disk.snapshot("disk.img", "later.img"));
        device.stop();
    }
    ASSERT_TRUE(disk.unmount("disk.img"));

    for (const char *cut : {"now.img", "later.img"}) {
        SCOPED_TRACE(cut);
        why = disk.mount(cut);
        ASSERT_EQ(why, "") << "power-cut test: cannot mount the copy: " << why;
        std::string root = disk.path(std::string(cut) + ".mnt/root");
        std::set<std::string> after = filesHoldingData(root);
        for (const std::string &file : before)
            EXPECT_EQ(after.count(file), 1u) << file << " lost its content in the cut";
        expectStateFilesParse(root, cut);

        SimDevice device(root);
        ASSERT_TRUE(device.start()) << device.serverOutput();
        for (const Setting &s : all) {
            JsonPtr reply = device.requestJson(s.read);
            ASSERT_NE(reply, nullptr) << s.name;
            EXPECT_EQ(s.extract(reply.get()), s.values.back()) << s.name << ": an answered change was lost";
        }
        device.stop();
        EXPECT_TRUE(disk.unmount(cut));
    }
}

}  // namespace
