// Rendering a patch for kvhost plot and taking one output's samples from it.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "kvhost/host.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "kvhost/plot.h"

namespace kvhost::plot {

namespace {

// The latest start of a plot, as the longest audio file the tool writes.
constexpr double kMaxSeconds = 3600.0;
// The most samples drawn and analysed at once (about 95 s at 44.1 kHz).
constexpr uint32_t kMaxDrawn = uint32_t{1} << 22;

// "MODULE.PIN": a patch's module names hold no dot, so the first dot splits them.
PatchPin ParseOutput(const std::string& text) {
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == text.size()) {
        throw PlotError(Fault::kUsage,
                        "--output \"" + text + "\": expected MODULE.PIN, e.g. osc.Output");
    }
    return {text.substr(0, dot), text.substr(dot + 1)};
}

// The output the patch plays when none is named: its first audio output, or else the first
// sample output of the last module in wiring order.
PatchPin DefaultOutput(const PatchPlan& plan, Patch& patch) {
    if (!plan.outputs.empty()) return plan.outputs.front();
    const std::string& last = patch.Order().back();
    DspInstance& dsp = patch.Instance(last);
    for (int32_t k = 0; k < dsp.PinCount(); ++k) {
        const PinInfo& info = dsp.DspPinInfo(k);
        if (info.IsOutput() && info.datatype == DT_FSAMPLE) return {last, info.name};
    }
    throw Error(plan.source + ": module \"" + last + "\" has no sample output to draw");
}

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", s);
    return buf;
}

// Runs one stage of the work; its failures are of `fault` (a plug-in that cannot be loaded
// stays a plug-in failure).
template <class F>
auto Staged(Fault fault, F&& stage) {
    try {
        return stage();
    } catch (const PlotError&) {
        throw;
    } catch (const LoadError& e) {
        throw PlotError(Fault::kPlugin, e.what());
    } catch (const Error& e) {
        throw PlotError(fault, e.what());
    }
}

}  // namespace

SignalPlot PlotPatch(const std::string& patch_path, const std::string& output, double from,
                     double seconds, double cycles) {
    if (!(from >= 0.0 && from < kMaxSeconds)) {
        throw PlotError(Fault::kUsage, "--from must lie from 0 up to " + Seconds(kMaxSeconds));
    }
    if (!(seconds <= kMaxSeconds)) {
        throw PlotError(Fault::kUsage, "--seconds must be at most " + Seconds(kMaxSeconds));
    }
    PatchPlan plan = Staged(Fault::kPatch, [&] { return LoadPatch(patch_path); });
    PatchPin target;
    if (!output.empty()) {
        target = ParseOutput(output);
    } else {
        target = Staged(Fault::kPatch, [&] {
            Patch probe(plan);
            return DefaultOutput(plan, probe);
        });
    }

    // The patch plays the one output into the buffer, unscaled; it checks the pin exists.
    plan.outputs = {target};
    plan.gain = 1.0;
    auto patch = Staged(Fault::kPatch, [&] {
        auto p = std::make_unique<Patch>(plan);
        DspInstance& dsp = p->Instance(target.module);
        const PinInfo& info = dsp.DspPinInfo(dsp.DspPin(target.pin));
        if (!info.IsOutput() || info.datatype != DT_FSAMPLE) {
            throw Error(plan.source + ": \"" + target.module + "." + target.pin +
                        "\" is not a sample output");
        }
        return p;
    });
    if (plan.midi_file) {
        const std::filesystem::path midi(*plan.midi_file);
        MidiSequence sequence = Staged(Fault::kMidi, [&] {
            return ReadMidiFile(
                midi.is_absolute() ? midi.string() : plan.folder + "/" + *plan.midi_file,
                plan.sample_rate);
        });
        Staged(Fault::kPatch, [&] {
            patch->SetMidi(std::move(sequence));
            return 0;
        });
    }

    const double rate = plan.sample_rate;
    const auto first = static_cast<uint64_t>(std::llround(from * rate));
    const uint64_t end = seconds > 0.0 ? first + static_cast<uint64_t>(std::llround(seconds * rate))
                                       : patch->DefaultLength();
    if (end <= first) {
        throw PlotError(Fault::kUsage, plan.source + ": nothing to draw: the patch ends at " +
                                           Seconds(static_cast<double>(end) / rate) +
                                           ", before --from");
    }
    if (end - first > kMaxDrawn) {
        throw PlotError(Fault::kUsage, "--seconds: at most " + Seconds(kMaxDrawn / rate) +
                                           " can be drawn at " + std::to_string(std::lround(rate)) +
                                           " Hz");
    }

    // The stretch before --from is run through (the patch's state depends on it) and dropped.
    std::vector<float> skipped(static_cast<std::size_t>(std::min<uint64_t>(first, 1u << 16)));
    for (uint64_t done = 0; done < first;) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(first - done, skipped.size()));
        patch->Render(skipped.data(), n);
        done += n;
    }
    std::vector<float> samples(static_cast<std::size_t>(end - first));
    patch->Render(samples.data(), static_cast<uint32_t>(end - first));

    return MakeSignalPlot(patch_path + ": " + target.module + "." + target.pin, std::move(samples),
                          rate, static_cast<double>(first) / rate, cycles);
}

}  // namespace kvhost::plot
