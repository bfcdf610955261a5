// A scenario file read into its steps: what the player plays and kal_sim
// checks (see scenario_parser.cpp for the file's form).
#pragma once

#include <stddef.h>

const int kScenarioMaxLines = 256;
const int kScenarioMaxWords = 8;
const size_t kScenarioMaxLineBytes = 1024;

struct ScenarioLine {
    int number;      // in the file
    bool repeat;
    long atMs;       // once: when; repeated: the first time
    long stepMs;
    long count;      // times it plays in all, or -1 for no end
    long played;
    int wordCount;
    int word[kScenarioMaxWords];        // offsets into store
    char store[kScenarioMaxLineBytes];  // the words, each NUL-terminated
    int varying;                        // index of the varying word, or -1
    bool range;                         // FROM..TO, else A|B|C
    long from, to;
    int alternatives;
};

struct Scenario {
    char path[512];
    int lineCount;
    ScenarioLine lines[kScenarioMaxLines];
};

// The words of the line's occurrence k; the varying value goes to value.
void scenarioOccurrence(const ScenarioLine *line, long k, const char *argv[kScenarioMaxWords], char *value,
                        size_t size);
