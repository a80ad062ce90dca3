// The host's DSP side against the test_probe plug-in: loading, pin counting, defaults, event
// order and slicing, scheduled calls, MIDI, process switching and dormancy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "error_text.h"
#include "kvhost/host.h"

namespace {

using kvhost::DspInstance;
using kvhost::Plugin;

std::string TestPlugin(const std::string& name) {
    return std::string(KVHOST_TEST_PLUGINS) + "/" + name + ".so";
}

std::shared_ptr<Plugin> Probe(const char* name = "test_probe") {
    return Plugin::Load(TestPlugin(name));
}

struct Obs {
    int32_t what, value;
    uint32_t clock;
    bool operator==(const Obs& o) const {
        return what == o.what && value == o.value && clock == o.clock;
    }
};

// The probe's observations with the given codes, in order.
std::vector<Obs> Observed(const DspInstance& d, std::initializer_list<int32_t> codes) {
    std::vector<Obs> out;
    for (const auto& r : d.PinAtTimes()) {
        for (int32_t c : codes) {
            if (r.pin == c) out.push_back({r.pin, r.value, r.clock});
        }
    }
    return out;
}

TEST(HostLoad, BadFilesGetOneClearMessageEach) {
    const std::string missing = TestPlugin("no_such_plugin");
    EXPECT_EQ(MessageOf([&] { Plugin::Load(missing); }), missing + ": no such file");

    const std::string text = ::testing::TempDir() + "/not_a_library.so";
    std::ofstream(text) << "just text\n";
    EXPECT_EQ(MessageOf([&] { Plugin::Load(text); }),
              text + ": not a shared library (no ELF header)");

    const std::string noentry = TestPlugin("test_noentry");
    EXPECT_EQ(MessageOf([&] { Plugin::Load(noentry); }),
              noentry +
                  ": not a Kolvex plug-in (does not export getModuleProperties and "
                  "makeModule)");

    const std::string by_name = MessageOf([] { Plugin::Load("No Such Module"); });
    EXPECT_NE(by_name.find("no plug-in named \"No Such Module\" on the plug-in search path ("),
              std::string::npos);
}

TEST(HostDsp, PinCountFollowsTheFrameRevision) {
    DspInstance current(Probe());
    EXPECT_EQ(current.Pins().size(), 8u);
    EXPECT_EQ(current.PinCount(), 7);  // the GUI-only "Panel" gets no DSP pin
    EXPECT_EQ(current.DspPin("Out"), 3);
    EXPECT_EQ(current.Pins()[3].dsp_index, -1);
    EXPECT_NE(MessageOf([&] { current.DspPin("Panel"); }).find("GUI side only"), std::string::npos);
    EXPECT_EQ(MessageOf([&] { current.DspPin("Nope"); }), "\"test_probe\" has no pin \"Nope\"");

    DspInstance older(Probe("test_probe_2120"));
    EXPECT_EQ(older.GetPlugin()->Revision(), 2120);
    EXPECT_EQ(older.PinCount(), 8);  // every description
    EXPECT_EQ(older.DspPin("Out"), 4);
    older.Open();
    older.Run(4);
    // The older frame sees "Out" at position 4 and computes the same signal.
    EXPECT_EQ(older.Output("Out")[3], 0.2f + (1.5f + 7.0f));
}

TEST(HostDsp, DefaultsAndInitialStatusesReachTheModuleBeforeItsFirstBlock) {
    DspInstance d(Probe(), 48000.0, 64);
    d.Open();
    d.Run(64);
    // Every input, in pin order, as a step at clock 0, each value already in place.
    const auto seen = Observed(d, {600, 100, 200, 201, 202, 203, 500});
    const std::vector<Obs> expected = {
        {600, 0, 0},  {100, PS_STEP, 0}, {200, 200, 0},  // "In": 2 V -> 0.2
        {600, 1, 0},  {100, PS_STEP, 0}, {201, 150, 0},  // "Level" 1.5
        {600, 2, 0},  {100, PS_STEP, 0}, {202, 7, 0},    // "Mode" 7
        {600, 5, 0},  {100, PS_STEP, 0},                 // "MIDI In"
        {600, 6, 0},  {100, PS_STEP, 0}, {203, 0, 0},    // "Delay"
        {500, 64, 0},                                    // then the first block
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(d.Output("Out")[63], 0.2f + (1.5f + 7.0f));
}

TEST(HostDsp, BlocksAreCutAtEventsDeliveredInTimeThenPostingOrder) {
    DspInstance d(Probe(), 44100.0, 64);
    d.Open();
    d.SetValue("Mode", 3, 10);
    d.SetValue("Level", 2.0, 10);
    d.SetConstant("In", 0.5f, 10);
    d.SetValue("Level", 4.0, 70);
    d.SetValue("Delay", 5, 20);  // schedules a call for 25
    d.SetValue("Level", 8.0, 25);
    d.Run(128);

    // Slices: 0-10, 10-20, 20-25, 25-64, 64-70, 70-128.
    std::vector<int32_t> counts;
    for (const auto& o : Observed(d, {500})) counts.push_back(o.value);
    EXPECT_EQ(counts, (std::vector<int32_t>{10, 10, 5, 39, 6, 58}));
    EXPECT_EQ(d.ProcessCalls(), 6u);

    // At clock 10 in posting order; at 25 the user's change (posted first) before the call
    // the module scheduled at 20.
    const auto at10 = Observed(d, {600});
    ASSERT_GE(at10.size(), 9u);
    EXPECT_EQ(at10[5], (Obs{600, 2, 10}));
    EXPECT_EQ(at10[6], (Obs{600, 1, 10}));
    EXPECT_EQ(at10[7], (Obs{600, 0, 10}));
    const auto late = Observed(d, {201, 400});
    ASSERT_EQ(late.size(), 5u);
    EXPECT_EQ(late[2], (Obs{201, 800, 25}));
    EXPECT_EQ(late[3], (Obs{400, 0, 25}));  // the scheduled call, HOST_CLOCK == its stamp
    EXPECT_EQ(late[4], (Obs{201, 400, 70}));

    // Each slice ran with HOST_CLOCK at its first sample and wrote at the right offsets.
    const auto& trace = d.Output("Trace");
    const auto& out = d.Output("Out");
    ASSERT_EQ(trace.size(), 128u);
    EXPECT_EQ(trace[9], 0.0f);
    EXPECT_EQ(trace[10], 10.0f);
    EXPECT_EQ(trace[24], 20.0f);
    EXPECT_EQ(trace[25], 25.0f);
    EXPECT_EQ(trace[64], 64.0f);
    EXPECT_EQ(trace[127], 70.0f);
    EXPECT_EQ(out[9], 0.2f + (1.5f + 7.0f));
    EXPECT_EQ(out[10], 0.5f + (2.0f + 3.0f));
    EXPECT_EQ(out[25], 0.5f + (8.0f + 3.0f));
    EXPECT_EQ(out[70], 0.5f + (4.0f + 3.0f));

    EXPECT_NE(MessageOf([&] { d.SetValue("Level", 1.0, 100); }).find("lies before"),
              std::string::npos);
}

TEST(HostDsp, MidiProcessSwitchingAndDormancy) {
    DspInstance d(Probe(), 44100.0, 64);
    d.Open();
    d.SendMidi("MIDI In", 100, 0x90, 60, 100);
    d.SendMidi("MIDI In", 130, 0x80, 60, 0);
    d.Run(300);
    const auto midi = Observed(d, {300});
    ASSERT_EQ(midi.size(), 2u);
    EXPECT_EQ(midi[0], (Obs{300, 0x90 | 60 << 8 | 100 << 16, 100}));
    ASSERT_EQ(d.Statuses().size(), 1u);
    EXPECT_EQ(d.Statuses()[0].pin, 3);
    EXPECT_EQ(d.Statuses()[0].clock, 100u);
    EXPECT_EQ(d.Statuses()[0].status, PS_STEP);

    // The note-on switched the process function at once; the note-off put the module to
    // sleep at the end of the slice 130-192, and nothing ran after that.
    const auto& out = d.Output("Out");
    EXPECT_EQ(out[99], 0.2f + 8.5f);
    EXPECT_EQ(out[100], -1.0f);
    EXPECT_EQ(d.DormantRequests(), (std::vector<uint32_t>{130}));
    EXPECT_TRUE(d.IsDormant());
    const std::size_t calls = d.ProcessCalls();
    EXPECT_EQ(calls, 5u);  // 0-64, 64-100, 100-128, 128-130, 130-192
    for (uint32_t c = 192; c < 300; ++c) ASSERT_EQ(out[c], -1.0f) << c;

    // An event wakes it; it runs from that very sample on.
    d.SendMidi("MIDI In", 310, 0xB0, 1, 2);
    d.Run(20);
    EXPECT_FALSE(d.IsDormant());
    EXPECT_EQ(d.Output("Out")[309], -1.0f);
    EXPECT_EQ(d.Output("Out")[310], 0.2f + 8.5f);
    EXPECT_EQ(d.ProcessCalls(), calls + 1);
    EXPECT_EQ(d.Output("Trace")[310], 310.0f);
}

TEST(HostDsp, AnEventPostedInsideTheRunningSliceComesAtItsEndWithItsStampMoved) {
    DspInstance d(Probe(), 44100.0, 64);
    d.Open();
    d.SetValue("Delay", -1, 0);  // the first block asks for a tick at 0 + 64 / 2
    d.Run(128);
    // The host cannot go back: the tick runs at 64, where HOST_CLOCK equals its stamp (the
    // frame's debug check would stop the run otherwise), and is counted as late.
    EXPECT_EQ(Observed(d, {400}), (std::vector<Obs>{{400, 0, 64}}));
    EXPECT_EQ(d.LateEvents(), 1u);
}

// Whole blocks with nothing queued take a short path when nothing is recorded. The same
// session, run once recording (always the slice loop) and once not, must look the same to
// the module and to the user: what it saw, when it slept and woke, and every block's output.
TEST(HostDsp, TheShortPathForQuietBlocksChangesNothingTheModuleOrUserSees) {
    struct Seen {
        std::vector<std::vector<float>> blocks;
        std::vector<uint32_t> clocks;
        std::vector<DspInstance::PinAtTimeRecord> observed;
        std::size_t calls, late;
        std::vector<uint32_t> dormant;
    };
    auto session = [](bool recording) {
        std::vector<float> wire(64, 0.0f);  // another module's output, new every block
        DspInstance d(Probe(), 44100.0, 64);
        d.SetRecording(recording);
        d.Open();
        Seen seen;
        const int32_t out = d.DspPin("Out");
        auto run = [&](uint32_t n, int times = 1) {
            for (int k = 0; k < times; ++k) {
                std::fill(wire.begin(), wire.end(), 0.25f * static_cast<float>(k + 1));
                d.Run(n);
                seen.blocks.emplace_back(d.Buffer(out), d.Buffer(out) + 64);
                seen.clocks.push_back(d.Clock());
            }
        };
        run(64, 3);
        d.SetValue("Level", 3.0, d.Clock() + 10);
        run(64, 2);
        d.SetValue("Delay", -3, d.Clock());  // the third call from now posts inside its slice
        run(64, 5);
        run(10);  // off the block boundary, then back onto it
        run(54);
        run(64, 2);
        d.SendMidi("MIDI In", d.Clock(), 0x80, 60, 3);  // asleep after the third call
        run(64, 5);
        d.SendMidi("MIDI In", d.Clock() + 5, 0xB0, 1, 2);  // wakes it
        run(64, 3);
        d.ConnectBuffer(d.DspPin("In"), wire.data());
        run(64, 3);
        seen.observed = d.PinAtTimes();
        seen.calls = d.ProcessCalls();
        seen.late = d.LateEvents();
        seen.dormant = d.DormantRequests();
        return seen;
    };
    const Seen slices = session(true), quiet = session(false);
    EXPECT_EQ(quiet.blocks, slices.blocks);
    EXPECT_EQ(quiet.clocks, slices.clocks);
    ASSERT_EQ(quiet.observed.size(), slices.observed.size());
    for (std::size_t i = 0; i < quiet.observed.size(); ++i) {
        const auto &a = quiet.observed[i], &b = slices.observed[i];
        ASSERT_TRUE(a.pin == b.pin && a.value == b.value && a.clock == b.clock) << i;
    }
    EXPECT_EQ(quiet.calls, slices.calls);
    EXPECT_EQ(quiet.late, 1u);
    EXPECT_EQ(slices.late, 1u);
    EXPECT_EQ(quiet.dormant, slices.dormant);
    ASSERT_EQ(quiet.dormant.size(), 1u);
    EXPECT_EQ(quiet.blocks.back()[0], 0.75f + (3.0f + 7.0f));  // the wire reached "In"
}

// A failure inside a callback during a short-path block is raised by that Run.
TEST(HostDsp, AFailureDuringAQuietBlockIsRaisedByItsRun) {
    DspInstance d(Probe(), 44100.0, 64);
    d.SetRecording(false);
    d.SetStatusListener(
        [](const DspInstance::StatusRecord&) { throw std::runtime_error("the listener gave up"); });
    d.Open();
    d.SetValue("Delay", -4, 0);
    d.Run(64);
    d.Run(64);
    d.Run(64);
    EXPECT_EQ(MessageOf([&] { d.Run(64); }), "the listener gave up");
    EXPECT_EQ(d.ProcessCalls(), 4u);
}

TEST(HostDsp, StreamsFollowTheirFunctionSampleBySample) {
    DspInstance d(Probe(), 44100.0, 32);
    d.Open();
    d.SetStream(
        "In", [](uint32_t c) { return static_cast<float>(c) * 0.25f; }, 40);
    d.Run(100);
    const auto& out = d.Output("Out");
    EXPECT_EQ(out[39], 0.2f + 8.5f);
    for (uint32_t c = 40; c < 100; ++c) ASSERT_EQ(out[c], static_cast<float>(c) * 0.25f + 8.5f);
    const auto status = Observed(d, {100});
    EXPECT_EQ(status.back(), (Obs{100, PS_STREAM, 40}));
    // CurrentSample at the switch already reads the stream.
    EXPECT_EQ(Observed(d, {200}).back(), (Obs{200, 10000, 40}));
}

// A sample input's value keeps the status it is given; a fed input takes the caller's
// samples from where the block stands, the host no longer filling it.
TEST(HostDsp, SampleInputsTakeStatusesAndSamplesFromTheCaller) {
    DspInstance d(Probe(), 44100.0, 32);
    const int32_t in = d.DspPin("In");
    d.Open();
    d.SetValue(in, 0.5, 10, PS_STILL);
    d.Run(20);
    EXPECT_EQ(Observed(d, {100}).back(), (Obs{100, PS_STILL, 10}));
    EXPECT_EQ(d.Output("Out")[15], 0.5f + 8.5f);
    float* fed = d.FeedInput(in);
    d.PostStatus(in, PS_STREAM, 20);
    for (uint32_t c = 20; c < 40; ++c) fed[c % 32] = static_cast<float>(c);
    d.Run(12);  // the rest of the first block
    d.Run(8);   // the start of the next one
    const auto& out = d.Output("Out");
    for (uint32_t c = 20; c < 40; ++c) ASSERT_EQ(out[c], static_cast<float>(c) + 8.5f) << c;
    EXPECT_EQ(Observed(d, {100}).back(), (Obs{100, PS_STREAM, 20}));
}

// Values written into bound members are limited to the member's range; NaN gives 0.
TEST(HostDsp, ValuesOutsideAMembersRangeAreLimitedAndNaNIsZero) {
    DspInstance d(Probe(), 44100.0, 64);
    d.Open();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    d.SetValue("Mode", nan, 1);
    d.SetValue("Mode", 1e9, 2);
    d.SetValue("Mode", -inf, 3);
    d.SetValue("Delay", nan, 4);
    d.SetValue("Delay", inf, 5);
    d.SetValue("Delay", -1e300, 6);
    d.Run(64);
    const auto modes = Observed(d, {202}), delays = Observed(d, {203});
    EXPECT_EQ(modes,
              (std::vector<Obs>{{202, 7, 0}, {202, 0, 1}, {202, 32767, 2}, {202, -32768, 3}}));
    EXPECT_EQ(delays, (std::vector<Obs>{{203, 0, 0},
                                        {203, 0, 4},
                                        {203, std::numeric_limits<int32_t>::max(), 5},
                                        {203, std::numeric_limits<int32_t>::min(), 6}}));
}

// HOST_PIN_QUERY answers whether the host gives an input anything: a value, a stream, a wire
// or MIDI. A stream given before Open is the input's starting source: one initial status,
// PS_STREAM, and no PS_STEP before it.
TEST(HostDsp, PinQueryAndAStreamFromTheStart) {
    DspInstance d(Probe(), 44100.0, 64);
    d.SetStream(
        "In", [](uint32_t c) { return static_cast<float>(c) * 0.5f; }, 0);
    d.Open();
    const int32_t level = d.DspPin("Level"), midi = d.DspPin("MIDI In");
    auto ask = [&](int32_t pin, uint32_t at) {
        d.SendMidi(midi, at, 0xA0, static_cast<uint8_t>(pin), 0);
    };
    ask(level, 1);
    ask(midi, 2);  // asking is MIDI on "MIDI In" itself
    ask(0, 3);
    d.SetValue(level, 2.0, 4);
    ask(level, 5);
    d.Run(8);
    EXPECT_EQ(Observed(d, {700}),
              (std::vector<Obs>{{700, 0, 1}, {700, 1, 2}, {700, 1, 3}, {700, 1, 5}}));
    const auto in = Observed(d, {100, 200});
    ASSERT_GE(in.size(), 2u);
    EXPECT_EQ(in[0], (Obs{100, PS_STREAM, 0}));
    EXPECT_EQ(in[1], (Obs{200, 0, 0}));
    EXPECT_EQ(d.Output("Out")[6], 3.0f + (2.0f + 7.0f));
}

TEST(HostDsp, RealTimeUseDropsWhatAFullQueueCannotHoldAndCountsIt) {
    DspInstance d(Probe(), 44100.0, 64);
    d.ReserveEvents(4);
    d.SetRealTime(true);
    d.Open();  // four initial statuses (five inputs): one dropped
    EXPECT_EQ(d.DroppedEvents(), 1u);
    d.Run(64);
    for (uint32_t k = 0; k < 6; ++k) d.SendMidi("MIDI In", 70, 0xB0, 1, 2);
    EXPECT_EQ(d.QueuedEvents(), 4u);
    EXPECT_EQ(d.DroppedEvents(), 3u);
    d.Run(64);
    EXPECT_EQ(d.EventsDelivered(), 8u);
    EXPECT_TRUE(d.Output("Out").empty());  // nothing recorded
    EXPECT_TRUE(d.PinAtTimes().empty());   // nor logged
}

}  // namespace

namespace {

TEST(HostPins, ChoiceListsInAllThreeForms) {
    const auto pairs = kvhost::ParseChoices("On=1,Off=0");
    EXPECT_EQ(pairs.Find("Off"), 0);
    EXPECT_EQ(pairs.Find("1"), 1);
    EXPECT_EQ(pairs.Find("2"), std::nullopt);  // not a value of the list
    const auto plain = kvhost::ParseChoices("All,1,2,3");
    EXPECT_EQ(plain.Find("All"), 0);
    EXPECT_EQ(plain.Find("1"), 1);  // the label "1" stands at position 1
    EXPECT_EQ(plain.Find("3"), 3);
    const auto range = kvhost::ParseChoices("range 0,12");
    EXPECT_TRUE(range.is_range);
    EXPECT_EQ(range.Find("12"), 12);
    EXPECT_EQ(range.Find("13"), std::nullopt);
    const auto arrows = kvhost::ParseChoices("1->1=0,2->1=1,Test=3");
    EXPECT_EQ(arrows.Find("2->1"), 1);
    EXPECT_EQ(arrows.Find("Test"), 3);
}

}  // namespace
