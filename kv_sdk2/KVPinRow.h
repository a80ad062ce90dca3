// One row of a module's pin table, written as the user sees the pin, and the description
// DescribePin gives for it.
#pragma once

#include <cstdint>

#include "kv_abi.h"

struct KVPinRow {
    const char* name;
    int32_t direction;
    int32_t datatype;
    const char* default_value;  // volts for DT_FSAMPLE, or null
    const char* choices;        // DT_CHOICE list, or null
    int32_t flags;
};

// Writes `row`, bound to `variable` (or null), into a description record.
inline void KVDescribe(const KVPinRow& row, void* variable, KVPinProperties* properties) {
    properties->variable = variable;
    properties->direction = row.direction;
    properties->datatype = row.datatype;
    properties->name = row.name;
    properties->default_value = row.default_value;
    properties->choices = row.choices;
    properties->flags = row.flags;
}
