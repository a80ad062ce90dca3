// The C functions a web page's JavaScript calls (the WebAssembly build): one patch at a time,
// opened from JSON text at the page's sample rate, its MIDI file from bytes, whole blocks
// rendered ahead and handed out in the sizes the audio thread asks for, live MIDI, pin values
// from text. A call that fails answers 0 (or null) and kv_error() tells why.
#include <emscripten.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kvhost/patch.h"

void LinkModules();  // linked_modules.cpp, generated: every module of the build

namespace {

using kvhost::Error;
using kvhost::Patch;
using kvhost::PatchPlan;

struct Session {
    PatchPlan plan;
    std::unique_ptr<Patch> patch;
    std::vector<float> block;   // one block of frames, interleaved
    std::size_t ahead = 0;      // frames of `block` not yet handed out (they are its last)
    std::vector<float> planar;  // what kv_render answers: channel after channel
};

Session g_session;
std::string g_error;
std::string g_answer;  // the text kv_info and kv_modules answer

// Runs `work`; a failure becomes kv_error()'s text and the answer `failed`.
template <class Work, class Result>
Result Guarded(Work work, Result failed) {
    try {
        g_error.clear();
        return work();
    } catch (const std::exception& e) {
        g_error = e.what();
    } catch (...) {
        g_error = "unknown failure";
    }
    return failed;
}

Patch& Open() {
    if (!g_session.patch) throw Error("no patch is open");
    return *g_session.patch;
}

// The rate rule of live hosts: a patch that names a rate plays at it or not at all; one that
// names none plays at the page's. Rate 0: the patch's own rate, as `render` takes it.
void TakeRate(PatchPlan& plan, double rate) {
    if (rate == 0.0) return;
    if (!(rate > 0.0) || !std::isfinite(rate)) throw Error("the page's sample rate is not usable");
    if (plan.sample_rate_given && plan.sample_rate != rate) {
        const auto hz = [](double r) {
            char text[32];
            std::snprintf(text, sizeof text, "%g Hz", r);
            return std::string(text);
        };
        throw Error(plan.source + " plays at " + hz(plan.sample_rate) + " but this page runs at " +
                    hz(rate) +
                    "; leave \"sample_rate\" out of the patch to play at the page's rate");
    }
    plan.sample_rate = rate;
}

// `frames` frames into the planar answer: whole blocks of the patch, rendered ahead as needed,
// so the patch runs block by block whatever size the caller asks for.
void RenderFrames(uint32_t frames) {
    Patch& patch = Open();
    if (frames == 0) throw Error("no frames asked for");
    const std::size_t channels = static_cast<std::size_t>(patch.Channels());
    const std::size_t block = static_cast<std::size_t>(g_session.plan.block_size);
    g_session.planar.resize(channels * frames);
    for (uint32_t i = 0; i < frames; ++i) {
        if (g_session.ahead == 0) {
            patch.Render(g_session.block.data(), static_cast<uint32_t>(block));
            g_session.ahead = block;
        }
        const std::size_t at = (block - g_session.ahead) * channels;
        for (std::size_t c = 0; c < channels; ++c) {
            g_session.planar[c * frames + i] = g_session.block[at + c];
        }
        --g_session.ahead;
    }
}

// A pin value from a user's text, checked as a patch setting is, reaching every copy of the
// module from the next frame the patch renders.
void SetPin(const std::string& module, const std::string& pin, const std::string& text) {
    Patch& patch = Open();
    kvhost::DspInstance& first = patch.Instance(module);
    const int32_t index = kvhost::PinNamed(first.Pins(), module, pin);
    const kvhost::PinInfo& info = first.Pins()[static_cast<std::size_t>(index)];
    const std::string at = "module \"" + module + "\", pin \"" + info.name + "\"";
    if (info.dsp_index < 0) throw Error(at + " belongs to the GUI side");
    if (info.IsOutput()) throw Error(at + " is an output and cannot be set");
    if (info.datatype == DT_MIDI_STREAM || info.datatype == DT_STRING) {
        throw Error(at + " takes no value");
    }
    for (const auto& w : g_session.plan.wires) {
        if (w.to.module == module && w.to.pin == info.name) throw Error(at + " is wired");
    }
    const kvhost::UserValue checked = kvhost::CheckUserValue(info, text);
    if (!checked.value) throw Error(at + ": " + checked.refusal);
    for (int32_t k = 0; k < patch.Copies(module); ++k) {
        kvhost::DspInstance& dsp = patch.Instance(module, k);
        if (info.datatype == DT_FSAMPLE) {
            dsp.SetConstant(info.dsp_index, static_cast<float>(*checked.value * 0.1), dsp.Clock());
        } else {
            dsp.SetValue(info.dsp_index, *checked.value, dsp.Clock());
        }
    }
}

}  // namespace

extern "C" {

// Opens the patch `json` (`name` stands for its file in messages) at `rate` Hz (0: at the rate
// `render` uses), closing the one open before. 1 when open.
EMSCRIPTEN_KEEPALIVE int kv_open(const char* json, const char* name, double rate) {
    g_session = Session{};
    return Guarded(
        [&] {
            PatchPlan plan = kvhost::ParsePatch(json, name);
            TakeRate(plan, rate);
            g_session.patch = std::make_unique<Patch>(plan);
            g_session.plan = std::move(plan);
            g_session.block.assign(static_cast<std::size_t>(g_session.plan.block_size) *
                                       static_cast<std::size_t>(g_session.patch->Channels()),
                                   0.0f);
            return 1;
        },
        0);
}

// The patch's MIDI file from its bytes, played from the start as `render` plays it.
EMSCRIPTEN_KEEPALIVE int kv_midi_file(const uint8_t* bytes, uint32_t size, const char* name) {
    return Guarded(
        [&] {
            Patch& patch = Open();
            patch.SetMidi(kvhost::ParseMidi(std::vector<uint8_t>(bytes, bytes + size),
                                            patch.SampleRate(), name));
            return 1;
        },
        0);
}

// The open patch as JSON: sample_rate, block_size, channels, length (render's default, in
// frames), midi_file (as the patch names it, or null), midi_input (whether it takes notes).
EMSCRIPTEN_KEEPALIVE const char* kv_info() {
    return Guarded(
        [] {
            const Patch& patch = Open();
            const PatchPlan& plan = g_session.plan;
            nlohmann::json info = {{"sample_rate", plan.sample_rate},
                                   {"block_size", plan.block_size},
                                   {"channels", patch.Channels()},
                                   {"length", patch.DefaultLength()},
                                   {"midi_input", patch.HasMidiInput()}};
            info["midi_file"] = plan.midi_file ? nlohmann::json(*plan.midi_file) : nullptr;
            g_answer = info.dump();
            return g_answer.c_str();
        },
        static_cast<const char*>(nullptr));
}

// The next `frames` frames, channel after channel; valid until the next call. Null on failure.
EMSCRIPTEN_KEEPALIVE const float* kv_render(uint32_t frames) {
    return Guarded(
        [&] {
            RenderFrames(frames);
            return static_cast<const float*>(g_session.planar.data());
        },
        static_cast<const float*>(nullptr));
}

// One live MIDI message for the patch's MIDI input, from the next frame the patch renders.
EMSCRIPTEN_KEEPALIVE int kv_midi(int status, int d1, int d2) {
    return Guarded(
        [&] {
            if (status < 0x80 || status > 0xEF || d1 < 0 || d1 > 127 || d2 < 0 || d2 > 127) {
                throw Error("not a channel message: " + std::to_string(status) + " " +
                            std::to_string(d1) + " " + std::to_string(d2));
            }
            Patch& patch = Open();
            // A keyboard's note-on of velocity 0 ends its note, as in a MIDI file.
            const kvhost::MidiEvent m =
                kvhost::AsDelivered({0, static_cast<uint8_t>(status), static_cast<uint8_t>(d1),
                                     static_cast<uint8_t>(d2)});
            patch.SendMidi(patch.Clock(), m.status, m.d1, m.d2);
            return 1;
        },
        0);
}

// A pin's value from a user's text ("On", "2->1", 0.6; volts for sample inputs).
EMSCRIPTEN_KEEPALIVE int kv_set(const char* module, const char* pin, const char* text) {
    return Guarded(
        [&] {
            SetPin(module, pin, text);
            return 1;
        },
        0);
}

// Why the last call failed; empty after a call that succeeded.
EMSCRIPTEN_KEEPALIVE const char* kv_error() {
    return g_error.c_str();
}

// The modules built in, as JSON: [{"deliverable", "id", "name"}].
EMSCRIPTEN_KEEPALIVE const char* kv_modules() {
    return Guarded(
        [] {
            nlohmann::json list = nlohmann::json::array();
            for (const std::string& deliverable : kvhost::Plugin::LinkedNames()) {
                const auto plugin = kvhost::Plugin::Load(deliverable);
                const char* id = plugin->Info().id;
                list.push_back({{"deliverable", deliverable},
                                {"id", id != nullptr ? id : ""},
                                {"name", plugin->Name()}});
            }
            g_answer = list.dump();
            return g_answer.c_str();
        },
        static_cast<const char*>(nullptr));
}

EMSCRIPTEN_KEEPALIVE void kv_close() {
    g_session = Session{};
}

}  // extern "C"

// The program's start: the modules linked in before the page calls anything.
int main() {
    LinkModules();
    return 0;
}
