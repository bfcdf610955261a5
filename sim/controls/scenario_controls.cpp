// Scenarios: a timeline of controls read from a text file and played in
// real time, in the foreground by kal_sim or in kal_http's background.
//
//   # comment
//   AT WORDS...                               once, AT seconds after the start
//   every STEP [from AT] [until AT] WORDS...  again and again
//
// Times are seconds with up to three decimals. In a repeated line one word
// may vary: FROM..TO counts by one from FROM to TO, one value a time, and
// the line ends with TO; A|B|C takes each value in turn. Words are split at
// blanks; "double" or 'single' quotes keep blanks in a word (and keep it
// from varying), and inside double quotes \" and \\ stand for " and \.
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

#include "server/utils.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "platform/device_paths.h"
#include "sim/sim_files.h"
#include "sim/sim_lock.h"

namespace {

const int kMaxLines = 256;
const int kMaxWords = 8;
const size_t kMaxLineBytes = 1024;
const size_t kMaxFileBytes = 64 * 1024;
const long kMaxTimeMs = 24L * 3600 * 1000;
const long kMinStepMs = 50;
const long kMaxRangeValue = 1000000;
const long kWaitSliceMs = 50;
const char kScenarioSuffix[] = ".txt";
// Where the shipped scenarios are, tried in turn beside the program: its
// checkout's (a build directory in the checkout), then a copy beside it,
// then an installed tree's.
const char *const kScenarioDirsBesideProgram[] = {"/../sim/scenarios", "/scenarios", "/../share/kal-server/scenarios"};
const char kScenarioDirVariable[] = "KAL_SCENARIOS";

}  // namespace

struct ScenarioLine {
    int number;      // in the file
    bool repeat;
    long atMs;       // once: when; repeated: the first time
    long stepMs;
    long count;      // times it plays in all, or -1 for no end
    long played;
    int wordCount;
    int word[kMaxWords];        // offsets into store
    char store[kMaxLineBytes];  // the words, each NUL-terminated
    int varying;                // index of the varying word, or -1
    bool range;                 // FROM..TO, else A|B|C
    long from, to;
    int alternatives;
};

struct Scenario {
    char path[512];
    int lineCount;
    ScenarioLine lines[kMaxLines];
};

namespace {

// Seconds with up to three decimals, 0 to a day, as milliseconds.
bool parseSeconds(const char *text, long *ms)
{
    size_t len = strlen(text);
    size_t dot = strcspn(text, ".");
    if (len == 0 || dot == 0 || dot > 5 || (dot < len && (len - dot - 1 == 0 || len - dot - 1 > 3)))
        return false;
    for (size_t i = 0; i < len; i++)
        if (i != dot && (text[i] < '0' || text[i] > '9'))
            return false;
    double value = strtod(text, NULL);
    if (!(value >= 0) || value * 1000 > (double)kMaxTimeMs)
        return false;
    *ms = lround(value * 1000);
    return true;
}

// Splits text into the line's words; null, or why not.
const char *splitWords(const char *text, ScenarioLine *line, bool quoted[kMaxWords])
{
    size_t out = 0;
    const char *p = text;
    line->wordCount = 0;
    while (true) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (*p == '\0')
            return NULL;
        if (line->wordCount == kMaxWords)
            return "too many words (at most 8 on a line)";
        line->word[line->wordCount] = (int)out;
        quoted[line->wordCount] = false;
        while (*p != '\0' && *p != ' ' && *p != '\t') {
            if (*p == '"' || *p == '\'') {
                char q = *p++;
                quoted[line->wordCount] = true;
                while (*p != q) {
                    if (*p == '\0')
                        return q == '"' ? "a double quote is not closed" : "a single quote is not closed";
                    if (q == '"' && *p == '\\' && (p[1] == '"' || p[1] == '\\'))
                        p++;
                    if (out + 2 >= sizeof(line->store))
                        return "the line is too long";
                    line->store[out++] = *p++;
                }
                p++;
            } else {
                if (out + 2 >= sizeof(line->store))
                    return "the line is too long";
                line->store[out++] = *p++;
            }
        }
        line->store[out++] = '\0';
        line->wordCount++;
    }
}

const char *wordAt(const ScenarioLine *line, int i)
{
    return line->store + line->word[i];
}

// FROM..TO of whole numbers.
bool parseRange(const char *text, long *from, long *to)
{
    const char *dots = strstr(text, "..");
    if (dots == NULL || dots == text)
        return false;
    char first[24];
    memset(first, 0, sizeof(first));
    size_t len = (size_t)(dots - text);
    if (len >= sizeof(first))
        return false;
    memcpy(first, text, len);
    return parseInt(first, -kMaxRangeValue, kMaxRangeValue, from) &&
           parseInt(dots + 2, -kMaxRangeValue, kMaxRangeValue, to);
}

// The n-th value of A|B|C into out.
void alternative(const char *text, int n, char *out, size_t size)
{
    memset(out, 0, size);
    const char *start = text;
    for (int i = 0; i < n; i++) {
        const char *bar = strchr(start, '|');
        if (bar == NULL)
            return;
        start = bar + 1;
    }
    size_t len = strcspn(start, "|");
    if (len >= size)
        len = size - 1;
    memcpy(out, start, len);
}

// The words of the line's occurrence k; the varying value goes to value.
void occurrence(const ScenarioLine *line, long k, const char *argv[kMaxWords], char *value, size_t size)
{
    for (int i = 0; i < line->wordCount; i++)
        argv[i] = wordAt(line, i);
    if (line->varying < 0)
        return;
    if (line->range)
        snprintf(value, size, "%ld", line->from + (line->to >= line->from ? k : -k));
    else
        alternative(wordAt(line, line->varying), (int)(k % line->alternatives), value, size);
    argv[line->varying] = value;
}

// Reads the time words of a line; the index of its first control word, or
// -1 after writing why.
int parseTiming(ScenarioLine *line, char *why, size_t size)
{
    long until = -1;
    int at = 1;
    if (strcmp(wordAt(line, 0), "every") == 0) {
        line->repeat = true;
        if (line->wordCount < 2 || !parseSeconds(wordAt(line, 1), &line->stepMs) || line->stepMs < kMinStepMs) {
            snprintf(why, size, "every needs a step in seconds, at least 0.05");
            return -1;
        }
        at = 2;
        for (int pass = 0; pass < 2 && at + 1 < line->wordCount; pass++) {
            const char *word = wordAt(line, at);
            long *target = strcmp(word, "from") == 0 ? &line->atMs : strcmp(word, "until") == 0 ? &until : NULL;
            if (target == NULL)
                break;
            if (!parseSeconds(wordAt(line, at + 1), target)) {
                snprintf(why, size, "%s needs a time in seconds, such as 12 or 0.5", word);
                return -1;
            }
            at += 2;
        }
        if (until >= 0 && until < line->atMs) {
            snprintf(why, size, "until comes before the first time");
            return -1;
        }
        line->count = until >= 0 ? (until - line->atMs) / line->stepMs + 1 : -1;
    } else {
        if (!parseSeconds(wordAt(line, 0), &line->atMs)) {
            snprintf(why, size, "a line starts with a time in seconds (such as 12 or 0.5) or with every");
            return -1;
        }
        line->count = 1;
    }
    if (at >= line->wordCount) {
        snprintf(why, size, "no control after the time");
        return -1;
    }
    return at;
}

// Finds the word that varies; false after writing why.
bool findVarying(ScenarioLine *line, int first, const bool quoted[kMaxWords], char *why, size_t size)
{
    line->varying = -1;
    for (int i = first + 1; i < line->wordCount; i++) {
        const char *word = wordAt(line, i);
        long from = 0, to = 0;
        bool range = !quoted[i] && parseRange(word, &from, &to);
        bool alternatives = !quoted[i] && !range && strchr(word, '|') != NULL;
        if (!range && !alternatives)
            continue;
        if (!line->repeat) {
            snprintf(why, size, "\"%s\" varies, which only a line starting with every may", quote(word).text);
            return false;
        }
        if (line->varying >= 0) {
            snprintf(why, size, "only one word of a line may vary");
            return false;
        }
        line->varying = i;
        line->range = range;
        if (range) {
            line->from = from;
            line->to = to;
            long steps = labs(to - from) + 1;
            line->count = line->count < 0 || steps < line->count ? steps : line->count;
        } else {
            line->alternatives = 1;
            for (const char *c = word; *c != '\0'; c++)
                line->alternatives += *c == '|';
            char value[kMaxLineBytes];
            for (int k = 0; k < line->alternatives; k++) {
                alternative(word, k, value, sizeof(value));
                if (value[0] == '\0') {
                    snprintf(why, size, "\"%s\" has an empty value between its bars", quote(word).text);
                    return false;
                }
            }
        }
    }
    return true;
}

// Checks one line of the file into line; false after writing why.
bool parseLine(const char *text, ScenarioLine *line, char *why, size_t size)
{
    bool quoted[kMaxWords];
    const char *bad = splitWords(text, line, quoted);
    if (bad != NULL) {
        snprintf(why, size, "%s", bad);
        return false;
    }
    int first = parseTiming(line, why, size);
    if (first < 0 || !findVarying(line, first, quoted, why, size))
        return false;
    // From here on the control's words alone.
    memmove(line->word, line->word + first, sizeof(int) * (size_t)(line->wordCount - first));
    if (line->varying >= 0)
        line->varying -= first;
    line->wordCount -= first;
    if (strcmp(wordAt(line, 0), "scenario") == 0) {
        snprintf(why, size, "a scenario does not start or stop scenarios");
        return false;
    }
    // Each value a varying word takes: its ends, or every alternative.
    long checks = line->varying < 0 ? 1 : line->range ? 2 : line->alternatives;
    for (long k = 0; k < checks; k++) {
        const char *argv[kMaxWords];
        char value[kMaxLineBytes];
        memset(value, 0, sizeof(value));
        long n = line->range && k == 1 ? labs(line->to - line->from) : k;
        occurrence(line, n, argv, value, sizeof(value));
        char message[512];
        memset(message, 0, sizeof(message));
        if (deviceControlCheck(line->wordCount, argv, message, sizeof(message)) != CONTROL_OK) {
            snprintf(why, size, "%s", message);
            return false;
        }
    }
    return true;
}

// The control of a step as one text, for progress lines.
void commandText(const char *const argv[], int argc, char *out, size_t size)
{
    memset(out, 0, size);
    size_t len = 0;
    for (int i = 0; i < argc && len < size; i++) {
        bool blank = argv[i][0] == '\0' || strpbrk(argv[i], " \t") != NULL;
        int n = snprintf(out + len, size - len, blank ? "%s\"%s\"" : "%s%s", i > 0 ? " " : "", argv[i]);
        if (n > 0)
            len += (size_t)n;
    }
}

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

Scenario *scenarioLoad(const char *path, char *message, size_t size)
{
    long length = 0;
    char *text = simReadFileAlloc(path, kMaxFileBytes + 1, &length);
    if (text == NULL) {
        say(message, size, CONTROL_REFUSED, "%s: cannot read it: %s", path, strerror(errno));
        return NULL;
    }
    if ((size_t)length > kMaxFileBytes || strlen(text) != (size_t)length) {
        say(message, size, CONTROL_REFUSED, "%s: not a scenario (larger than %zu kB, or not text)", path,
            kMaxFileBytes / 1024);
        free(text);
        return NULL;
    }
    Scenario *scenario = (Scenario *)calloc(1, sizeof(Scenario));
    if (scenario == NULL) {
        free(text);
        say(message, size, CONTROL_FAILED, "out of memory");
        return NULL;
    }
    copyText(scenario->path, path, sizeof(scenario->path));
    int number = 0;
    bool ok = true;
    for (char *line = text; ok && line != NULL;) {
        char *end = strchr(line, '\n');
        if (end != NULL)
            *end = '\0';
        number++;
        if (end != NULL && end > line && end[-1] == '\r')
            end[-1] = '\0';  // written on another system
        const char *start = line + strspn(line, " \t");
        line = end != NULL ? end + 1 : NULL;
        if (*start == '\0' || *start == '#')
            continue;
        char why[512];
        memset(why, 0, sizeof(why));
        if (strlen(start) >= kMaxLineBytes) {
            snprintf(why, sizeof(why), "the line is longer than %zu bytes", kMaxLineBytes - 1);
            ok = false;
        } else if (!cleanUtf8(start, true)) {
            snprintf(why, sizeof(why), "not UTF-8 text");
            ok = false;
        } else if (scenario->lineCount == kMaxLines) {
            snprintf(why, sizeof(why), "more than %d steps", kMaxLines);
            ok = false;
        } else {
            ScenarioLine *parsed = &scenario->lines[scenario->lineCount];
            parsed->number = number;
            ok = parseLine(start, parsed, why, sizeof(why));
            scenario->lineCount++;
        }
        if (!ok)
            say(message, size, CONTROL_REFUSED, "%s:%d: %s", path, number, why);
    }
    free(text);
    if (ok && scenario->lineCount == 0) {
        say(message, size, CONTROL_REFUSED, "%s: no steps in it", path);
        ok = false;
    }
    if (!ok) {
        free(scenario);
        return NULL;
    }
    return scenario;
}

void scenarioFree(Scenario *scenario)
{
    free(scenario);
}

bool scenarioEnds(const Scenario *scenario)
{
    for (int i = 0; i < scenario->lineCount; i++)
        if (scenario->lines[i].count < 0)
            return false;
    return true;
}

int scenarioPlay(Scenario *scenario, volatile sig_atomic_t *stop, void (*progress)(const char *line, void *context),
                 void *context, bool *reset)
{
    long long start = monotonicMs();
    int failed = 0;
    // Played on this device: a reset or restore by anyone else makes it
    // another one, and the scenario stops.
    long generation = simGenerationRead();
    bool wasReset = false;
    for (int i = 0; i < scenario->lineCount; i++)
        scenario->lines[i].played = 0;
    while (stop == NULL || !*stop) {
        // The next step: the earliest due, in file order among equals.
        ScenarioLine *next = NULL;
        long due = 0;
        for (int i = 0; i < scenario->lineCount; i++) {
            ScenarioLine *line = &scenario->lines[i];
            if (line->count >= 0 && line->played >= line->count)
                continue;
            long at = line->atMs + line->played * line->stepMs;
            if (next == NULL || at < due) {
                next = line;
                due = at;
            }
        }
        if (next == NULL)
            break;
        long long wait = start + due - monotonicMs();
        if (wait > 0 && simGenerationRead() != generation) {
            wasReset = true;
            break;
        }
        if (wait > 0) {
            long slice = wait < kWaitSliceMs ? wait : kWaitSliceMs;
            struct timespec pause = {slice / 1000, (slice % 1000) * 1000000L};
            nanosleep(&pause, NULL);
            continue;
        }
        const char *argv[kMaxWords];
        char value[kMaxLineBytes];
        memset(value, 0, sizeof(value));
        occurrence(next, next->played, argv, value, sizeof(value));
        char message[512];
        memset(message, 0, sizeof(message));
        // The check and the step under one holding of the lock: no step
        // plays on a device reset after the check. A step's own reset
        // (the lock is re-entrant) is the device it goes on with.
        int rc = CONTROL_FAILED;
        if (simLockAcquire(message, sizeof(message)) == 0) {
            if (simGenerationRead() != generation) {
                simLockRelease();
                wasReset = true;
                break;
            }
            rc = deviceControl(next->wordCount, argv, message, sizeof(message));
            generation = simGenerationRead();
            simLockRelease();
        }
        next->played++;
        char command[256];
        commandText(argv, next->wordCount, command, sizeof(command));
        char line[2048];
        memset(line, 0, sizeof(line));
        if (rc == CONTROL_OK) {
            snprintf(line, sizeof(line), "%7.1f s  %s: %s", due / 1000.0, command, message);
        } else {
            failed++;
            snprintf(line, sizeof(line), "%7.1f s  %s: failed (%s:%d): %s", due / 1000.0, command, scenario->path,
                     next->number, message);
        }
        if (progress != NULL)
            progress(line, context);
    }
    if (reset != NULL)
        *reset = wasReset;
    return failed;
}

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
    char found[kMaxLines][kMaxEntryName + 1];
    int count = 0;
    struct dirent *entry;
    while (d != NULL && count < kMaxLines && (entry = readdir(d)) != NULL) {
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
