// The C functions a web page's JavaScript calls (the WebAssembly build): one patch at a time,
// opened from JSON text at the page's sample rate, its MIDI file from bytes, whole blocks
// rendered ahead and handed out in the sizes the audio thread asks for, live MIDI, pin values
// from text, and the patch's modules as the panel's page shows them (kv_layout). A call that
// fails answers 0 (or null) and kv_error() tells why.
#include <emscripten.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kvhost/panel_layout.h"
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
    // Per module (in Order()) and pin: the value as the page shows it (as `set` takes it),
    // read when the patch opened and kept as values are set.
    std::vector<std::vector<std::string>> values;
    // Per module and pin: the number read last (NaN for pins holding none), so kv_changes
    // formats a value only when it moved.
    std::vector<std::vector<double>> read;
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

// The shortest text of `value` that `same` takes as it: the fewest decimals ("10", "0.3"),
// or where 17 decimals do not do, the fewest digits ("1e-20").
template <class Same>
std::string Shortest(double value, Same same) {
    char text[400];
    for (int decimals = 0; decimals <= 17; ++decimals) {
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        if (same(std::strtod(text, nullptr))) return text;
    }
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (same(std::strtod(text, nullptr))) break;
    }
    return text;
}

// A DSP-side pin's value as the panel's page shows it: a choice or switch by its number,
// a sample pin in volts (the text whose tenth is this very sample value), a float as the
// shortest text of it.
std::string ValueText(const kvhost::PinInfo& pin, double value) {
    const auto f = static_cast<float>(value);
    switch (pin.datatype) {
        case DT_FSAMPLE:
            return Shortest(static_cast<double>(f) * 10.0,
                            [&](double volts) { return static_cast<float>(volts * 0.1) == f; });
        case DT_REAL32:
            return Shortest(value, [&](double d) { return static_cast<float>(d) == f; });
        default:
            return std::to_string(std::llround(value));
    }
}

bool HoldsNumber(const kvhost::PinInfo& p) {
    return p.dsp_index >= 0 && p.datatype != DT_MIDI_STREAM && p.datatype != DT_STRING;
}

void ReadValues() {
    Patch& patch = *g_session.patch;
    g_session.values.clear();
    g_session.read.clear();
    for (const std::string& module : patch.Order()) {
        const kvhost::DspInstance& dsp = patch.Instance(module);
        std::vector<std::string> values;
        std::vector<double> read;
        for (const kvhost::PinInfo& p : dsp.Pins()) {
            read.push_back(HoldsNumber(p) ? dsp.ReadValue(p.dsp_index) : std::nan(""));
            values.push_back(HoldsNumber(p) ? ValueText(p, read.back()) : "");
        }
        g_session.values.push_back(std::move(values));
        g_session.read.push_back(std::move(read));
    }
}

// The pins whose value moved since the last call (outputs, wired inputs), as the panel's
// "pins" changes: [[module, pin, value]] counted in the layout, or "" when none moved. Reads
// numbers only; text is made for the pins that moved.
void Changes(std::string& out) {
    Patch& patch = Open();
    out.clear();
    const auto& order = patch.Order();
    for (std::size_t n = 0; n < order.size(); ++n) {
        const kvhost::DspInstance& dsp = patch.Instance(order[n]);
        const auto& pins = dsp.Pins();
        for (std::size_t i = 0; i < pins.size(); ++i) {
            if (!HoldsNumber(pins[i])) continue;
            const double now = dsp.ReadValue(pins[i].dsp_index);
            double& last = g_session.read[n][i];
            if (now == last || (std::isnan(now) && std::isnan(last))) continue;
            last = now;
            std::string text = ValueText(pins[i], now);
            if (text == g_session.values[n][i]) continue;
            out += out.empty() ? "[" : ",";
            out += "[" + std::to_string(n) + "," + std::to_string(pins[i].index) + "," +
                   nlohmann::json(text).dump() + "]";
            g_session.values[n][i] = std::move(text);
        }
    }
    if (!out.empty()) out += "]";
}

std::size_t NodeOf(const std::string& module) {
    const auto& order = Open().Order();
    const auto at = std::find(order.begin(), order.end(), module);
    if (at == order.end()) throw Error("no module named " + kvhost::QuoteText(module));
    return static_cast<std::size_t>(at - order.begin());
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
    const double value = info.datatype == DT_FSAMPLE ? *checked.value * 0.1 : *checked.value;
    const std::size_t node = NodeOf(module);
    g_session.values[node][static_cast<std::size_t>(index)] = ValueText(info, value);
    // Through the patch, as play and the panel set a pin: every copy, from the next block.
    patch.Set(static_cast<int32_t>(node), info.dsp_index, value, patch.RunClock());
}

// The open patch as the panel's page shows it. Every pin the DSP side holds is set here (no
// GUI sides run in a page); a sample output that is one of the patch's outputs gets a scope
// (the page draws it from the output), the others a read-out of the value they opened with.
kvhost::PanelLayout Layout() {
    Patch& patch = Open();
    const PatchPlan& plan = g_session.plan;
    kvhost::PanelLayout layout;
    layout.title = std::filesystem::path(plan.source).filename().string();
    layout.mode = "in this page";
    layout.wires = plan.wires;
    layout.midi_input = patch.HasMidiInput();
    layout.sample_rate = patch.SampleRate();
    const auto& order = patch.Order();
    for (std::size_t n = 0; n < order.size(); ++n) {
        const kvhost::DspInstance& dsp = patch.Instance(order[n]);
        const KVModuleInfo& info = dsp.GetPlugin()->Info();
        kvhost::PanelModule m;
        m.name = order[n];
        m.plugin = dsp.GetPlugin()->Name();
        m.about = info.about != nullptr ? info.about : "";
        for (const kvhost::PinInfo& p : dsp.Pins()) {
            std::string from;
            for (const auto& w : plan.wires) {
                if (w.to.module == m.name && w.to.pin == p.name)
                    from = w.from.module + "." + w.from.pin;
            }
            kvhost::PanelPin pin = kvhost::PanelPinFor(p, false, true, from);
            pin.value = g_session.values[n][static_cast<std::size_t>(p.index)];
            if (pin.control == kvhost::PinControl::kScope &&
                std::none_of(plan.outputs.begin(), plan.outputs.end(), [&](const auto& o) {
                    return o.module == m.name && kvhost::PinsNamed(dsp.Pins(), o.pin).size() > 0 &&
                           kvhost::PinsNamed(dsp.Pins(), o.pin).front() == p.index;
                })) {
                pin.control = kvhost::PinControl::kReadout;
                pin.note = "not an audio output";
            }
            m.pins.push_back(std::move(pin));
        }
        layout.modules.push_back(std::move(m));
    }
    return layout;
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
            ReadValues();
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
// frames), midi_file (as the patch names it, or null), midi_input (whether it takes notes),
// outputs ([module, pin] for each channel).
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
            nlohmann::json outputs = nlohmann::json::array();
            for (const auto& o : plan.outputs) outputs.push_back({o.module, o.pin});
            info["outputs"] = std::move(outputs);
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

// The open patch as the panel server's "layout" message: modules with their pins' controls,
// choices and values, wires, midi_input, sample_rate (the patch's own).
EMSCRIPTEN_KEEPALIVE const char* kv_layout() {
    return Guarded(
        [] {
            g_answer = kvhost::PanelLayoutMessage(Layout()).dump(
                -1, ' ', false, nlohmann::json::error_handler_t::replace);
            return g_answer.c_str();
        },
        static_cast<const char*>(nullptr));
}

// The pins whose value moved since the last call: "[[module, pin, value], ...]" (module and pin
// counted in kv_layout), or "" when none did. Called by the audio thread between quanta.
EMSCRIPTEN_KEEPALIVE const char* kv_changes() {
    return Guarded(
        [] {
            Changes(g_answer);
            return g_answer.c_str();
        },
        static_cast<const char*>(nullptr));
}

// A pin's value as the page shows it (as kv_layout gives it, kept as values are set).
EMSCRIPTEN_KEEPALIVE const char* kv_value(const char* module, const char* pin) {
    return Guarded(
        [&] {
            const std::size_t n = NodeOf(module);
            const kvhost::DspInstance& dsp = Open().Instance(module);
            const int32_t index = kvhost::PinNamed(dsp.Pins(), module, pin);
            g_answer = g_session.values[n][static_cast<std::size_t>(index)];
            return g_answer.c_str();
        },
        static_cast<const char*>(nullptr));
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
