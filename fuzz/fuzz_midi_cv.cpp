// Fuzz target for the MIDI-to-CV converter: an arbitrary message stream at arbitrary clocks,
// with the channel, bend range and retrigger pins changed in between, two instances alike.
// Input: a block-size byte, then records [delay][status][d1][d2]; status bytes 0xF4 and
// 0xF5 (undefined in MIDI) set pin d1 to a value chosen by d2 instead.
#include <cstdint>

#include "fuzz_input.h"

using namespace kvhost::validate;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int32_t kBlocks[] = {1, 10, 17, 64, 1024};
    kvfuzz::Input in(data, size);
    const int32_t block = kBlocks[in.Byte() % 5];
    Findings findings;
    {
        StrictDsp a(kvfuzz::Linked(), findings, 44100.0, block);
        StrictDsp b(kvfuzz::Linked(), findings, 44100.0, block);
        if (!a.Create() || !b.Create()) std::abort();
        int32_t midi = -1;
        std::vector<int32_t> settings;
        for (int32_t pin : a.Inputs()) {
            if (a.Describe(pin).datatype == DT_MIDI_STREAM) {
                midi = pin;
            } else {
                settings.push_back(pin);
            }
        }
        if (midi < 0) std::abort();
        a.Open();
        b.Open();
        Randomness values(0);
        for (int32_t steps = 0; !in.Empty() && steps < 256; ++steps) {
            const uint32_t delay = in.Byte();
            const uint8_t status = in.Byte(), d1 = in.Byte(), d2 = in.Byte();
            const uint32_t at = a.Clock() + delay % 64;
            if ((status == 0xF4 || status == 0xF5) && !settings.empty()) {
                const int32_t pin = settings[d1 % settings.size()];
                static const double kValues[] = {0,  1,  2,  3,     12,     16,
                                                 17, -1, 13, 32767, -32768, 100};
                const double v = kValues[d2 % std::size(kValues)];
                a.SetValue(pin, v, at);
                b.SetValue(pin, v, at);
            } else {
                const int32_t msg = status | (d1 << 8) | (d2 << 16);
                a.SendMidi(midi, at, msg, 0);
                b.SendMidi(midi, at, msg, 0);
            }
            if (delay >= 64) {  // let time pass: the converter may settle and go dormant
                const uint32_t run = at - a.Clock() + (delay - 64);
                a.Run(run);
                b.Run(run);
            }
        }
        a.Run(static_cast<uint32_t>(3 * block + 64));
        b.Run(static_cast<uint32_t>(3 * block + 64));
        if (a.FirstDifference(b) >= 0 || a.StatusHash() != b.StatusHash()) {
            findings.Fail("same inputs, same outputs", "two instances differ");
        }
    }
    kvfuzz::StopOnFindings(findings, "midi to cv");
    return 0;
}
