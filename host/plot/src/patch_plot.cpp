// Rendering a patch for kvhost plot and taking one output's samples from it.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "kvhost/host.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "kvhost/plot.h"
#include "kvhost/voices.h"

namespace kvhost::plot {

namespace {

// The latest start and longest stretch of a plot, as the longest audio file the tool writes.
constexpr double kMaxSeconds = 3600.0;
// The most samples drawn and analysed at once (about 95 s at 44.1 kHz).
constexpr uint32_t kMaxDrawn = uint32_t{1} << 22;

// "MODULE.PIN": a patch's module names hold no dot, so the first dot splits them.
PatchPin ParseOutput(const std::string& text) {
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == text.size()) {
        throw Failure(kExitUsage,
                      "--pin " + QuoteText(text) + ": expected MODULE.PIN, e.g. osc.Output");
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

}  // namespace

SignalPlot PlotPatch(const std::string& patch_path, const std::string& output, double from,
                     double seconds, double cycles, int note, MidiDelivery delivery) {
    if (!(from >= 0.0 && from < kMaxSeconds)) {
        throw Failure(kExitUsage, "--from must lie from 0 up to " + Seconds(kMaxSeconds));
    }
    if (!(seconds >= 0.0 && seconds <= kMaxSeconds)) {
        throw Failure(kExitUsage, "--seconds must be 0 (to the end of the patch) or up to " +
                                      Seconds(kMaxSeconds));
    }
    PatchPlan plan = Staged(kExitPatch, [&] { return LoadPatch(patch_path); });
    PatchPin target;
    if (!output.empty()) {
        target = ParseOutput(output);
    } else {
        target = Staged(kExitPatch, [&] {
            Patch probe(plan);
            return DefaultOutput(plan, probe);
        });
    }

    // The patch plays the one output into the buffer, unscaled; it checks the pin exists.
    plan.outputs = {target};
    plan.gain = 1.0;
    auto patch = Staged(kExitPatch, [&] {
        PatchOptions options;
        options.delivery = delivery;
        auto p = std::make_unique<Patch>(plan, std::move(options));
        DspInstance& dsp = p->Instance(target.module);
        const PinInfo& info = dsp.DspPinInfo(dsp.DspPin(target.pin));
        if (!info.IsOutput() || info.datatype != DT_FSAMPLE) {
            throw Error(plan.source + ": \"" + target.module + "." + target.pin +
                        "\" is not a sample output");
        }
        return p;
    });
    MidiSequence sequence;
    if (const auto midi = MidiFilePath(plan)) {
        sequence =
            Staged(kExitMidi, [&] { return ReadMidiFile(*midi, plan.sample_rate, delivery); });
        Staged(kExitPatch, [&] {
            patch->SetMidi(sequence);
            return 0;
        });
    }

    const double rate = plan.sample_rate;
    const uint64_t length = patch->DefaultLength();
    const int32_t copies = patch->Voices() != nullptr ? patch->Voices()->Copies() : 1;
    const std::vector<RoutedNote> notes = RouteNotes(sequence, copies, length);
    uint64_t first = static_cast<uint64_t>(std::llround(from * rate));
    uint64_t end = 0;
    std::string title = patch_path + ": " + target.module + "." + target.pin;
    if (note > 0) {
        if (static_cast<std::size_t>(note) > notes.size()) {
            throw Failure(kExitUsage, "--note " + std::to_string(note) + ": " + plan.source +
                                          " plays " + std::to_string(notes.size()) + " note" +
                                          (notes.size() == 1 ? "" : "s"));
        }
        const RoutedNote& n = notes[static_cast<std::size_t>(note) - 1];
        first = n.start;
        end = std::max(n.stop, n.start + 1);
        title += ", note " + std::to_string(note) + " (key " + std::to_string(n.key) + ")";
        // In a voice group, the note's own voice alone.
        if (copies > 1 && patch->Copies(target.module) > 1) {
            patch->SoloCopy(n.copy);
            title += ", voice " + std::to_string(n.copy + 1);
        }
    } else {
        if (first >= length) {
            throw Failure(kExitUsage, "--from " + Seconds(from) + " lies beyond the end of " +
                                          plan.source + " at " +
                                          Seconds(static_cast<double>(length) / rate));
        }
        if (seconds > 0.0) {
            const auto count = static_cast<uint64_t>(std::llround(seconds * rate));
            if (count < 1) {
                throw Failure(kExitUsage, "--seconds " + Seconds(seconds) +
                                              " is shorter than one sample at " +
                                              std::to_string(std::lround(rate)) + " Hz");
            }
            end = std::min(first + count, length);  // the caller says when it is cut
        } else {
            end = length;
        }
    }
    if (end - first > kMaxDrawn) {
        throw Failure(kExitUsage, "--seconds: at most " + Seconds(kMaxDrawn / rate) +
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

    SignalPlot p = MakeSignalPlot(std::move(title), std::move(samples), rate,
                                  static_cast<double>(first) / rate, cycles);
    for (const RoutedNote& n : notes) {
        if (n.start < end && n.stop > first) ++p.notes;
    }
    return p;
}

}  // namespace kvhost::plot
