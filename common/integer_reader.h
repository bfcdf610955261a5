// The one integer reader of requests and state files.
#pragma once

#include <cjson/cJSON.h>

// How the one integer reader takes a value that is not a JSON number.
enum NonNumber {
    NON_NUMBER_REFUSED,   // not an integer at all
    NON_NUMBER_TRUE_ONE,  // true 1, any other value 0 (cJSON's valueint)
    NON_NUMBER_ZERO,      // 0, true included
};

// The one integer reader of requests and state files: a JSON number by its
// integer value (toward zero), anything else as nonNumber says, provided
// the value lies within [low, high]. The range is checked on the number
// itself, so nothing beyond an int saturates or wraps into range. False
// (and *value untouched) for a null item or a refused value.
bool readInteger(const cJSON *item, NonNumber nonNumber, long long low, long long high, int *value);
