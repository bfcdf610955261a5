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

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/text.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/controls/scenario_parser.h"
#include "sim/sim_files.h"

namespace {

const size_t kMaxFileBytes = 64 * 1024;
const long kMaxTimeMs = 24L * 3600 * 1000;
const long kMinStepMs = 50;
const long kMaxRangeValue = 1000000;

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
const char *splitWords(const char *text, ScenarioLine *line, bool quoted[kScenarioMaxWords])
{
    size_t out = 0;
    const char *p = text;
    line->wordCount = 0;
    while (true) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (*p == '\0')
            return NULL;
        if (line->wordCount == kScenarioMaxWords)
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
bool findVarying(ScenarioLine *line, int first, const bool quoted[kScenarioMaxWords], char *why, size_t size)
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
            char value[kScenarioMaxLineBytes];
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
    bool quoted[kScenarioMaxWords];
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
        const char *argv[kScenarioMaxWords];
        char value[kScenarioMaxLineBytes];
        memset(value, 0, sizeof(value));
        long n = line->range && k == 1 ? labs(line->to - line->from) : k;
        scenarioOccurrence(line, n, argv, value, sizeof(value));
        char message[512];
        memset(message, 0, sizeof(message));
        if (deviceControlCheck(line->wordCount, argv, message, sizeof(message)) != CONTROL_OK) {
            snprintf(why, size, "%s", message);
            return false;
        }
    }
    return true;
}

}  // namespace

// The words of the line's occurrence k; the varying value goes to value.
void scenarioOccurrence(const ScenarioLine *line, long k, const char *argv[kScenarioMaxWords], char *value,
                        size_t size)
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
        if (strlen(start) >= kScenarioMaxLineBytes) {
            snprintf(why, sizeof(why), "the line is longer than %zu bytes", kScenarioMaxLineBytes - 1);
            ok = false;
        } else if (!cleanUtf8(start, true)) {
            snprintf(why, sizeof(why), "not UTF-8 text");
            ok = false;
        } else if (scenario->lineCount == kScenarioMaxLines) {
            snprintf(why, sizeof(why), "more than %d steps", kScenarioMaxLines);
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

