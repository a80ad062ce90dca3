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

// Runs one stage of the work; its failures are of kind `code` (a plug-in that cannot be
// loaded stays a plug-in failure).
template <class F>
auto Staged(int code, F&& stage) {
    try {
        return stage();
    } catch (const Failure&) {
        throw;
    } catch (const LoadError& e) {
        throw Failure(kExitPlugin, e.what());
    } catch (const Error& e) {
        throw Failure(code, e.what());
    }
}

// One note of a MIDI sequence, from its note-on to its note-off.
struct Note {
    uint64_t start, stop;
    uint8_t channel, key;
};

// The notes in order of their note-ons; one still sounding at the sequence's end lasts until
// `end`. A note-on of velocity 0 that reaches the module as such (raw delivery) is a strike of
// its own, as the module takes it.
std::vector<Note> Notes(const MidiSequence& sequence, uint64_t end) {
    constexpr uint64_t kSounding = UINT64_MAX;
    std::vector<Note> notes;
    std::vector<std::size_t> sounding;
    for (const MidiEvent& e : sequence.events) {
        const int kind = e.status & 0xF0;
        if (kind != 0x80 && kind != 0x90) continue;
        const auto channel = static_cast<uint8_t>(e.status & 0x0F);
        // A note-off, or a new strike of the same key, ends the key's sounding note.
        for (auto it = sounding.begin(); it != sounding.end(); ++it) {
            Note& n = notes[*it];
            if (n.channel == channel && n.key == e.d1) {
                n.stop = e.sample;
                sounding.erase(it);
                break;
            }
        }
        if (kind == 0x90) {
            notes.push_back({e.sample, kSounding, channel, e.d1});
            sounding.push_back(notes.size() - 1);
        }
    }
    for (std::size_t i : sounding) notes[i].stop = std::max(end, notes[i].start);
    return notes;
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
        auto p = std::make_unique<Patch>(plan);
        DspInstance& dsp = p->Instance(target.module);
        const PinInfo& info = dsp.DspPinInfo(dsp.DspPin(target.pin));
        if (!info.IsOutput() || info.datatype != DT_FSAMPLE) {
            throw Error(plan.source + ": \"" + target.module + "." + target.pin +
                        "\" is not a sample output");
        }
        return p;
    });
    MidiSequence sequence;
    if (plan.midi_file) {
        const std::filesystem::path midi(*plan.midi_file);
        sequence = Staged(kExitMidi, [&] {
            return ReadMidiFile(
                midi.is_absolute() ? midi.string() : plan.folder + "/" + *plan.midi_file,
                plan.sample_rate, delivery);
        });
        Staged(kExitPatch, [&] {
            patch->SetMidi(sequence);
            return 0;
        });
    }

    const double rate = plan.sample_rate;
    const uint64_t length = patch->DefaultLength();
    const std::vector<Note> notes = Notes(sequence, length);
    uint64_t first = static_cast<uint64_t>(std::llround(from * rate));
    uint64_t end = 0;
    std::string title = patch_path + ": " + target.module + "." + target.pin;
    if (note > 0) {
        if (static_cast<std::size_t>(note) > notes.size()) {
            throw Failure(kExitUsage, "--note " + std::to_string(note) + ": " + plan.source +
                                          " plays " + std::to_string(notes.size()) + " note" +
                                          (notes.size() == 1 ? "" : "s"));
        }
        const Note& n = notes[static_cast<std::size_t>(note) - 1];
        first = n.start;
        end = std::max(n.stop, n.start + 1);
        title += ", note " + std::to_string(note) + " (key " + std::to_string(n.key) + ")";
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
    for (const Note& n : notes) {
        if (n.start < end && n.stop > first) ++p.notes;
    }
    return p;
}

}  // namespace kvhost::plot
