// Scenarios as a control: the shipped ones' directory, the file of a name,
// and background play in kal_http ("scenario start NAME", "scenario stop"),
// one at a time on a thread of its own. The file's form is in
// scenario_parser.cpp, its playing in scenario_player.cpp.

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <cjson/cJSON.h>

#include "common/clock.h"
#include "common/device_paths.h"
#include "common/text.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/controls/scenario_parser.h"
#include "sim/sim_files.h"
#include "sim/sim_lock.h"

namespace {

const char kScenarioSuffix[] = ".txt";
// Where the shipped scenarios are, tried in turn beside the program: its
// checkout's (a build directory in the checkout), then a copy beside it,
// then an installed tree's.
const char *const kScenarioDirsBesideProgram[] = {"/../sim/scenarios", "/scenarios", "/../share/kal-server/scenarios"};
const char kScenarioDirVariable[] = "KAL_SCENARIOS";

// Background play in kal_http: at most one scenario at a time.
std::mutex g_mutex;  // guards what follows
bool g_allowed = false;
bool g_playing = false;
char g_playingName[kMaxEntryName + 1];
char g_lastStep[512];
int g_steps = 0;
long long g_startedMs = 0;
volatile sig_atomic_t g_stop = 0;
// The device's generation as the player last saw it: a reset since then
// (another one than a step's own) is stopping the player.
long g_seenGeneration = 0;

void noteStep(const char *line, void *)
{
    long generation = simGenerationRead();
    std::lock_guard<std::mutex> hold(g_mutex);
    copyText(g_lastStep, line + strspn(line, " "), sizeof(g_lastStep));
    g_steps++;
    g_seenGeneration = generation;
}

void playInBackground(Scenario *scenario)
{
    bool reset = false;
    scenarioPlay(scenario, &g_stop, noteStep, NULL, &reset);
    scenarioFree(scenario);
    std::lock_guard<std::mutex> hold(g_mutex);
    if (reset) {
        memset(g_lastStep, 0, sizeof(g_lastStep));
        snprintf(g_lastStep, sizeof(g_lastStep), "scenario %s stopped: the device was reset", g_playingName);
        fprintf(stderr, "%s\n", g_lastStep);
    }
    g_playing = false;
}

// The directory of the shipped scenarios: given (--scenarios), else
// $KAL_SCENARIOS, else found beside the program; "" when none is.
std::mutex g_dirMutex;  // guards what follows
bool g_dirKnown = false;
char g_scenarioDir[PATH_MAX];

bool isDirectory(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void findScenarioDir(void)
{
    memset(g_scenarioDir, 0, sizeof(g_scenarioDir));
    const char *given = getenv(kScenarioDirVariable);
    if (given != NULL && given[0] != '\0') {
        if (realpath(given, g_scenarioDir) == NULL || !isDirectory(g_scenarioDir))
            memset(g_scenarioDir, 0, sizeof(g_scenarioDir));
        return;
    }
    char program[PATH_MAX];
    memset(program, 0, sizeof(program));
    ssize_t n = readlink("/proc/self/exe", program, sizeof(program) - 1);
    char *slash = n > 0 ? strrchr(program, '/') : NULL;
    if (slash == NULL)
        return;
    *slash = '\0';
    for (const char *beside : kScenarioDirsBesideProgram) {
        char candidate[PATH_MAX * 2];
        memset(candidate, 0, sizeof(candidate));
        snprintf(candidate, sizeof(candidate), "%s%s", program, beside);
        if (realpath(candidate, g_scenarioDir) != NULL && isDirectory(g_scenarioDir))
            return;
        memset(g_scenarioDir, 0, sizeof(g_scenarioDir));
    }
}

void scenarioDir(char out[PATH_MAX])
{
    std::lock_guard<std::mutex> hold(g_dirMutex);
    if (!g_dirKnown) {
        findScenarioDir();
        g_dirKnown = true;
    }
    memcpy(out, g_scenarioDir, PATH_MAX);
}

int shippedPath(const char *name, char *out, size_t size)
{
    memset(out, 0, size);
    char dir[PATH_MAX];
    scenarioDir(dir);
    if (dir[0] == '\0' || !isEntryName(name))
        return -1;
    int n = snprintf(out, size, "%s/%s%s", dir, name, kScenarioSuffix);
    return n > 0 && (size_t)n < size && simExists(out) ? 0 : -1;
}

int stopBackground(char *message, size_t size)
{
    char name[kMaxEntryName + 1];
    memset(name, 0, sizeof(name));
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        if (!g_playing)
            return say(message, size, CONTROL_OK, "no scenario is playing");
        copyText(name, g_playingName, sizeof(name));
        g_stop = 1;
    }
    // The player sees the flag between two steps, each a few milliseconds.
    long long deadline = monotonicMs() + 5000;
    while (monotonicMs() < deadline) {
        {
            std::lock_guard<std::mutex> hold(g_mutex);
            if (!g_playing)
                return say(message, size, CONTROL_OK, "scenario %s stopped", name);
        }
        struct timespec pause = {0, 10 * 1000000L};
        nanosleep(&pause, NULL);
    }
    return say(message, size, CONTROL_FAILED, "scenario %s does not stop", name);
}

// Whether the one playing is ending because the device was reset: it sees
// so within one slice of its wait.
bool endingAfterReset(void)
{
    long generation = simGenerationRead();
    long long deadline = monotonicMs() + 2000;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        if (!g_playing || generation == g_seenGeneration)
            return false;
    }
    while (monotonicMs() < deadline) {
        {
            std::lock_guard<std::mutex> hold(g_mutex);
            if (!g_playing)
                return true;
        }
        struct timespec pause = {0, 10 * 1000000L};
        nanosleep(&pause, NULL);
    }
    return false;
}

int startBackground(const char *name, char *message, size_t size)
{
    char path[PATH_MAX];
    if (scenarioPath(name, path, sizeof(path), message, size) != CONTROL_OK)
        return CONTROL_REFUSED;
    Scenario *scenario = scenarioLoad(path, message, size);
    if (scenario == NULL)
        return CONTROL_REFUSED;
    // A test that reset the device after one that left a scenario playing
    // starts its own at once.
    endingAfterReset();
    long generation = simGenerationRead();
    std::lock_guard<std::mutex> hold(g_mutex);
    if (g_playing) {
        scenarioFree(scenario);
        return say(message, size, CONTROL_REFUSED, "scenario %s is playing: stop it first", g_playingName);
    }
    g_playing = true;
    g_stop = 0;
    g_steps = 0;
    g_seenGeneration = generation;
    g_startedMs = monotonicMs();
    memset(g_lastStep, 0, sizeof(g_lastStep));
    copyText(g_playingName, name, sizeof(g_playingName));
    bool ends = scenarioEnds(scenario);
    std::thread(playInBackground, scenario).detach();
    return say(message, size, CONTROL_OK, "scenario %s playing%s", name, ends ? "" : " until stopped");
}

}  // namespace

int scenarioPath(const char *name, char *out, size_t size, char *message, size_t messageSize)
{
    memset(out, 0, size);
    if (name == NULL || name[0] == '\0')
        return say(message, messageSize, CONTROL_REFUSED, "scenario: no name or path given");
    if (strchr(name, '/') == NULL) {
        if (shippedPath(name, out, size) == 0)
            return CONTROL_OK;
        char dir[PATH_MAX];
        scenarioDir(dir);
        if (dir[0] == '\0')
            return say(message, messageSize, CONTROL_REFUSED,
                       "scenario: no shipped scenarios beside this program: give their directory with --scenarios DIR "
                       "or $%s", kScenarioDirVariable);
        return say(message, messageSize, CONTROL_REFUSED,
                   "scenario: there is no shipped scenario \"%s\" in %s (a file of your own: a path with a /, under "
                   "$KAL_ROOT)", quote(name).text, dir);
    }
    // A file of one's own lives on the device's root: a console on the
    // network may name it, and nothing outside is read.
    if (!cleanUtf8(name, false) || strlen(name) >= PATH_MAX)
        return say(message, messageSize, CONTROL_REFUSED, "scenario: \"%s\" is no path", quote(name).text);
    char root[PATH_MAX], given[PATH_MAX * 2], resolved[PATH_MAX];
    memset(root, 0, sizeof(root));
    memset(given, 0, sizeof(given));
    memset(resolved, 0, sizeof(resolved));
    if (kalRoot()[0] == '\0' || realpath(kalRoot(), root) == NULL)
        return say(message, messageSize, CONTROL_FAILED, "scenario: no device root to read %s from (KAL_ROOT)", name);
    if (name[0] == '/')
        copyText(given, name, sizeof(given));
    else
        snprintf(given, sizeof(given), "%s/%s", kalRoot(), name);
    if (realpath(given, resolved) == NULL)
        return say(message, messageSize, CONTROL_REFUSED, "scenario: cannot read %s: %s", given, strerror(errno));
    size_t rootLen = strlen(root);
    if (strncmp(resolved, root, rootLen) != 0 || resolved[rootLen] != '/')
        return say(message, messageSize, CONTROL_REFUSED, "scenario: %s is outside the device root %s", name, root);
    if (strlen(resolved) >= size)
        return say(message, messageSize, CONTROL_REFUSED, "scenario: the path %s is too long", resolved);
    copyText(out, resolved, size);
    return CONTROL_OK;
}

int deviceControlsScenarioDir(const char *dir, char *message, size_t size)
{
    char resolved[PATH_MAX];
    memset(resolved, 0, sizeof(resolved));
    if (dir == NULL || realpath(dir, resolved) == NULL || !isDirectory(resolved))
        return say(message, size, CONTROL_REFUSED, "--scenarios: %s is not a directory", dir != NULL ? dir : "");
    std::lock_guard<std::mutex> hold(g_dirMutex);
    memcpy(g_scenarioDir, resolved, sizeof(g_scenarioDir));
    g_dirKnown = true;
    return CONTROL_OK;
}

void deviceControlsAllowBackground(void)
{
    std::lock_guard<std::mutex> hold(g_mutex);
    g_allowed = true;
}

int scenarioControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    bool stop = argc == 2 && strcmp(argv[1], "stop") == 0;
    bool start = argc == 3 && strcmp(argv[1], "start") == 0;
    if (!stop && !start) {
        if (argc == 2)
            return say(message, size, CONTROL_REFUSED,
                       "scenario FILE plays in the foreground: run kal_sim scenario FILE (here: start FILE or stop)");
        return say(message, size, CONTROL_REFUSED, "scenario needs: start FILE (a shipped name, or a path under $KAL_ROOT) or stop");
    }
    char path[PATH_MAX];
    if (start && scenarioPath(argv[2], path, sizeof(path), message, size) != CONTROL_OK)
        return CONTROL_REFUSED;
    bool allowed;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        allowed = g_allowed;
    }
    if (!allowed)
        return say(message, size, CONTROL_REFUSED,
                   "scenario %s: only kal_http plays in the background; run kal_sim scenario FILE (Ctrl-C stops it)",
                   argv[1]);
    if (!apply)
        return CONTROL_OK;
    return stop ? stopBackground(message, size) : startBackground(argv[2], message, size);
}

void scenarioShow(cJSON *out)
{
    cJSON *names = cJSON_AddArrayToObject(out, "scenarios");
    char dir[PATH_MAX];
    scenarioDir(dir);
    DIR *d = dir[0] != '\0' ? opendir(dir) : NULL;
    char found[kScenarioMaxLines][kMaxEntryName + 1];
    int count = 0;
    struct dirent *entry;
    while (d != NULL && count < kScenarioMaxLines && (entry = readdir(d)) != NULL) {
        size_t len = strlen(entry->d_name);
        size_t suffix = sizeof(kScenarioSuffix) - 1;
        if (len <= suffix || len - suffix > kMaxEntryName || strcmp(entry->d_name + len - suffix, kScenarioSuffix) != 0)
            continue;
        memset(found[count], 0, sizeof(found[count]));
        memcpy(found[count], entry->d_name, len - suffix);
        if (isEntryName(found[count]))
            count++;
    }
    if (d != NULL)
        closedir(d);
    qsort(found, (size_t)count, sizeof(found[0]), [](const void *a, const void *b) {
        return strcmp((const char *)a, (const char *)b);
    });
    for (int i = 0; i < count; i++)
        cJSON_AddItemToArray(names, cJSON_CreateString(found[i]));

    std::lock_guard<std::mutex> hold(g_mutex);
    if (!g_playing) {
        cJSON_AddNullToObject(out, "scenario");
        return;
    }
    cJSON *playing = cJSON_AddObjectToObject(out, "scenario");
    cJSON_AddStringToObject(playing, "name", g_playingName);
    cJSON_AddNumberToObject(playing, "seconds", (double)((monotonicMs() - g_startedMs) / 100) / 10.0);
    cJSON_AddNumberToObject(playing, "steps", g_steps);
    cJSON_AddStringToObject(playing, "last", g_lastStep);
}
