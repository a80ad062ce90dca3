// The "plot" subcommand of the kvhost tool: a patch output's waveform and spectrum, or a sheet
// of small waveforms for every choice of an oscillator.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "kvhost/host.h"
#include "kvhost/plot.h"

namespace kvhost {

namespace {

struct PlotOptions {
    std::string patch;
    std::string sheet;
    std::string output;  // MODULE.PIN
    std::string png;
    double from = 0.0;
    double seconds = 1.0;
    double cycles = 4.0;
};

void RunPlot(const PlotOptions& o) {
    if (o.patch.empty() == o.sheet.empty()) {
        throw plot::PlotError(plot::Fault::kUsage,
                              "give either a PATCH or --sheet PLUGIN (exactly one)");
    }
    if (!o.sheet.empty()) {
        const plot::Sheet sheet = plot::MakeSheet(o.sheet);
        const plot::ImageSize size = plot::DrawSheet(sheet, o.png);
        std::printf("%s: %zu panels of %s, %dx%d\n", o.png.c_str(), sheet.panels.size(),
                    sheet.plugin.c_str(), size.width, size.height);
        return;
    }
    if (!(o.cycles > 0.0 && o.cycles <= 1e6)) {
        throw plot::PlotError(plot::Fault::kUsage, "--cycles must be above 0 (and at most 1e6)");
    }
    const plot::SignalPlot p = plot::PlotPatch(o.patch, o.output, o.from, o.seconds, o.cycles);
    const plot::ImageSize size = plot::DrawSignal(p, o.png);
    if (p.spectrum.fundamental_hz > 0.0) {
        std::printf("%s: %s, fundamental %.2f Hz (%.1f dB), %dx%d\n", o.png.c_str(),
                    p.title.c_str(), p.spectrum.fundamental_hz, p.spectrum.fundamental_level,
                    size.width, size.height);
    } else {
        std::printf("%s: %s, no fundamental found, %dx%d\n", o.png.c_str(), p.title.c_str(),
                    size.width, size.height);
    }
}

}  // namespace

void AddPlotCommand(CLI::App& app) {
    auto options = std::make_shared<PlotOptions>();
    CLI::App* cmd = app.add_subcommand(
        "plot",
        "draw a patch output (waveform over a few cycles and its spectrum) to a PNG, or with "
        "--sheet a sheet of small waveforms for every choice of an oscillator");
    cmd->add_option("PATCH", options->patch, "patch file (JSON) to render");
    cmd->add_option("--sheet", options->sheet,
                    "draw the sheet of this plug-in (name or path): \"ZOR Warpwave\", "
                    "\"ZOR Basic Voice\" or \"ZOR Twin-Op\"");
    cmd->add_option("--output", options->output,
                    "the output to draw, as MODULE.PIN (default: the patch's first audio output)");
    cmd->add_option("--from", options->from, "start of the analysed stretch, in seconds")
        ->capture_default_str();
    cmd->add_option("--seconds", options->seconds,
                    "length of the analysed stretch, in seconds (0: to the end of the patch)")
        ->capture_default_str();
    cmd->add_option("--cycles", options->cycles, "cycles of the fundamental in the waveform")
        ->capture_default_str();
    cmd->add_option("-o", options->png, "PNG file to write")->required();
    // Failures end the command with the tool's exit code for their kind; the message is
    // printed here, since the parser reports a run-time error without one.
    cmd->callback([options]() {
        int code = 1;
        try {
            RunPlot(*options);
            return;
        } catch (const plot::PlotError& e) {
            std::fprintf(stderr, "kvhost plot: %s\n", e.what());
            code = static_cast<int>(e.fault);
        } catch (const LoadError& e) {
            std::fprintf(stderr, "kvhost plot: %s\n", e.what());
            code = static_cast<int>(plot::Fault::kPlugin);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kvhost plot: %s\n", e.what());
        }
        throw CLI::RuntimeError(code);
    });
}

}  // namespace kvhost
