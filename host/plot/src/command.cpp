// The "plot" subcommand of the kvhost tool: a patch output's waveform and spectrum, or a sheet
// of small waveforms for every choice of an oscillator.
#include "kvhost/command.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <string>

#include "kvhost/host.h"
#include "kvhost/patch.h"
#include "kvhost/plot.h"

namespace kvhost {

namespace {

struct PlotOptions {
    std::string patch;
    std::string sheet;
    std::string pin;         // MODULE.PIN
    std::string old_output;  // the same, under the option's former name
    std::string png;
    double from = 0.0;
    double seconds = 1.0;
    double cycles = 4.0;
    int note = 0;
    bool raw_midi = false;
    CLI::Option* from_option = nullptr;
    CLI::Option* seconds_option = nullptr;
};

int RunPlot(PlotOptions o) {
    if (o.patch.empty() == o.sheet.empty()) {
        throw Failure(kExitUsage, "give either a PATCH or --sheet PLUGIN (exactly one)");
    }
    if (!o.old_output.empty()) {
        if (!o.pin.empty()) throw Failure(kExitUsage, "give --pin only (--output is its old name)");
        std::fprintf(stderr, "kvhost: note: plot's --output is now --pin; --output will go\n");
        o.pin = o.old_output;
    }
    if (!o.sheet.empty()) {
        const std::string plugin = ResolvePluginName(o.sheet);
        CheckOutputPath(o.png, {".png"}, {plugin}, "picture file");
        const plot::Sheet sheet = plot::MakeSheet(plugin);
        const plot::ImageSize size = plot::DrawSheet(sheet, o.png);
        std::printf("%s: %zu panels of %s, %dx%d\n", o.png.c_str(), sheet.panels.size(),
                    sheet.plugin.c_str(), size.width, size.height);
        return kExitOk;
    }
    if (!(o.cycles > 0.0 && o.cycles <= 1e6)) {
        throw Failure(kExitUsage, "--cycles must be above 0 (and at most 1e6)");
    }
    if (o.note != 0 && (o.from_option->count() > 0 || o.seconds_option->count() > 0)) {
        throw Failure(kExitUsage,
                      "--note sets the stretch itself: give it without --from and "
                      "--seconds");
    }
    std::vector<std::string> inputs = {o.patch};
    try {
        const PatchPlan plan = LoadPatch(o.patch);
        if (const auto midi = MidiFilePath(plan)) inputs.push_back(*midi);
    } catch (const Error&) {
        // PlotPatch reports the patch's faults.
    }
    CheckOutputPath(o.png, {".png"}, inputs, "picture file");
    const plot::SignalPlot p =
        plot::PlotPatch(o.patch, o.pin, o.from, o.note != 0 ? 0.0 : o.seconds, o.cycles, o.note,
                        o.raw_midi ? MidiDelivery::kRaw : MidiDelivery::kHost);
    const plot::ImageSize size = plot::DrawSignal(p, o.png);
    if (o.note == 0 && o.seconds > 0.0 &&
        static_cast<double>(p.samples.size()) < std::round(o.seconds * p.sample_rate)) {
        std::fprintf(stderr, "kvhost: note: the stretch is cut at the patch's end, after %g s\n",
                     static_cast<double>(p.samples.size()) / p.sample_rate);
    }
    if (p.notes > 1) {
        std::printf(
            "%s: %s, %zu notes in the stretch, no single fundamental (--note N plots "
            "one), %dx%d\n",
            o.png.c_str(), p.title.c_str(), p.notes, size.width, size.height);
    } else if (p.spectrum.fundamental_hz > 0.0) {
        std::printf("%s: %s, fundamental %.2f Hz (%.1f dB), %dx%d\n", o.png.c_str(),
                    p.title.c_str(), p.spectrum.fundamental_hz, p.spectrum.fundamental_level,
                    size.width, size.height);
    } else {
        std::printf("%s: %s, no fundamental found, %dx%d\n", o.png.c_str(), p.title.c_str(),
                    size.width, size.height);
    }
    return kExitOk;
}

}  // namespace

void AddPlotCommand(Tool& tool) {
    auto options = std::make_shared<PlotOptions>();
    CLI::App* cmd = tool.Add(
        "plot",
        "draw a patch output (waveform over a few cycles and its spectrum) to a PNG, or with "
        "--sheet a sheet of small waveforms for every choice of an oscillator",
        [options] { return RunPlot(*options); });
    cmd->add_option("PATCH", options->patch, "patch file (JSON) to render");
    cmd->add_option("--sheet", options->sheet,
                    "draw the sheet of this plug-in (name, path or id): \"ZOR Warpwave\", "
                    "\"ZOR Basic Voice\" or \"ZOR Twin-Op\"");
    cmd->add_option("--pin", options->pin,
                    "the output to draw, as MODULE.PIN (default: the patch's first audio output)");
    cmd->add_option("--output", options->old_output, "the former name of --pin (deprecated)");
    options->from_option =
        cmd->add_option("--from", options->from, "start of the analysed stretch, in seconds")
            ->capture_default_str();
    options->seconds_option =
        cmd->add_option("--seconds", options->seconds,
                        "length of the analysed stretch, in seconds: at least one sample, at "
                        "most 3600 (0: to the end of the patch)")
            ->capture_default_str();
    cmd->add_option("--note", options->note,
                    "draw the N-th note of the patch's MIDI (from its note-on to its note-off)")
        ->check(CLI::Range(1, 1 << 30));
    cmd->add_option("--cycles", options->cycles, "cycles of the fundamental in the waveform")
        ->capture_default_str();
    cmd->add_flag("--raw-midi", options->raw_midi,
                  "deliver MIDI as the file holds it (by default a note-on of velocity 0 "
                  "arrives as a note-off)");
    cmd->add_option("-o", options->png, "PNG file to write")->required();
}

}  // namespace kvhost
