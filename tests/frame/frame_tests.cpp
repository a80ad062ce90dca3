// The frame driven through its records by a recording host, in whichever revision this
// executable was built with (KV_FRAME_REVISION 2230 or 2120).
#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "recording_host.h"
#include "test_modules.h"

extern "C" bool getModuleProperties(int32_t index, KVModuleInfo* info);
extern "C" void* makeModule(int32_t index, int32_t kind, kvaudioMaster callback,
                            void* host_reference);

namespace {

constexpr bool kCurrent = KV_FRAME_REVISION >= 2230;

class Frame : public ::testing::Test {
  protected:
    void SetUp() override {
        TestModule::descriptions.clear();
        TestModule::described.clear();
    }
    void TearDown() override {
        if (record_ != nullptr) Send(MOD_CLOSE);
    }

    // A DSP instance made the way the host makes one.
    TestModule& Make(kvaudioMaster callback = &RecordingHost::Callback) {
        record_ = static_cast<KVHostRecord*>(makeModule(0, KV_KIND_DSP, callback, host_.Reference()));
        return *static_cast<TestModule*>(static_cast<KVModule_base*>(record_->object));
    }
    TestModule& MakeOpen(int32_t pin_count) {
        host_.pin_count = pin_count;
        TestModule& m = Make();
        Send(MOD_OPEN);
        return m;
    }
    intptr_t Send(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                  float opt = 0.0f) {
        const intptr_t r = record_->dispatch(record_, opcode, index, value, ptr, opt);
        if (opcode == MOD_CLOSE) record_ = nullptr;
        return r;
    }
    void Deliver(KVTimedEvent e) { record_->event(record_->object, &e); }

    RecordingHost host_;
    KVHostRecord* record_ = nullptr;
};

TEST_F(Frame, IdentityAndRecords) {
    KVModuleInfo info{};
    info.flags = -7;
    EXPECT_FALSE(getModuleProperties(1, &info));
    EXPECT_EQ(info.frame_revision, KV_FRAME_REVISION);
    EXPECT_EQ(info.name, nullptr);
    EXPECT_EQ(info.flags, -7);
    ASSERT_TRUE(getModuleProperties(0, &info));
    EXPECT_STREQ(info.name, "frame test");
    EXPECT_STREQ(info.id, "frame test");
    EXPECT_EQ(info.flags, 512);
    EXPECT_EQ(info.flags_ext, 256);

    EXPECT_EQ(makeModule(1, KV_KIND_DSP, &RecordingHost::Callback, nullptr), nullptr);
    EXPECT_EQ(makeModule(0, 3, &RecordingHost::Callback, nullptr), nullptr);
    EXPECT_EQ(makeModule(0, 0, &RecordingHost::Callback, nullptr), nullptr);

    TestModule& m = Make();
    const auto* words = reinterpret_cast<const int32_t*>(record_);
    EXPECT_EQ(words[0], 0x4B56507B);
    EXPECT_EQ(words[1], 1);
    EXPECT_EQ(record_->host_reference, host_.Reference());
    EXPECT_EQ(record_->object, static_cast<KVModule_base*>(&m));
    EXPECT_EQ(record_->reserved0, 0);
    for (int32_t w : record_->reserved) EXPECT_EQ(w, 0);
    EXPECT_NE(record_->process, nullptr);
    record_->process(record_->object, 0, 16);  // the do-nothing function is callable
    EXPECT_EQ(m.SampleRate(), 44100.0f);
    EXPECT_EQ(m.BlockSize(), 1024);

    auto* gui = static_cast<KVGuiHostRecord*>(
        makeModule(0, KV_KIND_GUI, &RecordingHost::Callback, host_.Reference()));
    ASSERT_NE(gui, nullptr);
    const auto* gui_words = reinterpret_cast<const int32_t*>(gui);
    EXPECT_EQ(gui_words[0], 0x4B56504D);
    EXPECT_EQ(gui_words[1], 1);
    EXPECT_EQ(gui->host_reference, host_.Reference());
    for (int32_t w : gui->reserved) EXPECT_EQ(w, 0);
    EXPECT_EQ(gui->dispatch(gui, GUI_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

TEST_F(Frame, DispatcherResultsAndHooks) {
    TestModule& m = Make();
    EXPECT_EQ(Send(MOD_SAMPLE_RATE, 0, 96000, nullptr, 48000.0f), 0);
    EXPECT_EQ(m.SampleRate(), 48000.0f);  // the rate travels in the float argument only
    EXPECT_EQ(Send(MOD_BLOCK_SIZE, 0, 64), 0);
    EXPECT_EQ(m.BlockSize(), 64);
    for (int32_t op : {4, 5, 9, 11, 14, 99, -1}) EXPECT_EQ(Send(op), 0) << op;

    Send(MOD_OP8, 0);
    Send(MOD_OP8, 3);
    Send(MOD_OP8, -2);
    Send(MOD_OP12, 5, 9);
    const std::vector<std::string> current = {"op8", "op8", "op8:3", "op8", "op12:9,5"};
    const std::vector<std::string> older = {"op8", "op8", "op8", "op12:9,5"};
    EXPECT_EQ(m.hooks, kCurrent ? current : older);

    const int before = TestModule::destroyed;
    EXPECT_EQ(Send(MOD_CLOSE), 1);
    EXPECT_EQ(TestModule::destroyed, before + 1);
}

TEST_F(Frame, CallInfoDescribesTheProcessMemberPointer) {
    TestModule& m = Make();
    const intptr_t answer = Send(MOD_CALL_INFO);
    if (!kCurrent) {
        EXPECT_EQ(answer, 0);
        return;
    }
    ASSERT_NE(answer, 0);
    const auto* info = reinterpret_cast<const KVCallInfo*>(answer);
    EXPECT_EQ(info->version, 1);
    EXPECT_EQ(info->member_size, static_cast<int32_t>(sizeof(KVModule_base::ProcessFunction)));
    EXPECT_EQ(info->member_size, static_cast<int32_t>(2 * sizeof(void*)));
    EXPECT_EQ(info->abi, 1002);
    // The reported location holds the member pointer whose code the record mirrors.
    m.ChooseProcessFunction(&TestModule::ProcessB);
    intptr_t code = 0;
    std::memcpy(&code, reinterpret_cast<const char*>(&m) + info->member_offset, sizeof code);
    EXPECT_EQ(code, reinterpret_cast<intptr_t>(record_->process));
}

TEST_F(Frame, ChoosingAProcessFunctionTellsTheHostOnlyOnChange) {
    TestModule& m = Make();
    const KVProcessEntry initial = record_->process;
    m.ChooseProcessFunction(&TestModule::ProcessA);
    ASSERT_EQ(host_.CallsWith(HOST_PROCESS_CHANGED).size(), 1u);
    EXPECT_NE(record_->process, initial);
    EXPECT_EQ(reinterpret_cast<intptr_t>(record_->process),
              KVModule_base::CodeAddress(&TestModule::ProcessA));
    m.ChooseProcessFunction(&TestModule::ProcessA);
    EXPECT_EQ(host_.CallsWith(HOST_PROCESS_CHANGED).size(), 1u);
    m.ChooseProcessFunction(&TestModule::ProcessB);
    EXPECT_EQ(host_.CallsWith(HOST_PROCESS_CHANGED).size(), 2u);
}

TEST_F(Frame, PinTableSkipsGuiPinsInTheCurrentRevisionOnly) {
    int16_t* const choice_a = reinterpret_cast<int16_t*>(0x10);
    TestModule::descriptions = {Pin(DT_CHOICE, 0, choice_a), Pin(DT_REAL32, IO_UI_COMMUNICATION),
                                Pin(DT_FSAMPLE), Pin(DT_WHOLE32)};
    TestModule& m = MakeOpen(3);
    EXPECT_EQ(m.PinCount(), 3);
    EXPECT_EQ(m.PinAt(0).ValueAddress(), choice_a);
    if (kCurrent) {
        EXPECT_EQ(m.PinAt(1).DataType(), DT_FSAMPLE);  // description 2
        EXPECT_EQ(*static_cast<float**>(m.PinAt(1).ValueAddress()), host_.buffers[1]);
        EXPECT_EQ(m.PinAt(2).DataType(), DT_WHOLE32);  // unbound: 32 bits of its own
        EXPECT_NE(m.PinAt(2).ValueAddress(), nullptr);
    } else {
        EXPECT_EQ(m.PinAt(1).DataType(), DT_REAL32);  // description k is pin k
        EXPECT_EQ(m.PinAt(2).DataType(), DT_FSAMPLE);
    }
    for (int32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(m.PinAt(k).Index(), k);
        EXPECT_EQ(m.PinAt(k).Status(), PS_STILL);
    }
}

TEST_F(Frame, RepeatedLastPin) {
    TestModule::descriptions = {Pin(DT_CHOICE), Pin(DT_FSAMPLE, IO_REPEAT_LAST, &TestModule::descriptions)};
    TestModule& m = MakeOpen(5);
    for (int32_t k = 2; k < 5; ++k) {
        EXPECT_EQ(m.PinAt(k).DataType(), DT_FSAMPLE) << k;
        EXPECT_EQ(*static_cast<float**>(m.PinAt(k).ValueAddress()), host_.buffers[k]) << k;
    }
    EXPECT_EQ(host_.CallsWith(HOST_PIN_BUFFER).size(), 3u);
    Send(MOD_CLOSE);

    // A GUI-only last description repeats only in the older revision; unbound whole
    // numbers get storage only in the current one.
    TestModule::descriptions = {Pin(DT_CHOICE), Pin(DT_WHOLE32, IO_UI_COMMUNICATION | IO_REPEAT_LAST)};
    TestModule& n = MakeOpen(4);
    for (int32_t k = 2; k < 4; ++k) {
        EXPECT_EQ(n.PinAt(k).DataType(), kCurrent ? -1 : DT_WHOLE32) << k;
        EXPECT_EQ(n.PinAt(k).ValueAddress(), nullptr) << k;
    }
}

TEST_F(Frame, NoPinCountMeansNoTableAndNoDescriptionMinusOne) {
    TestModule::descriptions = {Pin(DT_CHOICE)};
    TestModule& m = MakeOpen(0);
    EXPECT_EQ(m.PinCount(), 0);
    for (int32_t d : TestModule::described) EXPECT_GE(d, 0);
    EXPECT_EQ(Send(MOD_PIN_INFO, -1, 0, nullptr), 0);
    KVPinProperties p{};
    EXPECT_EQ(Send(MOD_PIN_INFO, -1, 0, &p), 0);
    EXPECT_EQ(Send(MOD_PIN_INFO, 0, 0, &p), 1);
    EXPECT_EQ(Send(MOD_PIN_INFO, 1, 0, &p), 0);
}

TEST_F(Frame, EventsReachTheirHandlers) {
    int16_t choice = 0;
    TestModule::descriptions = {Pin(DT_CHOICE, 0, &choice), Pin(DT_CHOICE)};
    TestModule& m = MakeOpen(2);
    host_.clock = 77;

    Deliver({77, EV_PIN_STATUS, PS_STEP, 0, 1, nullptr});
    EXPECT_EQ(m.seen_status, PS_STEP);
    EXPECT_EQ(m.seen_pin, 1);
    EXPECT_EQ(m.PinAt(1).Status(), PS_STILL);
    Deliver({77, EV_PIN_STATUS, PS_STREAM, 0, 0, nullptr});
    EXPECT_EQ(m.PinAt(0).Status(), PS_STREAM);

    const int32_t packed = 144 + 256 * 60 + 256 * 256 * 64;
    Deliver({77, EV_MIDI, packed, 0x1FFFF, 0, nullptr});
    EXPECT_EQ(m.midi_message, packed);
    EXPECT_EQ(m.midi_clock, 77u);
    EXPECT_EQ(m.midi_value2, -1);  // the datum is read as 16 bits, signed

    m.ScheduleCall(77, &TestModule::Tick);  // a stamp equal to the clock is allowed
    ASSERT_EQ(host_.posted.size(), 1u);
    const KVTimedEvent posted = host_.posted[0];
    EXPECT_EQ(posted.time_stamp, 77u);
    EXPECT_EQ(posted.kind, EV_CALL);
    EXPECT_EQ(posted.next, nullptr);
    Deliver(posted);
    EXPECT_EQ(m.ticks, 1);

    m.seen_status = -1;
    Deliver({77, 6, 1, 0, 0, nullptr});
    Deliver({77, 1000, 1, 0, 0, nullptr});
    EXPECT_EQ(m.seen_status, -1);
    EXPECT_EQ(m.ticks, 1);
}

TEST_F(Frame, PinsAnnounceToTheHost) {
    float* buffer = nullptr;
    TestModule::descriptions = {Pin(DT_FSAMPLE, 0, &buffer), Pin(DT_FSAMPLE, 0, nullptr, DR_OUT)};
    TestModule& m = MakeOpen(2);
    host_.clock = 1000;
    m.PinAt(1).SendStatus(1003, PS_STREAM);
    m.PinAt(1).SendAt(1000, 9);
    const auto status = host_.CallsWith(HOST_OUT_STATUS);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].index, 1);
    EXPECT_EQ(status[0].value, PS_STREAM);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(status[0].ptr), 1003u);
    EXPECT_EQ(host_.CallsWith(HOST_PIN_AT_TIME).size(), 1u);

    // The current sample is the buffer element at (clock - block start).
    float samples[64] = {};
    samples[5] = 0.25f;
    buffer = samples;
    host_.block_start = 995;
    EXPECT_EQ(m.PinAt(0).CurrentSample(), 0.25f);
}

TEST_F(Frame, NullCallbackIsTolerated) {
    TestModule::descriptions = {Pin(DT_CHOICE)};
    TestModule& m = Make(nullptr);
    EXPECT_EQ(m.SampleClock(), 0u);
    EXPECT_EQ(m.AskHost(HOST_PIN_COUNT), 0);
    Send(MOD_OPEN);
    EXPECT_EQ(m.PinCount(), 0);
    m.ChooseProcessFunction(&TestModule::ProcessA);
}

#ifdef NDEBUG
TEST_F(Frame, ReleaseBuildsStayInsideThePinTable) {
    TestModule::descriptions = {Pin(DT_CHOICE)};
    TestModule& m = MakeOpen(1);
    Deliver({0, EV_PIN_STATUS, PS_STEP, 0, 5, nullptr});
    Deliver({0, EV_PIN_STATUS, PS_STEP, 0, -1, nullptr});
    EXPECT_EQ(m.seen_status, -1);
    KVPin& inert = m.PinAt(7);
    EXPECT_EQ(inert.Index(), -1);
    inert.SendStatus(0, PS_STEP);
    EXPECT_EQ(inert.CurrentSample(), 0.0f);
    EXPECT_TRUE(host_.CallsWith(HOST_OUT_STATUS).empty());
    Send(MOD_CLOSE);

    TestModule& n = Make();  // no table yet
    Deliver({0, EV_PIN_STATUS, PS_STEP, 0, 0, nullptr});
    EXPECT_EQ(n.seen_status, -1);
    EXPECT_EQ(n.PinAt(0).Index(), -1);
}
#else
using FrameDeath = Frame;

// The death-test style comes from the command line: "threadsafe" natively, "fast" under
// the 32-bit emulator, which cannot re-execute the program.
TEST_F(FrameDeath, PreconditionsStopDebugBuilds) {
    TestModule::descriptions = {Pin(DT_CHOICE),
                                Pin(DT_REAL32, IO_PATCH_STORE)};  // breaks the description rule
    TestModule& m = Make();
    EXPECT_DEATH(m.PinAt(0), "m_pins != 0");
    EXPECT_DEATH(Deliver({0, EV_PIN_STATUS, PS_STEP, 0, 0, nullptr}), "m_pins != 0");
    host_.clock = 10;
    EXPECT_DEATH(Deliver({9, EV_MIDI, 0, 0, 0, nullptr}), "e->time_stamp == SampleClock\\(\\)");
    EXPECT_DEATH(m.QueueEvent(9, EV_CALL, 0, 0, 0), "p_time_stamp >= SampleClock\\(\\)");
    EXPECT_DEATH(Send(7), "false");
    EXPECT_DEATH(Send(10), "false");
    KVPinProperties p{};
    EXPECT_DEATH(Send(MOD_PIN_INFO, 1, 0, &p),
                 "\\(\\(\\(KVPinProperties\\*\\)ptr\\)->flags & IO_PATCH_STORE\\) == 0 \\|\\| "
                 "\\(\\(\\(KVPinProperties\\*\\)ptr\\)->flags & IO_PRIVATE\\) != 0 \\|\\| "
                 "\\(\\(KVPinProperties\\*\\)ptr\\)->direction == DR_OUT \\|\\| "
                 "\\( \\( \\(KVPinProperties\\*\\)ptr\\)->flags & IO_UI_COMMUNICATION\\) != 0");
    host_.pin_count = 1;
    Send(MOD_OPEN);
    EXPECT_DEATH(m.PinAt(0).SendAt(9, 0), "sampleclock >= m_module->SampleClock\\(\\)");
    EXPECT_DEATH(m.PinAt(0).CurrentSample(), "m_datatype == DT_FSAMPLE");

    auto* gui = static_cast<KVGuiHostRecord*>(makeModule(0, KV_KIND_GUI, nullptr, nullptr));
    auto* g = static_cast<KVGUI_base*>(gui->object);
    EXPECT_DEATH(g->PinRef(0).ReadInt(), "kvaudioMaster");
    gui->dispatch(gui, GUI_CLOSE, 0, 0, nullptr, 0.0f);
}
#endif

class Gui : public ::testing::Test {
  protected:
    void SetUp() override {
        record_ = static_cast<KVGuiHostRecord*>(
            makeModule(0, KV_KIND_GUI, &RecordingHost::Callback, host_.Reference()));
        gui_ = static_cast<TestGui*>(static_cast<KVGUI_base*>(record_->object));
    }
    void TearDown() override {
        if (record_ != nullptr) Send(GUI_CLOSE);
    }
    intptr_t Send(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                  float opt = 0.0f) {
        const intptr_t r = record_->dispatch(record_, opcode, index, value, ptr, opt);
        if (opcode == GUI_CLOSE) record_ = nullptr;
        return r;
    }

    RecordingHost host_;
    KVGuiHostRecord* record_ = nullptr;
    TestGui* gui_ = nullptr;
};

TEST_F(Gui, DispatcherAndPinHandles) {
    Send(GUI_INIT, 1);
    Send(GUI_INIT, 2);
    EXPECT_EQ(gui_->init_flags, (std::vector<bool>{true, false}));
    Send(GUI_PIN_CHANGED, 5);
    EXPECT_EQ(gui_->changed_index, 5);
    EXPECT_EQ(gui_->changed_module, gui_);
    EXPECT_EQ(Send(GUI_OP10), 0);
    for (int32_t op : {2, 3, 4, 5, 6, 8, 9, 11, 12, 13, 40}) EXPECT_EQ(Send(op), 0) << op;

    KVGuiPinRef& first = gui_->PinRef(1);
    KVGuiPinRef& second = gui_->PinRef(2);
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(first.index, 2);

    gui_->PinRef(3).WriteFloat(10.0f);
    gui_->PinRef(4).WriteInt(7);
    const auto puts = host_.CallsWith(GUIHOST_PUT_VALUE);
    ASSERT_EQ(puts.size(), 2u);
    EXPECT_EQ(puts[0].index, 3);
    EXPECT_EQ(puts[0].value, 0);
    EXPECT_EQ(std::bit_cast<uint32_t>(puts[0].opt), 0x41200000u);
    EXPECT_EQ(puts[1].value, 7);
    EXPECT_EQ(puts[1].opt, 0.0f);

    host_.value_answer = std::bit_cast<int32_t>(2.5f);
    EXPECT_EQ(gui_->PinRef(0).ReadFloat(), 2.5f);
    host_.value_answer = -9;
    EXPECT_EQ(gui_->PinRef(0).ReadInt(), -9);
    host_.text = "1,2,3";
    EXPECT_EQ(gui_->PinRef(0).ReadText(), "1,2,3");
    gui_->PinRef(6).WriteText("x");
    EXPECT_EQ(host_.CallsWith(GUIHOST_PUT_TEXT).at(0).index, 6);

    host_.wide_text = {u'h', u'\u00e9', u'!'};
    EXPECT_EQ(gui_->PinRef(0).ReadWideText(), u"h\u00e9!");
    const auto asks = host_.CallsWith(GUIHOST_GET_WTEXT);
    ASSERT_EQ(asks.size(), 2u);
    EXPECT_EQ(asks[0].value, 0);
    EXPECT_EQ(asks[1].value, 4);

    const int before = TestGui::destroyed;
    EXPECT_EQ(Send(GUI_CLOSE), 1);
    EXPECT_EQ(TestGui::destroyed, before + 1);
}

}  // namespace
