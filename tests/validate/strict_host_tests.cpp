// The validator's strict mode is the host core with watchers: a module sees the same host
// under validation as under render, in both frame revisions (pin numbering, initial
// statuses of every input, HOST_PIN_QUERY, values limited into their members, outputs held
// while dormant), and so does a GUI side (defaults of sample pins, wide texts).
#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <vector>

#include "strict_host.h"

namespace {

using namespace kvhost;
using kvhost::validate::Findings;
using kvhost::validate::StrictDsp;
using kvhost::validate::StrictGui;

std::shared_ptr<Plugin> TestPlugin(const std::string& name) {
    return Plugin::Load(std::string(KVHOST_TEST_PLUGINS) + "/" + name + ".so");
}

struct Seen {
    int32_t pins;
    std::vector<std::vector<int32_t>> observed;  // test_probe's reports: code, value, clock
    std::vector<float> out, trace;
    std::vector<uint32_t> dormant;
};

// One session of test_probe, through any instance of the core.
Seen Session(DspInstance& d) {
    d.SetRecording(true);
    d.SetLogging(true);
    d.SetStream(
        "In", [](uint32_t c) { return static_cast<float>(c % 7); }, 0);
    d.Open();
    const int32_t midi = d.DspPin("MIDI In");
    auto query = [&](const char* pin, uint32_t at) {
        d.SendMidi(midi, at, 0xA0, static_cast<uint8_t>(d.DspPin(pin)), 0);
    };
    query("Level", 1);
    query("MIDI In", 2);
    d.SetValue("Mode", std::numeric_limits<double>::quiet_NaN(), 3);
    d.SetValue("Delay", 1e12, 4);
    d.SetValue("Level", 2.0, 5);
    query("Level", 6);
    d.SendMidi(midi, 10, 0x90, 60, 100);  // "Out" turns to -1
    d.SendMidi(midi, 40, 0x80, 60, 3);    // asleep after the third call from here: 100-128
    query("Level", 100);                  // cuts the block at 100
    d.Run(300);
    d.SendMidi(midi, 310, 0xB0, 1, 2);  // awake
    d.Run(50);
    Seen seen{d.PinCount(), {}, d.Output("Out"), d.Output("Trace"), d.DormantRequests()};
    for (const auto& r : d.PinAtTimes()) {
        seen.observed.push_back({r.pin, r.value, static_cast<int32_t>(r.clock)});
    }
    return seen;
}

TEST(StrictMode, AModuleSeesTheHostItIsRenderedWithInBothFrameRevisions) {
    for (const char* name : {"test_probe", "test_probe_2120"}) {
        SCOPED_TRACE(name);
        DspInstance plain(TestPlugin(name), 44100.0, 64);
        const Seen rendered = Session(plain);

        Findings findings;
        StrictDsp strict(TestPlugin(name), findings, 44100.0, 64);
        ASSERT_TRUE(strict.Create());
        const Seen validated = Session(strict.Core());

        EXPECT_EQ(validated.pins, rendered.pins);
        EXPECT_EQ(validated.observed, rendered.observed);
        EXPECT_EQ(validated.out, rendered.out);
        EXPECT_EQ(validated.trace, rendered.trace);
        EXPECT_EQ(validated.dormant, rendered.dormant);
        // The probe reports through HOST_PIN_AT_TIME on pins it does not have: that is all
        // the strict mode finds.
        for (const auto& item : findings.Items()) {
            if (item.failure) {
                EXPECT_EQ(item.check, "host requests");
            }
        }

        const bool older = std::string(name) == "test_probe_2120";
        EXPECT_EQ(validated.pins, older ? 8 : 7);  // the older frame counts "Panel" too
        const int32_t midi_pin = older ? 6 : 5;
        auto has = [&](std::vector<int32_t> o) {
            for (const auto& r : validated.observed) {
                if (r == o) return true;
            }
            return false;
        };
        EXPECT_TRUE(has({600, midi_pin, 0}));   // the MIDI input's initial status
        EXPECT_TRUE(has({100, PS_STREAM, 0}));  // "In" streams from the start
        EXPECT_TRUE(has({700, 0, 1}));          // "Level" not given anything yet
        EXPECT_TRUE(has({700, 1, 2}));          // "MIDI In" given MIDI
        EXPECT_TRUE(has({700, 1, 6}));          // "Level" given a value
        EXPECT_TRUE(has({202, 0, 3}));          // NaN into a 16-bit member: 0
        EXPECT_TRUE(has({203, std::numeric_limits<int32_t>::max(), 4}));
        ASSERT_EQ(validated.out.size(), 350u);
        for (uint32_t c = 10; c < 310; ++c) ASSERT_EQ(validated.out[c], -1.0f) << c;
        // Asleep after the slice 100-128: "Trace" (the clock of each slice's start) holds
        // the last value written, 100, until the wake-up at 310.
        ASSERT_EQ(validated.dormant, (std::vector<uint32_t>{100}));
        EXPECT_EQ(validated.trace[99], 64.0f);
        for (uint32_t c = 100; c < 310; ++c) ASSERT_EQ(validated.trace[c], 100.0f) << c;
        EXPECT_EQ(validated.trace[310], 310.0f);
    }
}

TEST(StrictMode, AGuiSideSeesTheValuesItIsRenderedWith) {
    const auto panel = TestPlugin("test_panel");
    std::vector<PinInfo> pins;
    {
        DspInstance dsp(panel);
        pins = dsp.Pins();
    }
    Findings findings;
    StrictGui gui(panel, findings, pins);
    ASSERT_TRUE(gui.Create());
    gui.Init(false);
    GuiInstance& core = gui.Core();
    EXPECT_EQ(core.Float("Volts"), 0.5f);  // "5" V on a sample pin
    gui.Dispatch(GUI_OP11, core.PinIndex("Wide"));
    EXPECT_EQ(core.Text("Text"), "e4 20ac d83d de00");  // UTF-8 decoded into UTF-16
    EXPECT_FALSE(findings.Failed());
}

}  // namespace
