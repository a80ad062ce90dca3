// kvhost: examine, drive and render Kolvex plug-ins without the host application.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "demo.h"
#include "instance_memory.h"
#include "kv_release.h"
#include "kvhost/audio_file.h"
#include "kvhost/command.h"
#include "kvhost/host.h"
#include "kvhost/lv2.h"
#include "kvhost/midi.h"
#include "kvhost/panel.h"
#include "kvhost/patch.h"
#include "kvhost/play.h"
#include "kvhost/plot.h"
#include "kvhost/validate.h"
#include "kvhost/web.h"

namespace {

using namespace kvhost;

[[noreturn]] void Fail(int code, const std::string& message) {
    throw Failure(code, message);
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
    auto plugin = LoadPluginNamed(name);
    std::unique_ptr<DspInstance> dsp;
    try {
        dsp = std::make_unique<DspInstance>(plugin);
    } catch (const Error& e) {
        Fail(kExitPlugin, e.what());
    }
    const KVModuleInfo& info = plugin->Info();
    const bool gui = HasGui(plugin);
    const std::optional<InstanceMemory> memory = MeasureInstanceMemory(plugin, 48000.0);
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
        if (memory) {
            j["memory"] = {{"sample_rate", memory->sample_rate},
                           {"instance_bytes", memory->per_instance},
                           {"shared_bytes", memory->shared}};
        }
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
        return kExitOk;
    }
    std::cout << plugin->Name() << "\n";
    std::cout << "  file:       " << plugin->Path() << "\n";
    std::cout << "  id:         " << (info.id != nullptr ? info.id : "") << "\n";
    std::cout << "  revision:   " << info.frame_revision << "\n";
    std::cout << "  flags:      " << info.flags << " / " << info.flags_ext << "\n";
    std::cout << "  GUI side:   " << (gui ? "yes" : "no") << "\n";
    std::cout << "  DSP pins:   " << dsp->PinCount() << "\n";
    if (memory) {
        std::printf(
            "  memory:     %zu bytes an instance at %.0f Hz, shared tables %zu bytes once\n",
            memory->per_instance, memory->sample_rate, memory->shared);
    }
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
    return kExitOk;
}

// ---- list ---------------------------------------------------------------------------

int List(bool as_json, bool names_only) {
    if (names_only) {
        // Names only, nothing loaded: what shell completion offers.
        for (const std::string& file : PluginFiles()) {
            std::printf("%s\n", std::filesystem::path(file).stem().c_str());
        }
        return kExitOk;
    }
    nlohmann::json listing = nlohmann::json::array();
    std::vector<std::string> refused;
    for (const std::string& file : PluginFiles()) {
        std::shared_ptr<Plugin> plugin;
        try {
            plugin = Plugin::Load(file);
        } catch (const Error& e) {
            refused.push_back(e.what());
            continue;
        }
        bool dsp = true;
        try {
            DspInstance probe(plugin);
        } catch (const LoadError&) {
            dsp = false;
        }
        const bool gui = HasGui(plugin);
        listing.push_back({{"deliverable", std::filesystem::path(file).stem().string()},
                           {"id", plugin->Info().id != nullptr ? plugin->Info().id : ""},
                           {"kind", dsp && gui ? "both"
                                    : dsp      ? "DSP"
                                    : gui      ? "GUI"
                                               : "none"},
                           {"name", plugin->Name()},
                           {"file", file}});
    }
    if (as_json) {
        std::cout << listing.dump(2) << "\n";
    } else {
        std::size_t width[2] = {11, 2};
        for (const auto& d : listing) {
            width[0] = std::max(width[0], d["deliverable"].get<std::string>().size());
            width[1] = std::max(width[1], d["id"].get<std::string>().size());
        }
        std::printf("%-*s  %-*s  %-4s  %s\n", static_cast<int>(width[0]), "deliverable",
                    static_cast<int>(width[1]), "id", "kind", "name");
        for (const auto& d : listing) {
            std::printf("%-*s  %-*s  %-4s  %s\n", static_cast<int>(width[0]),
                        d["deliverable"].get<std::string>().c_str(), static_cast<int>(width[1]),
                        d["id"].get<std::string>().c_str(), d["kind"].get<std::string>().c_str(),
                        d["name"].get<std::string>().c_str());
        }
    }
    std::fflush(stdout);
    // The ones that load are listed; each one that does not is a failure of its own.
    for (std::size_t i = 0; i + 1 < refused.size(); ++i) {
        std::fprintf(stderr, "kvhost: %s\n", refused[i].c_str());
    }
    if (!refused.empty()) Fail(kExitPlugin, refused.back());
    if (listing.empty() && !as_json) {
        std::string folders;
        for (const std::string& f : PluginSearchPath())
            folders += (folders.empty() ? "" : ", ") + f;
        std::fprintf(stderr, "kvhost: no plug-ins on the plug-in search path (%s)\n",
                     folders.empty() ? "no folder" : folders.c_str());
    }
    return kExitOk;
}

// ---- render -------------------------------------------------------------------------

// The longest render (and plot) kvhost makes.
constexpr double kMaxSeconds = 3600.0;

struct RenderOptions {
    std::string output = "out.wav";
    std::optional<std::string> midi;
    std::optional<double> seconds;
    bool pcm24 = false;
    bool raw_midi = false;
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

const std::vector<std::string> kAudioExtensions = {".wav", ".flac"};

int RenderPlan(const PatchPlan& plan, const std::optional<MidiSequence>& builtin_midi,
               const RenderOptions& opt, std::vector<std::string> inputs) {
    const std::optional<std::string> midi_path = MidiFilePath(plan, opt.midi);
    if (midi_path) inputs.push_back(*midi_path);
    CheckOutputPath(opt.output, kAudioExtensions, inputs, "audio file");
    const MidiDelivery delivery = opt.raw_midi ? MidiDelivery::kRaw : MidiDelivery::kHost;
    auto patch = Staged(kExitPatch, [&] {
        PatchOptions options;
        options.delivery = delivery;
        return std::make_unique<Patch>(plan, std::move(options));
    });
    std::optional<MidiSequence> midi = builtin_midi;
    if (midi_path) {
        midi =
            Staged(kExitMidi, [&] { return ReadMidiFile(*midi_path, plan.sample_rate, delivery); });
    }
    if (midi) {
        Staged(kExitPatch, [&] {
            patch->SetMidi(std::move(*midi));
            return 0;
        });
    }
    uint64_t length = patch->DefaultLength();
    if (opt.seconds) {
        if (!(*opt.seconds > 0.0 && *opt.seconds <= kMaxSeconds)) {
            Fail(kExitUsage, "--seconds must be above 0 and at most 3600");
        }
        const long long samples = std::llround(*opt.seconds * plan.sample_rate);
        if (samples < 1) {
            char text[64];
            std::snprintf(text, sizeof text, "%g", *opt.seconds);
            Fail(kExitUsage, std::string("--seconds ") + text + " is shorter than one sample at " +
                                 std::to_string(std::lround(plan.sample_rate)) + " Hz");
        }
        length = static_cast<uint64_t>(samples);
    }
    SampleFormat format = opt.pcm24 ? SampleFormat::kPcm24 : SampleFormat::kFloat;
    if (plan.sample_format) {
        format = *plan.sample_format == "pcm24" ? SampleFormat::kPcm24 : SampleFormat::kFloat;
    }
    if (opt.pcm24) format = SampleFormat::kPcm24;
    format = FormatFor(opt.output, format);
    ReplacingFile file(opt.output, "audio file");
    std::unique_ptr<AudioWriter> writer;
    try {
        writer = std::make_unique<AudioWriter>(file.TempPath(), patch->Channels(),
                                               static_cast<int32_t>(std::lround(plan.sample_rate)),
                                               format);
    } catch (const Error& e) {
        Fail(kExitOutput, file.Reworded(e.what()));
    }

    const bool show_progress = isatty(STDERR_FILENO) != 0;
    const uint32_t chunk = 4096;
    std::vector<float> frames(static_cast<std::size_t>(chunk) *
                              static_cast<std::size_t>(patch->Channels()));
    float peak = 0.0f;
    const auto start = std::chrono::steady_clock::now();
    uint64_t done = 0;
    int last_percent = -1;
    while (done < length) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(chunk, length - done));
        try {
            patch->Render(frames.data(), n);
        } catch (const Error& e) {
            Fail(kExitInternal, e.what());
        }
        const std::size_t values =
            static_cast<std::size_t>(n) * static_cast<std::size_t>(patch->Channels());
        for (std::size_t i = 0; i < values; ++i) peak = std::max(peak, std::fabs(frames[i]));
        try {
            writer->Write(frames.data(), n);
        } catch (const Error& e) {
            Fail(kExitOutput, file.Reworded(e.what()));
        }
        done += n;
        const int percent =
            static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(length));
        if (show_progress && percent != last_percent) {
            Progress(static_cast<double>(done) / static_cast<double>(length));
            last_percent = percent;
        }
    }
    try {
        writer->Close();
    } catch (const Error& e) {
        Fail(kExitOutput, file.Reworded(e.what()));
    }
    file.Commit();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (show_progress) std::fprintf(stderr, "\n");
    const double seconds = static_cast<double>(length) / plan.sample_rate;
    const double factor = wall > 0.0 ? seconds / wall : 0.0;
    const double db = peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -INFINITY;
    std::printf("%s: %.2f s at %.0f Hz, %d channel%s, %s; %.1fx real time; peak %.2f dBFS%s\n",
                opt.output.c_str(), seconds, plan.sample_rate, patch->Channels(),
                patch->Channels() == 1 ? "" : "s",
                format == SampleFormat::kPcm24 ? "24-bit" : "float", factor, db,
                peak > 1.0f ? " (clipped in integer formats)" : "");
    return kExitOk;
}

int Render(const std::string& path, const RenderOptions& opt) {
    PatchPlan plan;
    try {
        plan = LoadPatch(path);
    } catch (const Error& e) {
        Fail(kExitPatch, e.what());
    }
    return RenderPlan(plan, std::nullopt, opt, {path});
}

int Demo(const RenderOptions& opt, const std::string& melody_out) {
    PatchPlan plan;
    try {
        plan = ParsePatch(DemoPatch(), "(built-in demo patch)");
    } catch (const Error& e) {
        Fail(kExitInternal, e.what());
    }
    CheckOutputPath(opt.output, kAudioExtensions, {}, "audio file");
    const std::vector<uint8_t> bytes = WriteMidiNotes(DemoMelody(), DemoTempo());
    if (!melody_out.empty()) {
        CheckOutputPath(melody_out, {".mid", ".midi"}, {}, "MIDI file");
        ReplacingFile file(melody_out, "MIDI file");
        std::ofstream out(file.TempPath(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) Fail(kExitOutput, melody_out + ": cannot write MIDI file");
        file.Commit();
    }
    const MidiSequence melody = ParseMidi(bytes, plan.sample_rate, "(built-in melody)");
    return RenderPlan(plan, melody, opt, {});
}

// ---- gui ----------------------------------------------------------------------------

// The pin a --set names: by name when one pin has it; "#N" (or a bare number) is the pin with
// description index N.
int32_t GuiPinNamed(const GuiInstance& gui, const std::string& pin, const std::string& value) {
    const bool number = !pin.empty() && pin.find_first_not_of("0123456789") == std::string::npos;
    const std::string name = number && PinsNamed(gui.Pins(), pin).empty() ? "#" + pin : pin;
    try {
        return PinNamed(gui.Pins(), QuoteText(gui.GetPlugin()->Name()), name);
    } catch (const Error& e) {
        const std::vector<int32_t> named = PinsNamed(gui.Pins(), name);
        Fail(kExitPin, std::string(e.what()) + (named.size() > 1
                                                    ? " (--set '#" + std::to_string(named.front()) +
                                                          "=" + value.substr(0, 20) + "')"
                                                    : ""));
    }
}

int Gui(const std::string& name, const std::vector<std::string>& sets, bool as_json) {
    auto plugin = LoadPluginNamed(name);
    std::unique_ptr<GuiInstance> gui;
    try {
        gui = std::make_unique<GuiInstance>(plugin);
    } catch (const Error& e) {
        Fail(kExitPlugin, e.what());
    }
    gui->Init(false);  // a module just placed in a patch, not one restored from a stored patch
    for (const std::string& s : sets) {
        const auto eq = s.find('=');
        if (eq == std::string::npos || eq == 0) {
            Fail(kExitPin, "--set " + QuoteText(s) + ": expected PIN=VALUE");
        }
        const std::string value = s.substr(eq + 1);
        const int32_t index = GuiPinNamed(*gui, s.substr(0, eq), value);
        const PinInfo& info = gui->Pins()[static_cast<std::size_t>(index)];
        const UserValue checked = CheckUserValue(info, value);
        if (!checked.Accepted())
            Fail(kExitPin, "pin " + QuoteText(info.name) + ": " + checked.refusal);
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
                p.datatype == DT_STRING ? "\"" + gui->Text(p.index) + "\"" : gui->Text(p.index);
            std::printf("%3d  %-*s = %s\n", p.index, static_cast<int>(width), p.name.c_str(),
                        value.c_str());
        }
    }
    if (gui->DepthLimitHits() > 0) {
        std::fprintf(stderr, "kvhost: note: notifications were cut at depth %d %zu time(s)\n",
                     GuiInstance::kMaxDepth, gui->DepthLimitHits());
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Tool tool(
        "kvhost - examine, drive and render Kolvex plug-ins without the host.\n"
        "Plug-ins are named by path, by deliverable name or by the id `kvhost list` shows. "
        "Names and ids are looked up on the plug-in search path: the folders given with "
        "--plugin-path, those in KVHOST_PLUGIN_PATH, the installed plug-in folder "
        "(" KVHOST_INSTALLED_PLUGINS
        " from the program's folder) and, for a kvhost run from "
        "its build tree, that tree's. A patch loads deliverables from there only: a path "
        "elsewhere is refused (exit code 4).");
    tool.App().set_version_flag("--version", std::string("kvhost ") + KV_VERSION +
                                                 "\nframe revisions " +
                                                 std::to_string(KV_REVISION_CURRENT) + " and " +
                                                 std::to_string(KV_REVISION_OLDER));

    std::string info_plugin;
    bool info_json = false;
    auto* info = tool.Add("info", "show a plug-in's identity and pin table",
                          [&] { return Info(info_plugin, info_json); });
    info->add_option("PLUGIN", info_plugin, "plug-in path, deliverable name or id")->required();
    info->add_flag("--json", info_json, "print JSON");

    bool list_json = false;
    bool list_names = false;
    auto* list = tool.Add("list",
                          "list the deliverables on the plug-in search path: id and kind "
                          "(DSP, GUI or both sides)",
                          [&] { return List(list_json, list_names); });
    list->add_flag("--json", list_json, "print JSON");
    list->add_flag("--names", list_names, "print only their names, one a line, loading none");

    std::string patch_path;
    RenderOptions ropt;
    double seconds = 0.0;
    std::string midi_path;
    CLI::Option* midi_opt = nullptr;
    CLI::Option* seconds_opt = nullptr;
    auto* render = tool.Add("render", "render a patch to an audio file", [&] {
        if (*midi_opt) ropt.midi = midi_path;
        if (*seconds_opt) ropt.seconds = seconds;
        return Render(patch_path, ropt);
    });
    render->add_option("PATCH", patch_path, "patch file (JSON)")->required();
    midi_opt = render->add_option("--midi", midi_path, "Standard MIDI File to play");
    render->add_option("-o,--output", ropt.output, "audio file (.wav or .flac)")
        ->capture_default_str();
    seconds_opt = render->add_option("--seconds", seconds,
                                     "length in seconds, at least one sample, at most 3600");
    render->add_flag("--pcm24", ropt.pcm24, "24-bit samples instead of float");
    render->add_flag("--raw-midi", ropt.raw_midi,
                     "deliver MIDI as the file holds it (by default a note-on of velocity 0 "
                     "arrives as a note-off)");

    std::string gui_plugin;
    std::vector<std::string> sets;
    bool gui_json = false;
    auto* gui = tool.Add("gui", "drive a plug-in's GUI side and print its pins",
                         [&] { return Gui(gui_plugin, sets, gui_json); });
    gui->add_option("PLUGIN", gui_plugin, "plug-in path, deliverable name or id")->required();
    gui->add_option("--set", sets,
                    "PIN=VALUE, applied in order as user edits (PIN: a name, or #N for the "
                    "pin with description index N)");
    gui->add_flag("--json", gui_json, "print JSON");

    RenderOptions dopt;
    dopt.output = "demo.wav";
    std::string melody_out;
    auto* demo = tool.Add("demo", "render the built-in patch and melody to demo.wav",
                          [&] { return Demo(dopt, melody_out); });
    demo->add_option("-o,--output", dopt.output, "audio file (.wav or .flac)")
        ->capture_default_str();
    demo->add_flag("--pcm24", dopt.pcm24, "24-bit samples instead of float");
    demo->add_option("--save-melody", melody_out,
                     "also write the built-in melody as a MIDI file (.mid)");

    AddValidateCommand(tool);
    AddPlotCommand(tool);
    AddPlayCommand(tool);
    AddLv2Command(tool);
    AddPanelCommand(tool);
    AddWebCommand(tool);
    return tool.Main(argc, argv);
}
