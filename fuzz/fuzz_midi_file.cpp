// Fuzz target for the host's MIDI-file reader: any bytes are read into a sequence or refused
// with kvhost::Error; a sequence must be in time order and end no earlier than its last event.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kvhost/host.h"
#include "kvhost/midi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    for (double rate : {44100.0, 12345.678}) {
        try {
            const kvhost::MidiSequence seq = kvhost::ParseMidi(bytes, rate, "fuzz.mid");
            for (size_t i = 1; i < seq.events.size(); ++i) {
                if (seq.events[i].sample < seq.events[i - 1].sample) {
                    std::fprintf(stderr, "events out of time order at %zu\n", i);
                    std::abort();
                }
            }
            if (!seq.events.empty() && seq.end_sample < seq.events.back().sample) {
                std::fprintf(stderr, "end %u before the last event %u\n", seq.end_sample,
                             seq.events.back().sample);
                std::abort();
            }
        } catch (const kvhost::Error&) {
        }
    }
    return 0;
}
