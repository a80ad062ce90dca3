// One row of a module's pin table, written as the user sees the pin, and the description
// DescribePin gives for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "KVLinkage.h"
#include "kv_abi.h"

KV_FRAME_BEGIN

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

// DescribePin over a whole table: row `index` bound to variables[index]. False for an index
// outside the table or a null record. The table and its variables come in equal numbers.
template <std::size_t N>
bool KVDescribe(const KVPinRow (&rows)[N], void* const (&variables)[N], int32_t index,
                KVPinProperties* properties) {
    if (index < 0 || static_cast<std::size_t>(index) >= N || properties == nullptr) return false;
    KVDescribe(rows[index], variables[index], properties);
    return true;
}

// The same for a table whose pins bind no member.
template <std::size_t N>
bool KVDescribe(const KVPinRow (&rows)[N], int32_t index, KVPinProperties* properties) {
    static void* const kUnbound[N] = {};
    return KVDescribe(rows, kUnbound, index, properties);
}

KV_FRAME_END
