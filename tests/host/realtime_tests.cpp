// The host core in real-time use, as the play front end and an LV2 bridge's run() use it:
// after Open nothing on its processing path allocates, counted by the validator's
// allocation counter (which replaces the allocation functions of this test program).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "kvhost/host.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"

namespace {

using namespace kvhost;
namespace alloc = kvhost::validate::alloc;

std::shared_ptr<Plugin> TestPlugin(const std::string& name) {
    return Plugin::Load(std::string(KVHOST_TEST_PLUGINS) + "/" + name + ".so");
}

// Wired voices, a module that posts and schedules events and reports through
// HOST_PIN_AT_TIME, an output set at a time that crosses a wire, dormancy and wake-ups,
// events inside blocks and at their starts, a full queue.
TEST(HostRealTime, RunningWiredInstancesAllocatesNothingAfterOpen) {
    alloc::Install();
    const double rate = 48000.0;
    DspInstance keys(Plugin::Load("wy_VUDA2DU"), rate, 64),
        voice(Plugin::Load("ZOR Twin-Op"), rate, 64);
    DspInstance probe(TestPlugin("test_probe"), rate, 64);
    DspInstance up(TestPlugin("test_panel"), rate, 64), down(TestPlugin("test_panel"), rate, 64);
    keys.Connect(keys.DspPin("Pitch"), voice, voice.DspPin("OP1 Pitch"));
    keys.Connect(keys.DspPin("Gate"), voice, voice.DspPin("OP1 FB/Level"));
    up.Connect(up.DspPin("Report"), down, down.DspPin("Shared"));
    std::vector<DspInstance*> all = {&keys, &voice, &probe, &up, &down};
    for (DspInstance* d : all) {
        d->ReserveEvents(64);
        d->SetRealTime(true);
        d->Open();
    }
    const int32_t midi = keys.DspPin("MIDI In"), probe_midi = probe.DspPin("MIDI In");
    const int32_t delay = probe.DspPin("Delay"), level = probe.DspPin("Level");
    const int32_t shared = up.DspPin("Shared");

    alloc::ResetWindowCount();
    {
        alloc::Window counting;
        for (uint32_t b = 0; b < 400; ++b) {
            const uint32_t at = keys.Clock();
            keys.SendMidi(midi, at + b % 64, b % 2 == 0 ? 0x90 : 0x80,
                          static_cast<uint8_t>(40 + b % 30), 90);
            probe.SetValue(delay, b % 3 == 0 ? -2.0 : 7.0, at + 3);  // scheduled calls, late ones
            probe.SetConstant(0, static_cast<float>(b) * 0.01f, at + 17);
            probe.SetValue(level, 1.0 + b % 5, at);
            if (b % 7 == 0) probe.SendMidi(probe_midi, at + 20, 0x80, 1, 1);  // asleep
            if (b % 7 == 3) probe.SendMidi(probe_midi, at, 0xB0, 1, 1);       // awake again
            if (b % 5 == 0) probe.SendMidi(probe_midi, at + 1, 0xA0, 0, 0);   // a query
            up.SetValue(shared, b % 2 == 0 ? -3.0 : 0.25, at + 5);  // "Report" set at a time
            for (int k = 0; k < (b % 50 == 0 ? 80 : 0); ++k) {
                probe.SendMidi(probe_midi, at + 2, 0xB0, 2, 2);  // more than the queue holds
            }
            for (DspInstance* d : all) d->Run(64);
        }
        const uint32_t odd[] = {1, 63, 100, 7, 64};  // slices off the block boundaries
        for (uint32_t n : odd) {
            for (DspInstance* d : all) d->Run(n);
        }
    }
    EXPECT_EQ(alloc::WindowCount(), 0u);
    EXPECT_GT(probe.DroppedEvents(), 0u);
    EXPECT_GT(down.EventsDelivered(), 400u);  // the wired value arrived every block
    EXPECT_GT(voice.ProcessCalls(), 400u);
}

// The render front end: a patch running block by block under a MIDI file, with a voice
// group (chords spread over eight voices, one note stolen) and without.
TEST(HostRealTime, APatchRendersWithoutAllocating) {
    alloc::Install();
    for (const char* name : {"demo.json|melody.mid", "poly_chords.json|poly_chords.mid"}) {
        const std::string files = name;
        const std::string dir = std::string(KVHOST_EXAMPLES) + "/";
        Patch patch(LoadPatch(dir + files.substr(0, files.find('|'))));
        patch.SetMidi(ReadMidiFile(dir + files.substr(files.find('|') + 1), patch.SampleRate()));
        for (const std::string& module : patch.Order()) {
            for (int32_t k = 0; k < patch.Copies(module); ++k) {
                patch.Instance(module, k).SetRealTime(true);
            }
        }
        std::vector<float> out(4096 * static_cast<std::size_t>(patch.Channels()));
        alloc::ResetWindowCount();
        {
            alloc::Window counting;
            for (int i = 0; i < 200; ++i) {
                patch.Render(out.data(), 3000 + static_cast<uint32_t>(i));
            }
        }
        EXPECT_EQ(alloc::WindowCount(), 0u) << files;
        EXPECT_GT(patch.Clock(), 600000u) << files;
    }
}

}  // namespace
