// The example patches end to end: the melody file through wy:VUDA2DU into ZOR Twin-Op.
#include <gtest/gtest.h>
#include <kvhost/midi.h>
#include <kvhost/patch.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

const std::string kExamples = KV_EXAMPLES_DIR;

struct Rendered {
    std::vector<float> samples;
    kvhost::MidiSequence midi;
    double rate;
};

Rendered Render(const std::string& patch_file) {
    const kvhost::PatchPlan plan = kvhost::LoadPatch(kExamples + "/" + patch_file);
    kvhost::Patch patch(plan);
    Rendered r{{},
               kvhost::ReadMidiFile(kExamples + "/" + *plan.midi_file, plan.sample_rate),
               plan.sample_rate};
    patch.SetMidi(r.midi);
    const uint32_t frames = patch.DefaultLength();
    EXPECT_EQ(patch.Channels(), 1);
    r.samples.resize(frames);
    patch.Render(r.samples.data(), frames);
    return r;
}

// Frequency from the upward zero crossings in [from, to), each placed by linear
// interpolation between its two samples.
double Fundamental(const std::vector<float>& x, uint32_t from, uint32_t to, double rate) {
    double first = -1.0, last = -1.0;
    int32_t crossings = 0;
    for (uint32_t n = from; n + 1 < to; ++n) {
        if (x[n] < 0.0f && x[n + 1] >= 0.0f) {
            const double at = n + static_cast<double>(-x[n]) / (x[n + 1] - x[n]);
            if (crossings == 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return (crossings - 1) / (last - first) * rate;
}

struct Note {
    uint8_t key;
    uint32_t on, off;
};

std::vector<Note> Notes(const kvhost::MidiSequence& midi) {
    std::vector<Note> notes;
    for (std::size_t i = 0; i < midi.events.size(); ++i) {
        const auto& e = midi.events[i];
        if ((e.status & 0xF0) != 0x90) continue;
        for (std::size_t j = i + 1; j < midi.events.size(); ++j) {
            const auto& f = midi.events[j];
            if ((f.status & 0xF0) == 0x80 && f.d1 == e.d1) {
                notes.push_back({e.d1, e.sample, f.sample});
                break;
            }
        }
    }
    return notes;
}

TEST(TwinOpPatch, EachNoteOfTheMelodyPlaysItsKey) {
    const Rendered r = Render("twin_op_notes.json");
    const auto notes = Notes(r.midi);
    ASSERT_EQ(notes.size(), 7u);
    for (const Note& note : notes) {
        ASSERT_LT(note.off, r.samples.size());
        const double expected = 440.0 * std::pow(2.0, (note.key - 69) / 12.0);
        const double measured = Fundamental(r.samples, note.on + 64, note.off, r.rate);
        EXPECT_NEAR(measured / expected, 1.0, 0.005)
            << "key " << int(note.key) << ": " << measured << " Hz, expected " << expected;
    }
    for (float v : r.samples) ASSERT_LE(std::fabs(v), 0.5f);
}

TEST(TwinOpPatch, TheModulatedPatchSoundsWithinRange) {
    const Rendered plain = Render("twin_op_notes.json");
    const Rendered fm = Render("twin_op_fm.json");
    ASSERT_EQ(fm.samples.size(), plain.samples.size());
    float peak = 0.0f;
    std::size_t differing = 0;
    for (std::size_t n = 0; n < fm.samples.size(); ++n) {
        ASSERT_TRUE(std::isfinite(fm.samples[n]));
        peak = std::max(peak, std::fabs(fm.samples[n]));
        differing += fm.samples[n] != plain.samples[n];
    }
    EXPECT_LE(peak, 0.5f);
    EXPECT_GT(peak, 0.45f);
    EXPECT_GT(differing, fm.samples.size() / 2);
}

}  // namespace
