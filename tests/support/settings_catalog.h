// Settings of every module that a test can change and read back, and a
// check that every state file of a simulated device still parses. Shared by
// the tests that cut the server or the disk short in the middle of changes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

// One setting: the requests that change it, and how to read it back as a
// text. Whatever cut a burst of changes short, the value read back must be
// the old one or one of those the burst wrote.
struct Setting {
    const char *name;
    std::vector<std::string> writes;
    std::vector<std::string> values;  // what each write reads back as
    const char *read;
    std::function<std::string(const cJSON *)> extract;
};

std::vector<Setting> deviceSettings();
// Changes that touch the other stores (SMS, profiles, update cache).
std::vector<std::string> otherChanges();

// Regular files under dir, sorted.
std::vector<std::string> filesUnder(const std::string &dir);
// Every state file under root parses in its own format and no setting file
// is empty; failures name the file and carry `label`.
void expectStateFilesParse(const std::string &root, const std::string &label);
