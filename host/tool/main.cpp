// kvhost: examine, drive and render Kolvex plug-ins without the host application.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "demo.h"
#include "kvhost/audio_file.h"
#include "kvhost/host.h"
#include "kvhost/lv2.h"
#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "kvhost/validate.h"
#include "kvhost/plot.h"

namespace {

using namespace kvhost;

// Exit codes, one per kind of failure.
enum Exit : int {
    kOk = 0,
    kInternal = 1,  // an unexpected failure inside kvhost
    kUsage = 2,     // the command line is wrong
    kPlugin = 3,    // a plug-in cannot be loaded or has no such side
    kPatch = 4,     // the patch file is malformed or names what does not exist
    kMidi = 5,      // the MIDI file cannot be read
    kAudio = 6,     // the audio file cannot be written
    kPin = 7,       // a pin name or value given on the command line is wrong
};

const char* kExitHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  1  unexpected failure inside kvhost\n"
    "  2  wrong command line\n"
    "  3  plug-in cannot be loaded (missing file, not a library, no entry points,\n"
    "     no GUI side)\n"
    "  4  patch file malformed, or names a module, pin or value that does not exist\n"
    "  5  MIDI file cannot be read\n"
    "  6  audio file cannot be written\n"
    "  7  pin name or value on the command line is wrong\n";

struct Failure {
    int code;
    std::string message;
};

[[noreturn]] void Fail(int code, const std::string& message) {
    throw Failure{code, message};
}

std::string Quote(const std::string& s) {
    return "\"" + s + "\"";
}

std::shared_ptr<Plugin> LoadPlugin(const std::string& name) {
    try {
        return Plugin::Load(name);
    } catch (const Error& e) {
        Fail(kPlugin, e.what());
    }
}

bool HasGui(const std::shared_ptr<Plugin>& plugin) {
    try {
        GuiInstance gui(plugin);
        return true;
    } catch (const LoadError&) {
        return false;
    }
}

// ---- info ---------------------------------------------------------------------------

int Info(const std::string& name, bool as_json) {
    auto plugin = LoadPlugin(name);
    std::unique_ptr<DspInstance> dsp;
    try {
        dsp = std::make_unique<DspInstance>(plugin);
    } catch (const Error& e) {
        Fail(kPlugin, e.what());
    }
    const KVModuleInfo& info = plugin->Info();
    const bool gui = HasGui(plugin);
    if (as_json) {
        nlohmann::json j;
        j["file"] = plugin->Path();
        j["name"] = plugin->Name();
        j["id"] = info.id != nullptr ? info.id : "";
        j["about"] = info.about != nullptr ? info.about : "";
        j["flags"] = info.flags;
        j["flags_ext"] = info.flags_ext;
        j["frame_revision"] = info.frame_revision;
        j["gui_side"] = gui;
        j["dsp_pin_count"] = dsp->PinCount();
        j["pins"] = nlohmann::json::array();
        for (const PinInfo& p : dsp->Pins()) {
            nlohmann::json pj;
            pj["index"] = p.index;
            pj["dsp_index"] = p.dsp_index;
            pj["name"] = p.name;
            pj["direction"] = DirectionName(p.direction);
            pj["datatype"] = DataTypeName(p.datatype);
            pj["flags"] = p.flags;
            pj["flag_names"] = FlagNames(p.flags);
            pj["default"] = p.default_value ? nlohmann::json(*p.default_value) : nlohmann::json();
            pj["choices"] = p.choices ? nlohmann::json(*p.choices) : nlohmann::json();
            j["pins"].push_back(pj);
        }
        std::cout << j.dump(2) << "\n";
        return kOk;
    }
    std::cout << plugin->Name() << "\n";
    std::cout << "  file:       " << plugin->Path() << "\n";
    std::cout << "  id:         " << (info.id != nullptr ? info.id : "") << "\n";
    std::cout << "  revision:   " << info.frame_revision << "\n";
    std::cout << "  flags:      " << info.flags << " / " << info.flags_ext << "\n";
    std::cout << "  GUI side:   " << (gui ? "yes" : "no") << "\n";
    std::cout << "  DSP pins:   " << dsp->PinCount() << "\n";
    const std::string about = info.about != nullptr ? info.about : "";
    if (!about.empty()) {
        std::cout << "  about:\n";
        std::size_t start = 0;
        while (start <= about.size()) {
            const auto nl = about.find('\n', start);
            std::cout << "    " << about.substr(start, nl - start) << "\n";
            if (nl == std::string::npos) break;
            start = nl + 1;
        }
    }
    std::size_t width = 4;
    for (const PinInfo& p : dsp->Pins()) width = std::max(width, p.name.size());
    std::printf("\n  %-3s %-3s %-*s %-6s %-7s %-8s %-s\n", "#", "dsp", static_cast<int>(width),
                "name", "dir", "type", "default", "choices / flags");
    for (const PinInfo& p : dsp->Pins()) {
        std::string dsp_index = p.dsp_index >= 0 ? std::to_string(p.dsp_index) : "-";
        std::string extra = p.choices ? *p.choices : "";
        const std::string flags = FlagNames(p.flags);
        if (!flags.empty()) extra += (extra.empty() ? "[" : "  [") + flags + "]";
        std::printf("  %-3d %-3s %-*s %-6s %-7s %-8s %s\n", p.index, dsp_index.c_str(),
                    static_cast<int>(width), p.name.c_str(), DirectionName(p.direction),
                    DataTypeName(p.datatype), p.default_value ? p.default_value->c_str() : "-",
                    extra.c_str());
    }
    std::fflush(stdout);
    return kOk;
}

// ---- render -------------------------------------------------------------------------

struct RenderOptions {
    std::string output = "out.wav";
    std::optional<std::string> midi;
    std::optional<double> seconds;
    bool pcm24 = false;
};

void Progress(double fraction) {
    const int width = 40;
    const int filled = static_cast<int>(fraction * width);
    std::fprintf(stderr, "\r[%s%s] %3d%%",
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(width - filled), ' ').c_str(),
                 static_cast<int>(fraction * 100.0));
    std::fflush(stderr);
}

int RenderPlan(const PatchPlan& plan, const std::optional<MidiSequence>& builtin_midi,
               const RenderOptions& opt) {
    std::unique_ptr<Patch> patch;
    try {
        patch = std::make_unique<Patch>(plan);
    } catch (const LoadError& e) {
        Fail(kPlugin, e.what());
    } catch (const Error& e) {
        Fail(kPatch, e.what());
    }
    std::optional<std::string> midi_path = opt.midi;
    if (!midi_path && plan.midi_file) {
        midi_path =
            plan.midi_file->front() == '/' ? *plan.midi_file : plan.folder + "/" + *plan.midi_file;
    }
    try {
        if (midi_path) {
            MidiSequence seq;
            try {
                seq = ReadMidiFile(*midi_path, plan.sample_rate);
            } catch (const Error& e) {
                Fail(kMidi, e.what());
            }
            patch->SetMidi(std::move(seq));
        } else if (builtin_midi) {
            patch->SetMidi(*builtin_midi);
        }
    } catch (const Error& e) {
        Fail(kPatch, e.what());
    }
    uint32_t length = patch->DefaultLength();
    if (opt.seconds) {
        if (!(*opt.seconds > 0.0 && *opt.seconds <= 3600.0)) {
            Fail(kUsage, "--seconds must be above 0 and at most 3600");
        }
        length = static_cast<uint32_t>(std::llround(*opt.seconds * plan.sample_rate));
    }
    SampleFormat format = opt.pcm24 ? SampleFormat::kPcm24 : SampleFormat::kFloat;
    if (plan.sample_format) {
        format = *plan.sample_format == "pcm24" ? SampleFormat::kPcm24 : SampleFormat::kFloat;
    }
    if (opt.pcm24) format = SampleFormat::kPcm24;
    format = FormatFor(opt.output, format);
    std::unique_ptr<AudioWriter> writer;
    try {
        writer = std::make_unique<AudioWriter>(opt.output, patch->Channels(),
                                               static_cast<int32_t>(std::lround(plan.sample_rate)),
                                               format);
    } catch (const Error& e) {
        Fail(kAudio, e.what());
    }

    const bool show_progress = isatty(STDERR_FILENO) != 0;
    const uint32_t chunk = 4096;
    std::vector<float> frames(static_cast<std::size_t>(chunk) *
                              static_cast<std::size_t>(patch->Channels()));
    float peak = 0.0f;
    const auto start = std::chrono::steady_clock::now();
    uint32_t done = 0;
    int last_percent = -1;
    while (done < length) {
        const uint32_t n = std::min(chunk, length - done);
        try {
            patch->Render(frames.data(), n);
        } catch (const Error& e) {
            Fail(kInternal, e.what());
        }
        const std::size_t values =
            static_cast<std::size_t>(n) * static_cast<std::size_t>(patch->Channels());
        for (std::size_t i = 0; i < values; ++i) peak = std::max(peak, std::fabs(frames[i]));
        try {
            writer->Write(frames.data(), n);
        } catch (const Error& e) {
            Fail(kAudio, e.what());
        }
        done += n;
        const int percent = static_cast<int>(100.0 * done / length);
        if (show_progress && percent != last_percent) {
            Progress(static_cast<double>(done) / length);
            last_percent = percent;
        }
    }
    try {
        writer->Close();
    } catch (const Error& e) {
        Fail(kAudio, e.what());
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (show_progress) std::fprintf(stderr, "\n");
    const double seconds = length / plan.sample_rate;
    const double factor = wall > 0.0 ? seconds / wall : 0.0;
    const double db = peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -INFINITY;
    std::printf("%s: %.2f s at %.0f Hz, %d channel%s, %s; %.1fx real time; peak %.2f dBFS%s\n",
                opt.output.c_str(), seconds, plan.sample_rate, patch->Channels(),
                patch->Channels() == 1 ? "" : "s",
                format == SampleFormat::kPcm24 ? "24-bit" : "float", factor, db,
                peak > 1.0f ? " (clipped in integer formats)" : "");
    return kOk;
}

int Render(const std::string& path, const RenderOptions& opt) {
    PatchPlan plan;
    try {
        plan = LoadPatch(path);
    } catch (const Error& e) {
        Fail(kPatch, e.what());
    }
    return RenderPlan(plan, std::nullopt, opt);
}

int Demo(RenderOptions opt, const std::string& melody_out) {
    PatchPlan plan;
    try {
        plan = ParsePatch(DemoPatch(), "(built-in demo patch)");
    } catch (const Error& e) {
        Fail(kInternal, e.what());
    }
    const std::vector<uint8_t> bytes = WriteMidiNotes(DemoMelody(), DemoTempo());
    if (!melody_out.empty()) {
        std::ofstream out(melody_out, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out) Fail(kMidi, melody_out + ": cannot write MIDI file");
    }
    const MidiSequence melody = ParseMidi(bytes, plan.sample_rate, "(built-in melody)");
    return RenderPlan(plan, melody, opt);
}

// ---- gui ----------------------------------------------------------------------------

int Gui(const std::string& name, const std::vector<std::string>& sets, bool as_json) {
    auto plugin = LoadPlugin(name);
    std::unique_ptr<GuiInstance> gui;
    try {
        gui = std::make_unique<GuiInstance>(plugin);
    } catch (const Error& e) {
        Fail(kPlugin, e.what());
    }
    gui->Init(false);  // a module just placed in a patch, not one restored from a stored patch
    for (const std::string& s : sets) {
        const auto eq = s.find('=');
        if (eq == std::string::npos || eq == 0) {
            Fail(kPin, "--set " + Quote(s) + ": expected PIN=VALUE");
        }
        const std::string pin = s.substr(0, eq);
        int32_t index = -1;
        try {
            index = gui->PinIndex(pin);
        } catch (const Error& e) {
            // Several pins may share a name: "#N" (or a bare number) is description index N.
            const std::string digits = pin[0] == '#' ? pin.substr(1) : pin;
            const bool number = !digits.empty() && digits.size() < 6 &&
                                digits.find_first_not_of("0123456789") == std::string::npos;
            index = number ? std::stoi(digits) : -1;
            if (index < 0 || index >= static_cast<int32_t>(gui->Pins().size())) {
                Fail(kPin, e.what());
            }
        }
        const std::string value = s.substr(eq + 1);
        const PinInfo& info = gui->Pins()[static_cast<std::size_t>(index)];
        if (info.datatype != DT_STRING && !ValueFromText(info, value)) {
            Fail(kPin, "pin " + Quote(info.name) + ": " + Quote(value) + " is not " +
                           (info.choices ? "one of: " + *info.choices : std::string("a number")));
        }
        gui->SetText(index, value);
    }
    if (as_json) {
        // One entry per pin in description order: several pins may share a name.
        nlohmann::json j = nlohmann::json::array();
        for (const PinInfo& p : gui->Pins()) {
            nlohmann::json pin = {{"index", p.index}, {"name", p.name}};
            if (p.datatype == DT_STRING) {
                pin["value"] = gui->Text(p.index);
            } else if (p.datatype == DT_REAL32 || p.datatype == DT_FSAMPLE) {
                pin["value"] = gui->Float(p.index);
            } else {
                pin["value"] = gui->Int(p.index);
            }
            j.push_back(pin);
        }
        std::cout << j.dump(2) << "\n";
    } else {
        std::size_t width = 4;
        for (const PinInfo& p : gui->Pins()) width = std::max(width, p.name.size());
        for (const PinInfo& p : gui->Pins()) {
            const std::string value =
                p.datatype == DT_STRING ? Quote(gui->Text(p.index)) : gui->Text(p.index);
            std::printf("%3d  %-*s = %s\n", p.index, static_cast<int>(width), p.name.c_str(),
                        value.c_str());
        }
    }
    if (gui->DepthLimitHits() > 0) {
        std::fprintf(stderr, "kvhost: note: notifications were cut at depth %d %zu time(s)\n",
                     GuiInstance::kMaxDepth, gui->DepthLimitHits());
    }
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "kvhost - examine, drive and render Kolvex plug-ins without the host.\n"
        "Plug-ins are named by path or by deliverable name, looked up in " +
        PluginDir() + "."};
    app.footer(kExitHelp);
    app.require_subcommand(1);

    auto* info = app.add_subcommand("info", "show a plug-in's identity and pin table");
    std::string info_plugin;
    bool info_json = false;
    info->add_option("PLUGIN", info_plugin, "plug-in path or deliverable name")->required();
    info->add_flag("--json", info_json, "print JSON");

    auto* render = app.add_subcommand("render", "render a patch to an audio file");
    std::string patch_path;
    RenderOptions ropt;
    double seconds = 0.0;
    std::string midi_path;
    render->add_option("PATCH", patch_path, "patch file (JSON)")->required();
    auto* midi_opt = render->add_option("--midi", midi_path, "Standard MIDI File to play");
    render->add_option("-o,--output", ropt.output, "audio file (.wav or .flac)")
        ->capture_default_str();
    auto* seconds_opt = render->add_option("--seconds", seconds, "length in seconds");
    render->add_flag("--pcm24", ropt.pcm24, "24-bit samples instead of float");

    auto* gui = app.add_subcommand("gui", "drive a plug-in's GUI side and print its pins");
    std::string gui_plugin;
    std::vector<std::string> sets;
    bool gui_json = false;
    gui->add_option("PLUGIN", gui_plugin, "plug-in path or deliverable name")->required();
    gui->add_option("--set", sets,
                    "PIN=VALUE, applied in order as user edits (PIN: a name, or #N for the "
                    "pin with description index N)");
    gui->add_flag("--json", gui_json, "print JSON");

    auto* demo = app.add_subcommand("demo", "render the built-in patch and melody to demo.wav");
    RenderOptions dopt;
    dopt.output = "demo.wav";
    demo->add_option("-o,--output", dopt.output, "audio file (.wav or .flac)")
        ->capture_default_str();
    demo->add_flag("--pcm24", dopt.pcm24, "24-bit samples instead of float");
    std::string melody_out;
    demo->add_option("--save-melody", melody_out, "also write the built-in melody as a MIDI file");

    kvhost::AddValidateCommand(app);  // answered in full (and the process ended) while parsing

    AddPlotCommand(app);
    AddLv2Command(app);  // runs inside the parse, as plot does

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // A subcommand run inside the parse (plot) ends with its own exit code.
        if (dynamic_cast<const CLI::RuntimeError*>(&e) != nullptr) return e.get_exit_code();
        const int code = app.exit(e);
        return code == 0 ? kOk : kUsage;
    }
    try {
        if (*info) return Info(info_plugin, info_json);
        if (*render) {
            if (*midi_opt) ropt.midi = midi_path;
            if (*seconds_opt) ropt.seconds = seconds;
            return Render(patch_path, ropt);
        }
        if (*gui) return Gui(gui_plugin, sets, gui_json);
        if (*demo) return Demo(dopt, melody_out);
        if (app.got_subcommand("plot")) return kOk;  // it ran inside the parse
        if (app.got_subcommand("lv2")) return kOk;
    } catch (const Failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "kvhost: %s\n", f.message.c_str());
        return f.code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvhost: %s\n", e.what());
        return kInternal;
    }
    return kUsage;
}
