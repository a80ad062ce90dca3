// A host callback that records every request a frame object makes and answers the few
// that need an answer (clock, pin count, buffers, block start) from settable values.
#pragma once

#include <cstdint>
#include <vector>

#include "kv_abi.h"

struct HostCall {
    void* record;
    int32_t opcode;
    int32_t index;
    int32_t value;
    void* ptr;
    float opt;
};

class RecordingHost {
  public:
    RecordingHost();
    ~RecordingHost();

    // The callback to hand to makeModule; the host reference selects this object.
    static intptr_t Callback(void* record, int32_t opcode, int32_t index, int32_t value, void* ptr,
                             float opt);
    void* Reference() { return this; }

    std::vector<HostCall> CallsWith(int32_t opcode) const;
    void Clear() { calls.clear(); posted.clear(); }

    // Answers.
    uint32_t clock = 0;
    int32_t pin_count = 0;
    uint32_t block_start = 0;
    float buffers[8][64] = {};
    const char* text = "";
    std::vector<char16_t> wide_text;
    int32_t value_answer = 0;

    std::vector<HostCall> calls;
    std::vector<KVTimedEvent> posted;
};
