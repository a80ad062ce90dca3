// kvhost plot: checks the data behind each picture (spectrum, fundamental, sheet panels and
// their labels) and that the PNG written decodes to the size stated.
#include <cairo.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "kvhost/host.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "kvhost/plot.h"
#include "kvhost/voices.h"

namespace {

using namespace kvhost;
namespace fs = std::filesystem;

std::string TempPng(const std::string& name) {
    return (fs::temp_directory_path() / ("kvplot_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

// Decodes a PNG with cairo; {0, 0} when it does not decode.
plot::ImageSize DecodedSize(const std::string& path) {
    cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
    plot::ImageSize size;
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
        size = {cairo_image_surface_get_width(s), cairo_image_surface_get_height(s)};
    }
    cairo_surface_destroy(s);
    return size;
}

std::vector<float> Sines(std::size_t n, double rate, std::vector<std::pair<double, double>> parts,
                         double offset = 0.0) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        double x = offset;
        for (const auto& [hz, amp] : parts) {
            x += amp * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate);
        }
        v[i] = static_cast<float>(x);
    }
    return v;
}

TEST(Spectrum, FindsTheFundamentalNotTheLoudestHarmonic) {
    const double rate = 44100.0;
    // A plain sine: frequency within a bin, level of its amplitude (0.5 = -6 dB).
    auto sine = Sines(8192, rate, {{440.0, 0.5}});
    plot::Spectrum s = plot::AnalyseSpectrum(sine.data(), sine.size(), rate);
    EXPECT_DOUBLE_EQ(s.bin_hz, rate / 8192.0);
    EXPECT_NEAR(s.fundamental_hz, 440.0, s.bin_hz);
    EXPECT_NEAR(s.fundamental_level, 20.0 * std::log10(0.5), 1.0);

    // The third harmonic four times louder, and a DC offset: the fundamental is still 300 Hz.
    auto rich = Sines(8192, rate, {{300.0, 0.1}, {900.0, 0.4}, {1500.0, 0.05}}, 0.3);
    s = plot::AnalyseSpectrum(rich.data(), rich.size(), rate);
    EXPECT_NEAR(s.fundamental_hz, 300.0, s.bin_hz);
    EXPECT_NEAR(s.peak_level, 20.0 * std::log10(0.4), 1.0);

    // A component 60 dB under the strongest is not taken for the fundamental.
    auto spur = Sines(8192, rate, {{100.0, 0.0005}, {1000.0, 0.5}});
    s = plot::AnalyseSpectrum(spur.data(), spur.size(), rate);
    EXPECT_NEAR(s.fundamental_hz, 1000.0, s.bin_hz);
}

TEST(Spectrum, SilenceDcAndBadSamplesGiveNoFundamental) {
    std::vector<float> silence(4096, 0.0f);
    EXPECT_EQ(plot::AnalyseSpectrum(silence.data(), silence.size(), 44100.0).fundamental_hz, 0.0);
    std::vector<float> dc(4096, 0.25f);
    EXPECT_EQ(plot::AnalyseSpectrum(dc.data(), dc.size(), 44100.0).fundamental_hz, 0.0);
    std::vector<float> bad(4096, std::nanf(""));
    bad[7] = INFINITY;
    EXPECT_EQ(plot::AnalyseSpectrum(bad.data(), bad.size(), 44100.0).fundamental_hz, 0.0);
    // Too short to say anything, or no sample rate.
    EXPECT_TRUE(plot::AnalyseSpectrum(silence.data(), 3, 44100.0).level.empty());
    EXPECT_TRUE(plot::AnalyseSpectrum(silence.data(), silence.size(), 0.0).level.empty());
}

// ZOR Twin-Op alone at 440 Hz ("1->1", no feedback), rendered through the host.
std::vector<float> TwinOpAt440(uint32_t samples) {
    DspInstance dsp(Plugin::Load("ZOR Twin-Op"));
    dsp.Open();
    dsp.SetValue("Algorithm", 0, 0);
    dsp.SetConstant("OP1 FB/Level", 0.0f, 0);
    dsp.SetConstant("OP1 Pitch", 0.5f, 0);
    dsp.Run(samples);
    return dsp.Output("Output");
}

TEST(SignalPlot, TwinOpAt440HzMarksItsFundamentalAndDrawsFourCycles) {
    const double rate = 44100.0;
    auto out = TwinOpAt440(44100);
    plot::SignalPlot p = plot::MakeSignalPlot("Twin-Op", out, rate, 0.0);
    // The played frequency: increment 334,783 of a 2^25 cycle.
    const double played = 334783.0 * rate / 33554432.0;
    EXPECT_NEAR(p.spectrum.fundamental_hz, played, p.spectrum.bin_hz);
    EXPECT_NEAR(p.spectrum.fundamental_level, -6.0, 1.0);

    // Four cycles of ~100.2 samples, starting on a rising crossing within the first cycle.
    EXPECT_NEAR(static_cast<double>(p.view_count), 4.0 * rate / played + 1.0, 2.0);
    ASSERT_GT(p.view_first, 0u);
    EXPECT_LT(p.view_first, 102u);
    EXPECT_LT(p.samples[p.view_first - 1], 0.0f);
    EXPECT_GE(p.samples[p.view_first], 0.0f);

    const std::string png = TempPng("twin_op.png");
    const plot::ImageSize drawn = plot::DrawSignal(p, png);
    const plot::ImageSize decoded = DecodedSize(png);
    EXPECT_EQ(decoded.width, drawn.width);
    EXPECT_EQ(decoded.height, drawn.height);
    EXPECT_EQ(drawn.width, plot::SignalImageSize().width);
    EXPECT_GT(decoded.width, 0);
    fs::remove(png);
}

TEST(SignalPlot, SilenceAndEmptyInputStillDraw) {
    plot::SignalPlot p =
        plot::MakeSignalPlot("silent", std::vector<float>(44100, 0.0f), 44100.0, 2.0);
    EXPECT_EQ(p.spectrum.fundamental_hz, 0.0);
    EXPECT_EQ(p.view_first, 0u);
    EXPECT_EQ(p.view_count, 442u);  // 10 ms
    const std::string png = TempPng("silent.png");
    plot::DrawSignal(p, png);
    EXPECT_EQ(DecodedSize(png).height, plot::SignalImageSize().height);

    plot::SignalPlot empty = plot::MakeSignalPlot("empty", {}, 44100.0, 0.0);
    EXPECT_EQ(empty.view_count, 0u);
    plot::DrawSignal(empty, png);
    EXPECT_EQ(DecodedSize(png).width, plot::SignalImageSize().width);
    fs::remove(png);

    EXPECT_THROW(plot::DrawSignal(p, "/nonexistent-folder/x.png"), Error);
}

// A patch of one Twin-Op at 440 Hz with its output scaled down, written to a temporary file.
std::string TwinOpPatch(const std::string& name) {
    const std::string path = TempPng(name);
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(R"({"sample_rate": 44100, "block_size": 64, "seconds": 2,
        "modules": [{"name": "osc", "plugin": "ZOR Twin-Op",
                     "pins": {"Algorithm": "1->1", "OP1 FB/Level": 0, "OP1 Pitch": 5}}],
        "audio": {"outputs": ["osc.Output"], "gain": 0.25}})",
               f);
    std::fclose(f);
    return path;
}

TEST(PatchPlot, RendersTheNamedOutputFromTheGivenTime) {
    const std::string patch = TwinOpPatch("patch.json");
    const plot::SignalPlot p = plot::PlotPatch(patch, "osc.Output", 0.5, 0.25);
    EXPECT_EQ(p.title, patch + ": osc.Output");
    EXPECT_EQ(p.from_seconds, 0.5);
    EXPECT_EQ(p.samples.size(), 11025u);
    EXPECT_NEAR(p.spectrum.fundamental_hz, 334783.0 * 44100.0 / 33554432.0, p.spectrum.bin_hz);
    // The output as the module produces it, not scaled by the patch's audio gain.
    EXPECT_NEAR(p.spectrum.fundamental_level, -6.0, 1.0);
    // The same stretch as rendering from the start: the patch ran through the first 0.5 s.
    const plot::SignalPlot whole = plot::PlotPatch(patch, "", 0.0, 0.75);
    EXPECT_EQ(whole.title, patch + ": osc.Output");
    ASSERT_EQ(whole.samples.size(), 33075u);
    EXPECT_TRUE(std::equal(p.samples.begin(), p.samples.end(), whole.samples.begin() + 22050));
    // --seconds 0: to the end of the patch's own length.
    EXPECT_EQ(plot::PlotPatch(patch, "", 1.5, 0.0).samples.size(), 22050u);

    EXPECT_THROW(plot::PlotPatch(patch, "osc.Nothing", 0.0, 1.0), Error);
    EXPECT_THROW(plot::PlotPatch(patch, "osc.OP1 Pitch", 0.0, 1.0), Error);  // an input
    EXPECT_THROW(plot::PlotPatch(patch, "Output", 0.0, 1.0), Error);         // no module
    EXPECT_THROW(plot::PlotPatch(patch, "", 3.0, 0.0), Error);               // starts after the end
    EXPECT_THROW(plot::PlotPatch(patch, "", -1.0, 1.0), Error);
    EXPECT_THROW(plot::PlotPatch(patch + ".missing", "", 0.0, 1.0), Error);
    fs::remove(patch);
}

// Every panel present with its label, two cycles of samples, and a sensible fundamental.
void CheckSheet(const plot::Sheet& sheet, std::size_t panels, int columns) {
    ASSERT_EQ(sheet.panels.size(), panels);
    EXPECT_EQ(sheet.columns, columns);
    std::set<std::string> labels;
    for (const auto& panel : sheet.panels) {
        EXPECT_FALSE(panel.label.empty());
        labels.insert(panel.label);
        for (const auto& s : panel.settings) {
            // Every varying setting appears in the label as "Pin=value".
            if (panel.label.find(s.pin + "=") != std::string::npos) {
                EXPECT_NE(panel.label.find(s.pin + "=" + s.text), std::string::npos) << panel.label;
            }
            // Sample pins are shown in volts, as a patch takes them: the number copied from
            // the sheet into a patch gives the very signal the panel was rendered with.
            if (s.text.size() > 2 && s.text.compare(s.text.size() - 2, 2, " V") == 0) {
                EXPECT_DOUBLE_EQ(std::stod(s.text) * 0.1, s.value) << s.pin << "=" << s.text;
            }
        }
        ASSERT_FALSE(panel.samples.empty()) << panel.label;
        const double period = sheet.sample_rate / panel.shown_hz;
        EXPECT_NEAR(static_cast<double>(panel.samples.size()), 2.0 * period + 1.0, 1.0)
            << panel.label;
        EXPECT_GT(panel.bin_hz, 0.0);
        EXPECT_LE(std::fabs(*std::max_element(panel.samples.begin(), panel.samples.end())),
                  sheet.y_limit);
    }
    EXPECT_EQ(labels.size(), panels) << "labels are not unique";

    const std::string png = TempPng("sheet.png");
    const plot::ImageSize drawn = plot::DrawSheet(sheet, png);
    const plot::ImageSize decoded = DecodedSize(png);
    EXPECT_EQ(decoded.width, drawn.width);
    EXPECT_EQ(decoded.height, drawn.height);
    EXPECT_EQ(drawn.width, plot::SheetImageSize(sheet).width);
    const int rows = static_cast<int>(panels) / columns;
    EXPECT_GT(drawn.height, rows * 100);
    fs::remove(png);
}

const plot::Panel* Find(const plot::Sheet& sheet, const std::string& label) {
    for (const auto& p : sheet.panels) {
        if (p.label == label) return &p;
    }
    ADD_FAILURE() << "no panel \"" << label << "\"";
    return nullptr;
}

TEST(Sheet, WarpwaveEightWavesAtFourDepths) {
    const plot::Sheet sheet = plot::MakeSheet("ZOR Warpwave");
    EXPECT_EQ(sheet.plugin, "ZOR Warpwave");
    CheckSheet(sheet, 32, 4);
    EXPECT_EQ(sheet.panels[0].label, "Wave=Saw, Modulation Depth=0 V");
    EXPECT_EQ(sheet.panels[5].label, "Wave=Square, Modulation Depth=2.5 V");
    EXPECT_EQ(sheet.panels[31].label, "Wave=Reso4, Modulation Depth=10 V");
    // The depth is the raw signal: depth 0.25 is the value 0.25 on "Modulation Depth".
    EXPECT_EQ(sheet.panels[5].settings.back().value, 0.25);
    for (const auto& panel : sheet.panels) {
        // At depth 0 "Dbl-ResSine" is the octave-up sine alone.
        const double expected = panel.label == "Wave=Dbl-ResSine, Modulation Depth=0 V"
                                    ? 2.0 * panel.nominal_hz
                                    : panel.nominal_hz;
        EXPECT_NEAR(panel.fundamental_hz, expected, panel.bin_hz) << panel.label;
    }
    // Depth 0 "Saw" is the negated sine: -0.5 a quarter into the cycle, +0.5 at three quarters.
    const plot::Panel* saw = Find(sheet, "Wave=Saw, Modulation Depth=0 V");
    ASSERT_NE(saw, nullptr);
    const double period = sheet.sample_rate / saw->nominal_hz;
    EXPECT_NEAR(saw->samples[std::lround(period / 4)], -0.5f, 0.01f);
    EXPECT_NEAR(saw->samples[std::lround(3 * period / 4)], 0.5f, 0.01f);
}

TEST(Sheet, BasicVoiceSevenWavesAtThreeBands) {
    const plot::Sheet sheet = plot::MakeSheet("ZOR Basic Voice");
    CheckSheet(sheet, 21, 3);
    EXPECT_EQ(sheet.panels[0].label, "Wave=Sine, Pitch=3 V");
    EXPECT_EQ(sheet.panels[20].label, "Wave=Pulse 2, Pitch=8.5 V");
    EXPECT_EQ(sheet.panels[0].note.rfind("band 0", 0), 0u);
    EXPECT_EQ(sheet.panels[1].note.rfind("band 5", 0), 0u);
    EXPECT_EQ(sheet.panels[2].note.rfind("band 9", 0), 0u);
    for (const auto& panel : sheet.panels) {
        EXPECT_NEAR(panel.fundamental_hz, panel.nominal_hz, panel.bin_hz) << panel.label;
    }
    // Band 9 of the square is far smoother than band 0: its largest step between samples,
    // per sample of a cycle, is much smaller.
    auto steepest = [](const plot::Panel& p) {
        float m = 0.0f;
        for (std::size_t i = 1; i < p.samples.size(); ++i) {
            m = std::max(m, std::fabs(p.samples[i] - p.samples[i - 1]));
        }
        return m * static_cast<float>(p.samples.size());
    };
    const plot::Panel* sharp = Find(sheet, "Wave=Square, Pitch=3 V");
    const plot::Panel* smooth = Find(sheet, "Wave=Square, Pitch=8.5 V");
    ASSERT_TRUE(sharp && smooth);
    EXPECT_GT(steepest(*sharp), 5.0f * steepest(*smooth));
}

TEST(Sheet, TwinOpBothAlgorithmsAtSeveralLevels) {
    const plot::Sheet sheet = plot::MakeSheet("ZOR Twin-Op");
    CheckSheet(sheet, 24, 6);
    EXPECT_NE(sheet.heading.find("OP1 Pitch=4 V"), std::string::npos);
    const plot::Panel* plain = Find(sheet, "Algorithm=1->1, OP1 FB/Level=0 V");
    const plot::Panel* unmodulated =
        Find(sheet, "Algorithm=2->1, OP1 FB/Level=10 V, OP2 Pitch=4 V, OP2 Level=0 V");
    const plot::Panel* silent =
        Find(sheet, "Algorithm=2->1, OP1 FB/Level=0 V, OP2 Pitch=4 V, OP2 Level=0.5 V");
    ASSERT_TRUE(plain && unmodulated && silent);
    EXPECT_NEAR(plain->fundamental_hz, 220.0, plain->bin_hz);
    EXPECT_NEAR(unmodulated->fundamental_hz, 220.0, unmodulated->bin_hz);
    EXPECT_EQ(silent->fundamental_hz, 0.0);
    EXPECT_NE(silent->note.find("silent"), std::string::npos);
    Find(sheet, "Algorithm=2->1, OP1 FB/Level=10 V, OP2 Pitch=5 V, OP2 Level=5 V");
}

TEST(Sheet, RefusesPluginsWithoutASheet) {
    try {
        plot::MakeSheet("jx_VecMul");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("jx_VecMul"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("ZOR Warpwave"), std::string::npos) << e.what();
    }
    EXPECT_THROW(plot::MakeSheet("no such plug-in"), Error);
}

TEST(Text, NamesInOtherScriptsAreDrawnWithEveryGlyph) {
    EXPECT_EQ(plot::MissingGlyphs("examples/fm.json: osc.Output"), 0);
    EXPECT_EQ(plot::MissingGlyphs("осциллятор Ωμέγα 振荡器 オシレーター 발진기"), 0);
    // The count sees a miss: a private-use character no installed font draws.
    EXPECT_GT(plot::MissingGlyphs("\xF3\xB0\x80\x80"), 0);
}

int RunCli(std::vector<std::string> args) {
    Tool tool("kvhost");
    AddPlotCommand(tool);
    std::vector<const char*> argv{"kvhost"};
    for (const auto& a : args) argv.push_back(a.c_str());
    return tool.Main(static_cast<int>(argv.size()), argv.data());
}

TEST(Command, WritesThePngsAndEndsFailuresWithTheirExitCodes) {
    const std::string png = TempPng("cli.png");
    EXPECT_EQ(RunCli({"plot", "--sheet", "ZOR Twin-Op", "-o", png}), 0);
    EXPECT_GT(DecodedSize(png).width, 0);
    fs::remove(png);
    EXPECT_EQ(RunCli({"plot", "-o", png}), 2);                          // nothing to plot
    EXPECT_NE(RunCli({"plot", "--sheet", "ZOR Twin-Op"}), 0);           // no -o
    EXPECT_EQ(RunCli({"plot", "--sheet", "jx_VecMul", "-o", png}), 2);  // no sheet for it
    EXPECT_EQ(RunCli({"plot", "--sheet", "ZOR Nothing", "-o", png}), 3);
    EXPECT_FALSE(fs::exists(png));

    const std::string patch = TwinOpPatch("cli.json");
    EXPECT_EQ(RunCli({"plot", patch, "--pin", "osc.Output", "--from", "0.1", "-o", png}), 0);
    EXPECT_EQ(DecodedSize(png).width, plot::SignalImageSize().width);
    fs::remove(png);
    EXPECT_EQ(RunCli({"plot", patch, "--sheet", "ZOR Twin-Op", "-o", png}), 2);  // both
    EXPECT_EQ(RunCli({"plot", patch, "--pin", "osc", "-o", png}), 2);
    EXPECT_EQ(RunCli({"plot", patch, "--pin", "osc.Nothing", "-o", png}), 4);
    EXPECT_EQ(RunCli({"plot", patch, "--cycles", "0", "-o", png}), 2);
    EXPECT_EQ(RunCli({"plot", patch, "-o", "/nonexistent-folder/x.png"}), 6);
    EXPECT_FALSE(fs::exists(png));
    fs::remove(patch);
}

}  // namespace

namespace {

// `plot --note N` on a patch of voices draws the voice that played note N alone: the samples
// are that copy's output over the note, while other voices of the chord sound beside it.
TEST(NotePlot, AVoicePatchDrawsTheNotesOwnVoiceAlone) {
    const std::string path = KVHOST_EXAMPLES "/poly_chords.json";
    PatchPlan plan = LoadPatch(path);
    const MidiSequence midi = ReadMidiFile(*MidiFilePath(plan), plan.sample_rate);
    plan.gain = 1.0;
    const std::vector<RoutedNote> notes = RouteNotes(midi, plan.voices[0].count, UINT64_MAX);
    for (int note : {2, 5, 11}) {
        const RoutedNote& n = notes[static_cast<std::size_t>(note) - 1];
        const plot::SignalPlot p = plot::PlotPatch(path, "", 0.0, 0.0, 4.0, note);
        ASSERT_EQ(p.samples.size(), n.stop - n.start) << "note " << note;
        const auto voice = [&](int32_t solo) {
            Patch patch(plan);
            patch.SetMidi(midi);
            patch.SoloCopy(solo);
            std::vector<float> all(n.stop);
            patch.Render(all.data(), static_cast<uint32_t>(n.stop));
            return std::vector<float>(all.begin() + static_cast<long>(n.start), all.end());
        };
        EXPECT_EQ(p.samples, voice(n.copy)) << "note " << note << " on voice " << n.copy;
        EXPECT_NE(p.samples, voice(-1)) << "the chord's other voices are left out";
    }
}

}  // namespace
