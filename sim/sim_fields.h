// Members of a component's state record, listed once in a table that both
// loading and saving use: sim/sim_kv.h for "name=value" files, sim/sim_json.h
// for JSON ones.
#pragma once

#include <stddef.h>

enum SimFieldType {
    SIM_FIELD_INT,      // int
    SIM_FIELD_UINT,     // unsigned int, read as an int (JSON)
    SIM_FIELD_BYTE,     // uint8_t, read as an int and cut to its low byte (JSON)
    SIM_FIELD_BOOL,     // bool (JSON)
    SIM_FIELD_FLAG,     // int 0 or 1: any non-zero number reads as 1 (name=value)
    SIM_FIELD_LLONG,    // long long (name=value)
    SIM_FIELD_DOUBLE,   // double, written with every bit kept (name=value)
    SIM_FIELD_SECONDS,  // double, written to the microsecond (name=value)
    SIM_FIELD_TEXT,     // char[size], which need not be terminated
};

struct SimField {
    const char *name;
    SimFieldType type;
    size_t offset;  // of the member in the record
    size_t size;    // of a text member
};

#define SIM_FIELDS(table) (table), sizeof(table) / sizeof((table)[0])
