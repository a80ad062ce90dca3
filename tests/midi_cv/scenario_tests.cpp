// wy:VUDA2DU driven through the substitute host: a note's life, overlapping keys, channel
// filtering, controllers, bends, the 64-key stack and arbitrary MIDI bytes.
#include <gtest/gtest.h>
#include <kvhost/host.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace {

// The converter's constants by their bit patterns: a semitone (1/120) and a velocity step
// (1/127) in signal units.
const float K = std::bit_cast<float>(0x3C088889u);
const float Kv = std::bit_cast<float>(0x3C010204u);

float KeyPitch(int key) {
    return static_cast<float>((key - 69) * static_cast<double>(K) + 0.5);
}
float Velocity(int v) {
    return static_cast<float>(v * static_cast<double>(Kv));
}
float BendOffset(int value, int range) {
    return static_cast<float>((value - 8192) * (range * static_cast<double>(K)) * 0.0001220703125);
}

constexpr int32_t kBlock = 64;
constexpr int32_t kGate = 4, kPitch = 5, kVelocity = 6;

// The host records a dormant request at the start of the slice that asked; with no other
// events around, that is the block holding the run's last sample.
uint32_t SliceOf(uint32_t last_sample) {
    return last_sample - last_sample % kBlock;
}

class MidiCv : public ::testing::Test {
  protected:
    void SetUp() override {
        dsp = std::make_unique<kvhost::DspInstance>(kvhost::Plugin::Load("wy_VUDA2DU"), 44100.0,
                                                    kBlock);
        dsp->Open();
        dsp->Run(200);
    }
    void On(uint32_t at, int key, int velocity = 100, int channel = 0) {
        dsp->SendMidi("MIDI In", at, static_cast<uint8_t>(0x90 | channel),
                      static_cast<uint8_t>(key), static_cast<uint8_t>(velocity));
    }
    void Off(uint32_t at, int key, int channel = 0) {
        dsp->SendMidi("MIDI In", at, static_cast<uint8_t>(0x80 | channel),
                      static_cast<uint8_t>(key), 0);
    }
    // Runs up to clock `until`.
    void RunTo(uint32_t until) { dsp->Run(until - dsp->Clock()); }
    float Gate(uint32_t n) const { return dsp->Output("Gate").at(n); }
    float Pitch(uint32_t n) const { return dsp->Output("Pitch").at(n); }
    float Vel(uint32_t n) const { return dsp->Output("Velocity").at(n); }
    // Status announcements made from `from` on, as (pin, clock) pairs; all must be PS_STEP.
    std::vector<std::pair<int32_t, uint32_t>> StatusesFrom(std::size_t from) const {
        std::vector<std::pair<int32_t, uint32_t>> out;
        for (std::size_t i = from; i < dsp->Statuses().size(); ++i) {
            const auto& s = dsp->Statuses()[i];
            EXPECT_EQ(s.status, PS_STEP);
            out.emplace_back(s.pin, s.clock);
        }
        return out;
    }
    using Announced = std::vector<std::pair<int32_t, uint32_t>>;

    std::unique_ptr<kvhost::DspInstance> dsp;
};

TEST_F(MidiCv, IdentityPinsAndTheOpeningBlock) {
    const auto& info = dsp->GetPlugin()->Info();
    EXPECT_STREQ(info.name, "wy:VUDA2DU");
    EXPECT_STREQ(info.id, "wy:VUDA2DU");
    EXPECT_STREQ(info.about, "");
    EXPECT_EQ(info.frame_revision, 2230);
    const auto& pins = dsp->Pins();
    ASSERT_EQ(pins.size(), 7u);
    EXPECT_EQ(pins[0].name, "MIDI In");
    EXPECT_EQ(pins[0].datatype, DT_MIDI_STREAM);
    EXPECT_EQ(*pins[1].choices, "All,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16");
    EXPECT_EQ(*pins[2].default_value, "2");
    EXPECT_EQ(*pins[2].choices, "range 0,12");
    EXPECT_EQ(*pins[3].choices, "On,Off");
    EXPECT_EQ(pins[4].name, "Gate");
    EXPECT_EQ(pins[5].name, "Pitch");
    EXPECT_EQ(pins[6].name, "Velocity");
    for (const auto& p : pins) EXPECT_EQ(p.flags, 0);
    // One block of zeros after opening, then dormant.
    for (uint32_t n = 0; n < 200; ++n) {
        ASSERT_EQ(Gate(n), 0.0f);
        ASSERT_EQ(Pitch(n), 0.0f);
        ASSERT_EQ(Vel(n), 0.0f);
    }
    ASSERT_FALSE(dsp->DormantRequests().empty());
    EXPECT_EQ(dsp->DormantRequests().front(), SliceOf(kBlock - 1));
    EXPECT_TRUE(dsp->IsDormant());
    EXPECT_TRUE(dsp->Statuses().empty());
}

TEST_F(MidiCv, ANotesLife) {
    const std::size_t s0 = dsp->Statuses().size();
    On(300, 69, 127);
    RunTo(600);
    EXPECT_EQ(StatusesFrom(s0), (Announced{{kGate, 300}, {kPitch, 300}, {kVelocity, 300}}));
    EXPECT_EQ(Gate(299), 0.0f);
    for (uint32_t n = 300; n < 600; ++n) {
        ASSERT_EQ(Gate(n), 1.0f);
        ASSERT_EQ(Pitch(n), 0.5f);
        ASSERT_EQ(Vel(n), 1.0f);
    }
    // The run lasts one block, then the module sleeps and the host holds the values.
    EXPECT_EQ(dsp->DormantRequests().back(), SliceOf(300 + kBlock - 1));
    EXPECT_TRUE(dsp->IsDormant());

    const std::size_t s1 = dsp->Statuses().size();
    Off(700, 69);
    RunTo(800);
    EXPECT_EQ(StatusesFrom(s1), (Announced{{kGate, 700}}));
    EXPECT_EQ(Gate(699), 1.0f);
    EXPECT_EQ(Gate(700), 0.0f);
    EXPECT_EQ(Pitch(799), 0.5f);  // pitch and velocity keep their values
    EXPECT_EQ(Vel(799), 1.0f);

    // Exact figures: a semitone step, a few keys, velocities.
    On(900, 81, 64);
    RunTo(1000);
    EXPECT_EQ(Pitch(900), KeyPitch(81));
    EXPECT_EQ(Vel(900), Velocity(64));
    Off(1000, 81);
    On(1001, 0, 0);  // velocity 0 is a strike
    RunTo(1100);
    EXPECT_EQ(Gate(1000), 0.0f);
    EXPECT_EQ(Gate(1001), 1.0f);
    EXPECT_EQ(Pitch(1001), KeyPitch(0));
    EXPECT_EQ(Vel(1001), 0.0f);
}

TEST_F(MidiCv, OverlappingKeysUnderBothRetriggerSettings) {
    for (int retrigger : {0, 1}) {
        SetUp();
        dsp->SetValue("Retrigger", retrigger, 200);
        On(300, 60);
        RunTo(384);
        const std::size_t s0 = dsp->Statuses().size();
        On(384, 64, 90);
        RunTo(500);
        if (retrigger == 0) {
            // Exactly one sample of gate 0.0 at the second key's sample.
            EXPECT_EQ(StatusesFrom(s0),
                      (Announced{{kGate, 384}, {kGate, 385}, {kPitch, 384}, {kVelocity, 384}}));
            EXPECT_EQ(Gate(383), 1.0f);
            EXPECT_EQ(Gate(384), 0.0f);
            EXPECT_EQ(Gate(385), 1.0f);
            // The gap sample does not shorten the run: it ends at 384 + 64, not 383 + 64.
            EXPECT_EQ(dsp->DormantRequests().back(), SliceOf(384 + kBlock));
        } else {
            EXPECT_EQ(StatusesFrom(s0), (Announced{{kPitch, 384}, {kVelocity, 384}}));
            for (uint32_t n = 300; n < 500; ++n) ASSERT_EQ(Gate(n), 1.0f);
        }
        EXPECT_EQ(Pitch(384), KeyPitch(64));
        EXPECT_EQ(Vel(384), Velocity(90));

        // Releasing the sounding key returns to the held one without a gap.
        const std::size_t s1 = dsp->Statuses().size();
        Off(500, 64);
        RunTo(600);
        EXPECT_EQ(StatusesFrom(s1), (Announced{{kPitch, 500}, {kVelocity, 500}}));
        EXPECT_EQ(Pitch(500), KeyPitch(60));
        EXPECT_EQ(Vel(500), Velocity(100));
        for (uint32_t n = 300; n < 600; ++n) {
            ASSERT_EQ(Gate(n), n == 384 && retrigger == 0 ? 0.0f : 1.0f) << n;
        }
        Off(600, 60);
        RunTo(700);
        EXPECT_EQ(Gate(600), 0.0f);

        // Releasing the older of two keys changes nothing.
        On(700, 50);
        On(710, 52);
        RunTo(800);
        const std::size_t s2 = dsp->Statuses().size();
        Off(800, 50);
        RunTo(900);
        EXPECT_TRUE(StatusesFrom(s2).empty());
        EXPECT_EQ(Pitch(899), KeyPitch(52));
        // A key held twice: its first release removes the older entry.
        On(900, 52);
        Off(910, 52);
        RunTo(1000);
        EXPECT_EQ(Gate(999), 1.0f);
        Off(1000, 52);
        RunTo(1100);
        EXPECT_EQ(Gate(1000), 0.0f);
        // Releasing a key that is not held does nothing.
        const std::size_t s3 = dsp->Statuses().size();
        Off(1100, 77);
        RunTo(1200);
        EXPECT_TRUE(StatusesFrom(s3).empty());
    }
}

TEST_F(MidiCv, ChannelFilter) {
    dsp->SetValue("Channel", 3, 200);
    RunTo(300);
    On(300, 60, 100, 0);   // channel 1: ignored
    On(310, 62, 100, 15);  // channel 16: ignored
    RunTo(400);
    EXPECT_EQ(Gate(399), 0.0f);
    On(400, 64, 100, 2);  // channel 3
    RunTo(500);
    EXPECT_EQ(Gate(400), 1.0f);
    EXPECT_EQ(Pitch(400), KeyPitch(64));
    Off(500, 64, 1);  // wrong channel: the key stays
    RunTo(600);
    EXPECT_EQ(Gate(599), 1.0f);

    // A channel change releases every key at its sample; "All" accepts every channel.
    dsp->SetValue("Channel", 0, 600);
    RunTo(700);
    EXPECT_EQ(Gate(599), 1.0f);
    EXPECT_EQ(Gate(600), 0.0f);
    On(700, 65, 100, 9);
    RunTo(800);
    EXPECT_EQ(Gate(700), 1.0f);
    EXPECT_EQ(Pitch(700), KeyPitch(65));
}

TEST_F(MidiCv, ControllersThatReleaseAllKeys) {
    On(300, 60);
    On(301, 62);
    RunTo(400);
    dsp->SendMidi("MIDI In", 400, 0xB0, 120, 5);  // not a release
    dsp->SendMidi("MIDI In", 401, 0xB0, 7, 0);    // volume: ignored
    dsp->SendMidi("MIDI In", 402, 0xB0, 122, 0);  // below 123: ignored
    RunTo(500);
    EXPECT_EQ(Gate(499), 1.0f);
    dsp->SendMidi("MIDI In", 500, 0xB0, 120, 0);
    RunTo(600);
    EXPECT_EQ(Gate(500), 0.0f);
    EXPECT_EQ(Pitch(599), KeyPitch(62));
    for (int controller = 123; controller <= 127; ++controller) {
        const uint32_t t = dsp->Clock();
        On(t, 60);
        dsp->SendMidi("MIDI In", t + 10, 0xB0, static_cast<uint8_t>(controller), 99);
        RunTo(t + 20);
        EXPECT_EQ(Gate(t + 9), 1.0f) << controller;
        EXPECT_EQ(Gate(t + 10), 0.0f) << controller;
    }
    // After a release-all the stack is empty: a new key opens the gate without a gap.
    const uint32_t t = dsp->Clock();
    On(t, 70);
    RunTo(t + 10);
    EXPECT_EQ(Gate(t), 1.0f);
}

TEST_F(MidiCv, Bends) {
    On(300, 69);
    RunTo(310);
    const std::size_t s0 = dsp->Statuses().size();
    dsp->SendMidi("MIDI In", 310, 0xE0, 0, 64);  // 8192: centre, no change, no status
    RunTo(320);
    EXPECT_TRUE(StatusesFrom(s0).empty());
    EXPECT_EQ(Pitch(310), 0.5f);
    dsp->SendMidi("MIDI In", 320, 0xE0, 0, 0);  // full down, range 2: two semitones
    RunTo(330);
    EXPECT_EQ(StatusesFrom(s0), (Announced{{kPitch, 320}}));
    EXPECT_EQ(BendOffset(0, 2), static_cast<float>(-2.0 * static_cast<double>(K)));
    EXPECT_EQ(Pitch(320), static_cast<float>(0.5 + static_cast<double>(BendOffset(0, 2))));
    dsp->SendMidi("MIDI In", 330, 0xE0, 127, 127);  // 16383: 8191/8192 of two semitones up
    RunTo(340);
    EXPECT_EQ(Pitch(330), static_cast<float>(0.5 + static_cast<double>(BendOffset(16383, 2))));

    // A new range leaves the offset alone until the next bend message.
    dsp->SetValue("Bend Range", 12, 340);
    RunTo(350);
    EXPECT_EQ(Pitch(349), Pitch(330));
    dsp->SendMidi("MIDI In", 350, 0xE0, 0x15, 0x30);  // 6165
    RunTo(360);
    EXPECT_EQ(Pitch(350), static_cast<float>(0.5 + static_cast<double>(BendOffset(6165, 12))));
    // The bend stays across keys.
    On(360, 57);
    RunTo(370);
    EXPECT_EQ(Pitch(360),
              static_cast<float>(static_cast<double>(KeyPitch(57)) + BendOffset(6165, 12)));

    // Range 0: bends give no offset.
    dsp->SetValue("Bend Range", 0, 370);
    dsp->SendMidi("MIDI In", 371, 0xE0, 0, 0);
    RunTo(380);
    EXPECT_EQ(Pitch(371), KeyPitch(57));
}

TEST_F(MidiCv, SixtyFifthKeyIsIgnored) {
    for (int i = 0; i < 64; ++i) On(300 + i, i, i + 1);
    On(400, 100, 127);
    RunTo(500);
    EXPECT_EQ(Pitch(400), KeyPitch(63));
    EXPECT_EQ(Vel(400), Velocity(64));
    Off(500, 100);  // was never held
    Off(501, 63);   // back to key 62
    RunTo(600);
    EXPECT_EQ(Pitch(501), KeyPitch(62));
    for (int i = 62; i >= 1; --i) Off(600 + 62 - i, i);
    RunTo(700);
    EXPECT_EQ(Gate(699), 1.0f);
    EXPECT_EQ(Pitch(699), KeyPitch(0));
    Off(700, 0);
    RunTo(710);
    EXPECT_EQ(Gate(700), 0.0f);
}

TEST_F(MidiCv, ArbitraryBytesAndChannelValuesNeverBreakIt) {
    std::mt19937 random(1234);
    for (int channel : {17, -1, 255, 32767, -32768, 5, 0}) {
        dsp->SetValue("Channel", channel, dsp->Clock());
        dsp->SetValue("Bend Range", channel, dsp->Clock());
        dsp->SetValue("Retrigger", channel, dsp->Clock());
        for (int i = 0; i < 3000; ++i) {
            const uint32_t t = dsp->Clock() + random() % 3;
            const auto b = random();
            // Mostly note messages with any data bytes, so the stack fills and empties.
            uint8_t status = static_cast<uint8_t>(b & 0xFF);
            if ((b >> 24) % 4 != 0)
                status = static_cast<uint8_t>(((b >> 24) % 8 < 5 ? 0x90 : 0x80) | (b & 1));
            dsp->SendMidi("MIDI In", t, status, static_cast<uint8_t>(b >> 8),
                          static_cast<uint8_t>(b >> 16));
            RunTo(t + 1);
        }
        RunTo(dsp->Clock() + 200);
    }
    for (const char* pin : {"Gate", "Pitch", "Velocity"}) {
        for (float v : dsp->Output(pin)) ASSERT_TRUE(std::isfinite(v)) << pin;
    }
    for (float g : dsp->Output("Gate")) ASSERT_TRUE(g == 0.0f || g == 1.0f);
    // Channels outside 1 to 16 match nothing: with 17 every message is ignored.
    SetUp();
    dsp->SetValue("Channel", 17, 200);
    for (int c = 0; c < 16; ++c) On(300 + c, 60, 100, c);
    RunTo(400);
    EXPECT_EQ(Gate(399), 0.0f);
}

}  // namespace
