// Seeds the uci packages of the simulated device: the factory copy of
// "storageshare" in the default configuration directory, and a live copy
// of it in the uci tool's directory (both under the root). The sim/bin/uci
// stand-in reads and writes them.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "sim/sim_device.h"
#include "sim/sim_files.h"

namespace {

const char kStorageShare[] =
    "\n"
    "config property 'property'\n"
    "\toption access_mode '1'\n"
    "\toption ifanon '0'\n";

int packagePath(char *out, size_t size, const char *dir)
{
    char base[512];
    if (kalPath(base, sizeof(base), dir) != 0 || simMakeDirs(base, 0755) != 0)
        return -1;
    memset(out, 0, size);
    int n = snprintf(out, size, "%s/storageshare", base);
    return n > 0 && (size_t)n < size ? 0 : -1;
}

int writePackage(const char *dir, bool keepExisting)
{
    char path[512];
    if (packagePath(path, sizeof(path), dir) != 0)
        return -1;
    if (keepExisting && simExists(path))
        return 0;
    return replaceFile(path, kStorageShare, strlen(kStorageShare), 0644);
}

}  // namespace

int simUciSeed(void)
{
    if (writePackage(UCI_DEFAULT_CONFIG_DIR_PATH, true) != 0)
        return -1;
    return writePackage(UCI_CONFIG_DIR_PATH, true);
}

int simUciRestoreFactory(void)
{
    // The live package goes back to the factory copy; staged changes are dropped.
    char path[512];
    char factory[512];
    char dir[512];
    char staged[600];
    char text[4096];
    memset(text, 0, sizeof(text));
    memset(staged, 0, sizeof(staged));
    if (packagePath(path, sizeof(path), UCI_CONFIG_DIR_PATH) != 0 ||
        packagePath(factory, sizeof(factory), UCI_DEFAULT_CONFIG_DIR_PATH) != 0 ||
        kalPath(dir, sizeof(dir), UCI_CONFIG_DIR_PATH) != 0)
        return -1;
    snprintf(staged, sizeof(staged), "%s/.storageshare.staged", dir);
    unlink(staged);
    long n = simReadFile(factory, text, sizeof(text));
    if (n < 0)
        return writePackage(UCI_CONFIG_DIR_PATH, false);
    return replaceFile(path, text, (size_t)n, 0644);
}
