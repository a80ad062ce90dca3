// The host's GUI side and the carrying between the two sides, against test_panel.
#include <gtest/gtest.h>

#include <string>

#include "kvhost/host.h"

namespace {

using kvhost::GuiInstance;
using kvhost::ModuleInstance;
using kvhost::Plugin;

std::shared_ptr<Plugin> Panel() {
    return Plugin::Load(std::string(KVHOST_TEST_PLUGINS) + "/test_panel.so");
}

TEST(HostGui, DefaultsRegistrationAndTypedValues) {
    GuiInstance g(Panel());
    g.Init(true);
    ASSERT_EQ(g.Log().size(), 1u);
    EXPECT_EQ(g.Log()[0].opcode, GUIHOST_REGISTER);
    EXPECT_EQ(g.Log()[0].index, 1);
    EXPECT_EQ(g.Float("Value"), 1.0f);
    EXPECT_EQ(g.Text("Text"), "a");
    EXPECT_EQ(g.Int("Count"), 3);
    EXPECT_EQ(g.Float("Shared"), 0.5f);
    EXPECT_EQ(g.Text("Value"), "1");
    EXPECT_EQ(g.Float("Volts"), 0.5f);  // a sample pin's default is in volts: 5 V is 0.5
    EXPECT_THROW(g.Float("Nope"), kvhost::Error);
}

TEST(HostGui, WritesNotifyTheSameObjectBeforeTheyReturn) {
    GuiInstance g(Panel());
    g.Init(true);
    g.ClearLog();
    g.SetFloat("Value", 2.5f);
    // Inside the notification for "Value" the module wrote "Text" and "Echo"; each write
    // was answered by a nested notification (depth 2) that its guard ignored.
    EXPECT_EQ(g.Text("Text"), "2.5");
    EXPECT_EQ(g.Float("Echo"), 5.0f);
    EXPECT_EQ(g.Notifications(), 3u);
    bool saw_text = false, saw_echo = false;
    for (const auto& r : g.Log()) {
        if (r.opcode == GUIHOST_PUT_TEXT) {
            saw_text = true;
            EXPECT_EQ(r.index, 1);
            EXPECT_EQ(r.text, "2.5");
            EXPECT_EQ(r.depth, 1);
        }
        if (r.opcode == GUIHOST_PUT_VALUE && r.index == 6) {
            saw_echo = true;
            EXPECT_EQ(r.value, 0);  // the float travels in opt
            EXPECT_EQ(r.opt, 5.0f);
        }
    }
    EXPECT_TRUE(saw_text && saw_echo);

    // An unchanged value is no news: no notification.
    g.SetFloat("Value", 2.5f);
    EXPECT_EQ(g.Notifications(), 3u);

    g.SetText("Text", "7");
    EXPECT_EQ(g.Float("Value"), 7.0f);
    EXPECT_EQ(g.Float("Echo"), 5.0f);  // the guard stopped the way back
}

TEST(HostGui, UnguardedRecursionStopsAtTheDepthLimit) {
    GuiInstance g(Panel());
    g.Init(true);
    g.SetInt("Count", 10);
    EXPECT_EQ(g.Int("Count"), 10 + GuiInstance::kMaxDepth);
    EXPECT_EQ(g.DepthLimitHits(), 1u);
    EXPECT_EQ(g.Notifications(), static_cast<std::size_t>(GuiInstance::kMaxDepth));
    for (const auto& r : g.Log()) {
        if (r.opcode == GUIHOST_PUT_VALUE) {
            EXPECT_EQ(r.opt, 0.0f);  // integers travel in value
        }
    }
}

TEST(HostGui, WideTextIsUtf16WithTheCapacityProtocol) {
    GuiInstance g(Panel());
    g.Init(false);
    g.Dispatch(GUI_OP11, 7);
    EXPECT_EQ(g.Text("Text"), "e4 20ac d83d de00");
    int asks = 0;
    for (const auto& r : g.Log()) {
        if (r.opcode != GUIHOST_GET_WTEXT) continue;
        EXPECT_EQ(r.value, asks == 0 ? 0 : 5);  // first the size, then 5 units
        ++asks;
    }
    EXPECT_EQ(asks, 2);
}

TEST(HostModule, PinsAreCarriedBetweenTheSides) {
    ModuleInstance m(Panel(), 44100.0, 64);
    m.Carry("Out", "Scope");
    m.Open();
    m.Run(64);
    // The initial status of "Shared" made the DSP side report 2 x 0.5 on "Report" (a
    // DSP-visible GUI pin) and announce "Out": both reached the GUI side.
    EXPECT_EQ(m.Gui().Float("Report"), 1.0f);
    EXPECT_EQ(m.Gui().Float("Echo"), 1.0f);  // the GUI reacted to the carried value
    EXPECT_EQ(m.Gui().Float("Scope"), 0.5f);

    // A GUI edit of a DSP-visible pin writes the DSP member and delivers a status at the
    // DSP clock.
    m.Gui().SetFloat("Shared", 0.25f);
    m.Run(64);
    EXPECT_EQ(m.Dsp().Output("Out")[63], 0.5f);
    EXPECT_EQ(m.Dsp().Output("Out")[64], 0.25f);
    EXPECT_EQ(m.Gui().Float("Report"), 0.5f);
    EXPECT_EQ(m.Gui().Float("Echo"), 0.5f);
    EXPECT_EQ(m.Gui().Float("Scope"), 0.25f);
    EXPECT_EQ(m.Carried(), 4u);

    // A GUI-only pin stays on the GUI side.
    m.Gui().SetFloat("Value", 3.0f);
    m.Run(64);
    EXPECT_EQ(m.Dsp().Output("Out")[191], 0.25f);
}

// HOST_PIN_AT_TIME sets a value output at its clock and passes it on as any output change:
// to a wired instance at that clock, and to the module's GUI side.
TEST(HostModule, AnOutputSetAtATimeReachesWiresAndTheGuiSideAtThatClock) {
    kvhost::DspInstance upstream(Panel(), 44100.0, 64), downstream(Panel(), 44100.0, 64);
    upstream.Connect(upstream.DspPin("Report"), downstream, downstream.DspPin("Shared"));
    std::vector<kvhost::DspInstance::StatusRecord> changes;
    const int32_t report = upstream.DspPin("Report");
    upstream.SetStatusListener([&](const auto& s) {
        if (s.pin == report) changes.push_back(s);
    });
    upstream.Open();
    downstream.Open();
    upstream.SetValue("Shared", -3.0, 20);  // asks for "Report" = 3 at clock 30
    upstream.Run(64);
    downstream.Run(64);
    EXPECT_EQ(upstream.ReadValue(report), 3.0);
    ASSERT_EQ(changes.size(), 2u);  // the initial report (1.0 at 0), then the one set at 30
    EXPECT_EQ(changes[1].status, PS_STEP);
    EXPECT_EQ(changes[1].clock, 30u);
    EXPECT_EQ(upstream.PinAtTimes().size(), 1u);
    const auto& out = downstream.Output("Out");
    EXPECT_EQ(out[0], 1.0f);  // the upstream's first report, 2 x 0.5
    EXPECT_EQ(out[29], 1.0f);
    EXPECT_EQ(out[30], 3.0f);

    ModuleInstance m(Panel(), 44100.0, 64);
    m.Open();
    m.Dsp().SetValue("Shared", -2.0, 5);
    m.Run(64);
    EXPECT_EQ(m.Gui().Float("Report"), 2.0f);
    EXPECT_EQ(m.Gui().Float("Echo"), 2.0f);
}

}  // namespace
