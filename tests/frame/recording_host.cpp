// The recording host callback used by the frame tests.
#include "recording_host.h"

#include <cstring>

namespace {
// The record each frame object hands over carries the host reference at a known place.
RecordingHost* HostOf(void* record) {
    const auto* words = static_cast<const int32_t*>(record);
    if (words[0] == KV_DSP_MAGIC)
        return static_cast<RecordingHost*>(static_cast<KVHostRecord*>(record)->host_reference);
    return static_cast<RecordingHost*>(static_cast<KVGuiHostRecord*>(record)->host_reference);
}
}  // namespace

RecordingHost::RecordingHost() = default;
RecordingHost::~RecordingHost() = default;

intptr_t RecordingHost::Callback(void* record, int32_t opcode, int32_t index, int32_t value,
                                 void* ptr, float opt) {
    RecordingHost* host = HostOf(record);
    host->calls.push_back({record, opcode, index, value, ptr, opt});
    const bool gui = static_cast<const int32_t*>(record)[0] == KV_GUI_MAGIC;
    if (gui) {
        switch (opcode) {
            case GUIHOST_GET_TEXT:
                return reinterpret_cast<intptr_t>(host->text);
            case GUIHOST_GET_VALUE:
                std::memcpy(ptr, &host->value_answer, 4);
                return 0;
            case GUIHOST_GET_WTEXT:
                if (value == 0) return static_cast<intptr_t>(host->wide_text.size()) + 1;
                for (int32_t i = 0; i < value; ++i) {
                    const size_t k = static_cast<size_t>(i);
                    static_cast<char16_t*>(ptr)[i] = k < host->wide_text.size() ? host->wide_text[k] : u'\0';
                }
                return 0;
            default:
                return 0;
        }
    }
    switch (opcode) {
        case HOST_CLOCK:
            return host->clock;
        case HOST_PIN_COUNT:
            return host->pin_count;
        case HOST_PIN_BUFFER:
            return index >= 0 && index < 8 ? reinterpret_cast<intptr_t>(host->buffers[index]) : 0;
        case HOST_PIN_BLOCK_START:
            return host->block_start;
        case HOST_POST_EVENT:
            host->posted.push_back(*static_cast<KVTimedEvent*>(ptr));
            return 0;
        default:
            return 0;
    }
}

std::vector<HostCall> RecordingHost::CallsWith(int32_t opcode) const {
    std::vector<HostCall> out;
    for (const HostCall& c : calls)
        if (c.opcode == opcode) out.push_back(c);
    return out;
}
