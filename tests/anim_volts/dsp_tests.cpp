// The animation-volts converter's audio side alone, driven by the host: its ticks, the four
// sampling methods, the values it reports, "Volts Out" and going dormant.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "anim_volts_test_util.h"

namespace anim_volts_test {
namespace {

using kvhost::DspInstance;

constexpr uint32_t kFirstTick = 2048;  // two blocks after an open at clock 0

// Ticks follow the sample rate and the (limited) sampling rate, in one chain only: the
// stream starts before the tick posted at open has fired.
TEST(AnimVoltsDsp, TicksComeAtTheSamplingRateInOneChain) {
    struct Case {
        double sample_rate;
        float rate;
        uint32_t period;
    };
    for (const Case c : {Case{44100.0, 40.0f, 1102}, Case{48000.0, 40.0f, 1200},
                         Case{44100.0, 600.0f, 441}, Case{44100.0, 100.0f, 441}}) {
        SCOPED_TRACE(testing::Message() << c.sample_rate << " Hz, rate " << c.rate);
        DspInstance dsp(Plugin(), c.sample_rate);
        ReportLog reports(dsp);
        dsp.Open();
        dsp.SetValue("Sampling Rate (Hz)", c.rate, 0);
        dsp.SetStream("Volts In", Ramp, 10);
        dsp.Run(20000);
        const std::vector<uint32_t> ticks = reports.TickClocks();
        ASSERT_GE(ticks.size(), 10u);
        EXPECT_EQ(ticks.front(), kFirstTick);
        for (size_t i = 1; i < ticks.size(); ++i) ASSERT_EQ(ticks[i] - ticks[i - 1], c.period);
        EXPECT_EQ(dsp.LateEvents(), 0u);
    }
}

// 600 Hz is used as 100 Hz; 0 and NaN as 0.0001 Hz, which leaves the chain running with a
// tick about every 441,000,011 samples.
TEST(AnimVoltsDsp, SamplingRateLimits) {
    DspInstance dsp(Plugin());
    ReportLog reports(dsp);
    const int32_t rate = dsp.DspPin("Sampling Rate (Hz)");
    dsp.Open();
    dsp.SetValue(rate, 600.0, 0);
    dsp.Run(1);
    EXPECT_EQ(dsp.ReadValue(rate), 100.0);
    dsp.SetValue(rate, 0.0, 1);
    dsp.Run(1);
    EXPECT_EQ(dsp.ReadValue(rate), static_cast<double>(0.0001f));
    dsp.SetValue(rate, std::numeric_limits<double>::quiet_NaN(), 2);
    dsp.SetStream("Volts In", Ramp, 2);
    dsp.Run(200000);
    EXPECT_EQ(dsp.ReadValue(rate), static_cast<double>(0.0001f));
    EXPECT_EQ(reports.TickClocks(), std::vector<uint32_t>{kFirstTick});
    EXPECT_FALSE(dsp.IsDormant());  // still streaming, the next tick far ahead
}

// A sample rate and setting whose period truncates to 0 tick once per sample; one whose
// period overflows 32 bits ticks at the longest period, never in the past.
TEST(AnimVoltsDsp, TickPeriodStaysWithinOneSampleAndThirtyTwoBits) {
    {
        DspInstance dsp(Plugin(), 20.0, 16);  // 20 Hz / 40 Hz: half a sample
        ReportLog reports(dsp);
        dsp.Open();
        dsp.SetStream("Volts In", Ramp, 0);
        dsp.Run(200);
        const std::vector<uint32_t> ticks = reports.TickClocks();
        ASSERT_EQ(ticks.size(), 200u - 32u);
        for (size_t i = 1; i < ticks.size(); ++i) ASSERT_EQ(ticks[i] - ticks[i - 1], 1u);
        EXPECT_EQ(dsp.LateEvents(), 0u);
    }
    {
        DspInstance dsp(Plugin(), 1.0e6, 64);  // 1e6 Hz / 0.0001 Hz: 1e10 samples
        ReportLog reports(dsp);
        dsp.Open();
        dsp.SetValue("Sampling Rate (Hz)", 0.0, 0);
        dsp.SetStream("Volts In", Ramp, 0);
        dsp.Run(50000);
        EXPECT_EQ(reports.TickClocks(), std::vector<uint32_t>{128});
        EXPECT_EQ(dsp.LateEvents(), 0u);
    }
}

// Streaming again after the input went still and the module went dormant, while the old
// chain's tick is still pending, keeps that chain instead of starting a second one.
TEST(AnimVoltsDsp, RestartedStreamKeepsOneChain) {
    DspInstance dsp(Plugin());
    ReportLog reports(dsp);
    dsp.Open();
    dsp.SetStream("Volts In", Ramp, 0);
    dsp.SetConstant("Volts In", 0.3f, 3000);
    dsp.Run(4200);
    ASSERT_TRUE(dsp.IsDormant());
    dsp.SetStream("Volts In", Ramp, 4200);
    dsp.Run(10000);
    std::vector<uint32_t> ticks = reports.TickClocks();
    // 2048, 3000 (the still input's report), then one tick every 1,102 samples from 3150.
    ASSERT_GE(ticks.size(), 8u);
    EXPECT_EQ(ticks[0], kFirstTick);
    EXPECT_EQ(ticks[1], 3000u);
    for (size_t i = 2; i < ticks.size(); ++i) ASSERT_EQ(ticks[i], 3150u + 1102u * (i - 2));
}

// What each method reports at a tick, and what it puts on "Volts Out" meanwhile.
TEST(AnimVoltsDsp, SamplingMethodsReportAndPassThrough) {
    auto volts = [](double signal) { return static_cast<float>(signal * 10.0); };
    for (int16_t method : {0, 1, 2, 3, 7}) {
        SCOPED_TRACE(testing::Message() << "method " << method);
        DspInstance dsp(Plugin());
        ReportLog reports(dsp);
        dsp.Open();
        dsp.SetValue("Sampling Method", method, 0);
        dsp.SetStream("Volts In", Ramp, 0);
        dsp.Run(9000);
        const std::vector<Report> ticks = reports.Ticks();
        ASSERT_GE(ticks.size(), 6u);
        const std::vector<float>& out = dsp.Output("Volts Out");
        for (size_t k = 1; k < ticks.size(); ++k) {
            const uint32_t prev = ticks[k - 1].clock;
            const uint32_t now = ticks[k].clock;
            float expected = 0.0f;
            switch (method) {
                case 0:  // the first sample after the previous tick
                    expected = volts(Ramp(prev));
                    break;
                case 1:  // the last sample before this tick
                    expected = volts(Ramp(now - 1));
                    break;
                case 2:  // the mean of those two
                    expected =
                        static_cast<float>((static_cast<double>(Ramp(now - 1)) + Ramp(prev)) * 5.0);
                    break;
                default: {  // the mean of all samples since the previous tick (exact sums)
                    double sum = 0.0;
                    for (uint32_t c = prev; c < now; ++c) sum += Ramp(c);
                    expected = static_cast<float>(sum * 10.0 / (now - prev));
                }
            }
            ASSERT_EQ(ticks[k].value, expected) << "tick at " << now;
            // "Start" passes the input through from the tick to the end of that slice, then
            // holds the last sample it passed.
            ASSERT_EQ(out[now], Ramp(now));
            const uint32_t capture_end = (prev / 1024 + 1) * 1024 - 1;
            ASSERT_EQ(out[now - 1], Ramp(method == 0 ? capture_end : now - 1));
        }
    }
}

TEST(AnimVoltsDsp, StartEndReportsTheMeanOfFirstAndLastSample) {
    DspInstance dsp(Plugin());
    ReportLog reports(dsp);
    dsp.Open();
    dsp.SetValue("Sampling Method", 2, 0);
    // 0.1 on the first sample after the first tick, 0.3 on the last before the next.
    constexpr uint32_t next = kFirstTick + 1102;
    auto signal = [](uint32_t c) {
        if (c == kFirstTick) return 0.1f;
        return c == next - 1 ? 0.3f : 0.25f;
    };
    dsp.SetStream("Volts In", signal, 0);
    dsp.Run(next + 1);
    const std::vector<Report> ticks = reports.Ticks();
    ASSERT_EQ(ticks.size(), 2u);
    EXPECT_EQ(ticks[0].value, 2.5f);
    EXPECT_EQ(ticks[1].clock, next);
    EXPECT_EQ(ticks[1].value, 2.0f);
}

// Hold-report: nothing is reported before the first tick; afterwards a still input is
// reported at once and passed through for one block before the module goes dormant.
TEST(AnimVoltsDsp, StillInputReportsAtOnceAndGoesDormant) {
    DspInstance dsp(Plugin());
    ReportLog reports(dsp);
    const int32_t out_pin = dsp.DspPin("Volts Out");
    dsp.Open();
    dsp.SetConstant("Volts In", 0.1f, 100);
    dsp.Run(3000);
    ASSERT_EQ(reports.all.size(), 1u);  // only the request sent at open
    EXPECT_EQ(reports.all[0].clock, 1u);
    EXPECT_EQ(reports.all[0].value, 9999.31f);
    EXPECT_TRUE(dsp.IsDormant());

    const size_t statuses_before = dsp.Statuses().size();
    dsp.SetConstant("Volts In", 0.25f, 3000);
    dsp.Run(3000);
    ASSERT_EQ(reports.all.size(), 2u);
    EXPECT_EQ(reports.all[1].clock, 3000u);
    EXPECT_EQ(reports.all[1].value, 2.5f);
    const std::vector<float>& out = dsp.Output(out_pin);
    for (uint32_t c = 3000; c < 3000 + 1024; ++c) ASSERT_EQ(out[c], 0.25f) << c;
    EXPECT_TRUE(dsp.IsDormant());
    bool stepped = false;
    for (size_t i = statuses_before; i < dsp.Statuses().size(); ++i) {
        const auto& s = dsp.Statuses()[i];
        if (s.pin == out_pin && s.status == PS_STEP && s.clock > 3000) stepped = true;
    }
    EXPECT_TRUE(stepped);
    ASSERT_FALSE(dsp.DormantRequests().empty());
    EXPECT_GT(dsp.DormantRequests().back(), 3000u);
    // The tick chain ended instead of reporting on.
    EXPECT_EQ(reports.all.size(), 2u);
}

// After a stream goes still every method passes the still value through, goes dormant and
// ends its tick chain, even when a tick falls inside the block being passed through.
TEST(AnimVoltsDsp, StreamGoingStillEndsInDormancy) {
    for (int16_t method : {0, 1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "method " << method);
        DspInstance dsp(Plugin());
        ReportLog reports(dsp);
        dsp.Open();
        dsp.SetValue("Sampling Method", method, 0);
        dsp.SetStream("Volts In", Ramp, 0);
        dsp.SetConstant("Volts In", 0.3f, 3000);  // the tick at 3150 falls inside the block
        dsp.Run(12000);
        EXPECT_TRUE(dsp.IsDormant());
        EXPECT_LE(reports.all.back().clock, 4252u);  // the tick that ends the chain
        if (method != 0) {
            const std::vector<float>& out = dsp.Output("Volts Out");
            for (uint32_t c = 3000; c < 12000; ++c) ASSERT_EQ(out[c], 0.3f) << c;
        }
    }
}

// A value from the control with a still input fills the whole "Volts Out" buffer; while the
// input streams, the control changes nothing; a NaN value changes nothing at all.
TEST(AnimVoltsDsp, ControlValueSetsVoltsOutOnlyWhileInputIsStill) {
    DspInstance dsp(Plugin());
    const int32_t gui = dsp.DspPin("GUI 2 DSP");
    const int32_t out_pin = dsp.DspPin("Volts Out");
    dsp.Open();
    dsp.Run(3000);
    const size_t before = dsp.Statuses().size();
    dsp.SetValue(gui, 5.0, 3000);
    dsp.Run(10);
    const float* buffer = dsp.Buffer(out_pin);
    for (int32_t i = 0; i < dsp.BlockSize(); ++i) ASSERT_EQ(buffer[i], 0.5f) << i;
    ASSERT_EQ(dsp.Statuses().size(), before + 2);
    EXPECT_EQ(dsp.Statuses()[before].pin, out_pin);
    EXPECT_EQ(dsp.Statuses()[before].status, PS_STEP);
    EXPECT_EQ(dsp.Statuses()[before].clock, 3000u);
    EXPECT_EQ(dsp.Statuses()[before + 1].pin, out_pin);
    EXPECT_EQ(dsp.Statuses()[before + 1].status, PS_STILL);
    EXPECT_EQ(dsp.Statuses()[before + 1].clock, 3001u);
    dsp.Run(3000);
    EXPECT_EQ(dsp.Output(out_pin).back(), 0.5f);
    EXPECT_TRUE(dsp.IsDormant());

    dsp.SetValue(gui, std::numeric_limits<double>::quiet_NaN(), dsp.Clock());
    dsp.Run(2000);
    EXPECT_EQ(dsp.Output(out_pin).back(), 0.5f);
    EXPECT_EQ(dsp.ReadValue(gui), 0.5);

    dsp.SetStream("Volts In", Ramp, dsp.Clock());
    dsp.Run(100);
    dsp.SetValue(gui, 7.0, dsp.Clock());
    dsp.Run(3000);
    const uint32_t last = dsp.Clock() - 1;
    EXPECT_EQ(dsp.Output(out_pin)[last], Ramp(last));
}

// Stream, go still, move the control: for every method the control's value stays on
// "Volts Out", whether it arrives while the still input is being passed through or after
// the module went dormant.
TEST(AnimVoltsDsp, ControlKeepsVoltsOutAfterTheInputWentStill) {
    for (int16_t method : {0, 1, 2, 3}) {
        for (uint32_t control_at : {3500u, 6000u}) {
            SCOPED_TRACE(testing::Message()
                         << "method " << method << ", control at " << control_at);
            DspInstance dsp(Plugin());
            const int32_t out_pin = dsp.DspPin("Volts Out");
            dsp.Open();
            dsp.SetValue("Sampling Method", method, 0);
            dsp.SetStream("Volts In", Ramp, 0);
            dsp.SetConstant("Volts In", 0.3f, 3000);
            dsp.SetValue("GUI 2 DSP", 5.0, control_at);
            dsp.Run(12000);
            const std::vector<float>& out = dsp.Output(out_pin);
            for (uint32_t c = control_at; c < 12000; ++c) ASSERT_EQ(out[c], 0.5f) << c;
            EXPECT_TRUE(dsp.IsDormant());
        }
    }
}

// NaN samples never become a reported value: the last good one is reported again.
TEST(AnimVoltsDsp, NanInputIsNeverReported) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int16_t method : {0, 1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "method " << method);
        DspInstance dsp(Plugin());
        ReportLog reports(dsp);
        dsp.Open();
        dsp.SetValue("Sampling Method", method, 0);
        dsp.SetStream(
            "Volts In", [nan](uint32_t c) { return c < 2500 ? 0.1f : nan; }, 0);
        dsp.SetConstant("Volts In", nan, 6000);
        dsp.Run(8000);
        ASSERT_GE(reports.Ticks().size(), 4u);
        for (const Report& r : reports.all) ASSERT_FALSE(std::isnan(r.value)) << r.clock;
        EXPECT_EQ(reports.all.back().value, 1.0f);
    }
}

// An instance the host closes before opening it has no pins to announce anything on; one
// that was opened tells the other side it is going with 9999.13.
TEST(AnimVoltsDsp, CloseBeforeAndAfterOpen) {
    RawHost host;
    KVHostRecord* record = host.Make(Plugin());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->dispatch(record, MOD_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_TRUE(host.statuses.empty());

    record = host.Make(Plugin());
    ASSERT_NE(record, nullptr);
    KVPinProperties report{};
    ASSERT_EQ(record->dispatch(record, MOD_PIN_INFO, 1, 0, &report, 0.0f), 1);
    host.report = static_cast<const float*>(report.variable);
    host.pin_count = 6;
    record->dispatch(record, MOD_OPEN, 0, 0, nullptr, 0.0f);
    ASSERT_EQ(host.statuses.size(), 1u);
    EXPECT_EQ(host.statuses[0].reported, 9999.31f);
    EXPECT_EQ(record->dispatch(record, MOD_CLOSE, 0, 0, nullptr, 0.0f), 1);
    ASSERT_EQ(host.statuses.size(), 2u);
    EXPECT_EQ(host.statuses[1].pin, 1);
    EXPECT_EQ(host.statuses[1].status, PS_STEP);
    EXPECT_EQ(host.statuses[1].reported, 9999.13f);
}

}  // namespace
}  // namespace anim_volts_test
