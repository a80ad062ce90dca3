// The "web" subcommand of kvhost: the WebAssembly build's files, the patch and its MIDI file
// copied into one folder, with site.json naming the patch for the page. Every module the
// patch names must be built into the WebAssembly program (kolvex-web.json lists them).
#include "kvhost/command.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "kvhost/midi.h"
#include "kvhost/patch.h"
#include "kvhost/web.h"

#ifndef KVHOST_WASM_DIR
#define KVHOST_WASM_DIR "build/wasm/web"
#endif

namespace kvhost {

namespace fs = std::filesystem;

namespace {

struct WasmBuild {
    std::vector<std::string> files;
    uint32_t wasm_crc32 = 0;
    std::vector<std::pair<std::string, std::string>> modules;  // deliverable name, id
};

WasmBuild ReadWasmBuild(const std::string& dir) {
    const std::string manifest = dir + "/kolvex-web.json";
    std::error_code ec;
    if (!fs::exists(manifest, ec)) {
        throw Failure(kExitPlugin, "no WebAssembly build of the modules in " + dir + " (" +
                                       manifest +
                                       " is missing): build it with `cmake --preset wasm && "
                                       "cmake --build --preset wasm`, or give --wasm-dir");
    }
    WasmBuild build;
    try {
        const auto j = nlohmann::json::parse(ReadWholeFile(manifest, "WebAssembly build list"));
        for (const auto& f : j.at("files")) build.files.push_back(f.get<std::string>());
        build.wasm_crc32 = j.at("wasm_crc32").get<uint32_t>();
        for (const auto& m : j.at("modules")) {
            build.modules.emplace_back(m.at("deliverable").get<std::string>(),
                                       m.at("id").get<std::string>());
        }
    } catch (const nlohmann::json::exception& e) {
        throw Failure(kExitPlugin, manifest + ": not a WebAssembly build list (" + e.what() + ")");
    } catch (const Error& e) {
        throw Failure(kExitPlugin, e.what());
    }
    return build;
}

// Every module of the patch is built in, found as the page finds it: by deliverable name or id.
void CheckBuiltIn(const PatchPlan& plan, const WasmBuild& build) {
    std::string names;
    for (const auto& [deliverable, id] : build.modules) {
        names += (names.empty() ? "" : ", ") + deliverable;
    }
    for (const auto& m : plan.modules) {
        bool found = false;
        for (const auto& [deliverable, id] : build.modules)
            found |= m.plugin == deliverable || m.plugin == id;
        if (found) continue;
        const std::string stem = fs::path(m.plugin).stem().string();
        std::string hint;
        for (const auto& [deliverable, id] : build.modules) {
            if (stem == deliverable)
                hint = "; name it \"" + deliverable + "\" (a page loads no files)";
        }
        throw Failure(kExitPlugin,
                      plan.source + ": module \"" + m.name + "\": no module named \"" + m.plugin +
                          "\" is built into the web build (built in: " + names + ")" + hint);
    }
}

// A copy of `from` at `to`, replacing a file there only once complete.
void CopyInto(const std::string& from, const std::string& to, const std::string& what) {
    ReplacingFile file(to, what);
    std::error_code ec;
    fs::copy_file(from, file.TempPath(), fs::copy_options::overwrite_existing, ec);
    if (ec)
        throw Failure(kExitOutput,
                      from + ": cannot be copied to " + to + " (" + ec.message() + ")");
    file.Commit();
}

void WriteText(const std::string& to, const std::string& text, const std::string& what) {
    ReplacingFile file(to, what);
    std::ofstream out(file.TempPath(), std::ios::binary);
    out << text;
    out.close();
    if (!out) throw Failure(kExitOutput, to + ": cannot be written");
    file.Commit();
}

// The site's folder, made if missing; never a folder the site is read from.
void PrepareOutput(const std::string& output, const std::vector<std::string>& sources) {
    std::error_code ec;
    if (fs::exists(output, ec) && !fs::is_directory(output, ec)) {
        throw Failure(kExitOutput, output + ": is a file, not a folder for the site");
    }
    fs::create_directories(fs::path(output) / "patch", ec);
    if (ec) throw Failure(kExitOutput, output + ": cannot be made (" + ec.message() + ")");
    for (const std::string& s : sources) {
        if (fs::equivalent(output, s, ec) || fs::equivalent(fs::path(output) / "patch", s, ec)) {
            throw Failure(kExitOutput, output + ": is where the site's files come from (" + s +
                                           "); write the site to another folder");
        }
    }
}

}  // namespace

std::string DefaultWasmDir() {
    return KVHOST_WASM_DIR;
}

int WriteWebSite(const WebOptions& o) {
    PatchPlan plan;
    try {
        plan = LoadPatch(o.patch);
    } catch (const Error& e) {
        throw Failure(kExitPatch, e.what());
    }
    const WasmBuild build = ReadWasmBuild(o.wasm_dir);
    CheckBuiltIn(plan, build);
    std::optional<std::string> midi;
    if (plan.midi_file) {
        midi =
            plan.midi_file->front() == '/' ? *plan.midi_file : plan.folder + "/" + *plan.midi_file;
        try {
            ReadMidiFile(*midi, plan.sample_rate);
        } catch (const Error& e) {
            throw Failure(kExitMidi, e.what());
        }
    }
    PrepareOutput(o.output, {o.wasm_dir, plan.folder});
    for (const std::string& f : build.files) {
        if (f.find('/') != std::string::npos || f == "site.json" || f == "patch") {
            throw Failure(kExitPlugin, o.wasm_dir + "/kolvex-web.json: lists \"" + f +
                                           "\", not a file of a site");
        }
        CopyInto(o.wasm_dir + "/" + f, o.output + "/" + f, "site file");
    }
    const std::string patch_name = fs::path(o.patch).filename().string();
    CopyInto(o.patch, o.output + "/patch/" + patch_name, "patch file");
    nlohmann::json site = {
        {"patch", patch_name}, {"midi", nullptr}, {"wasm_crc32", build.wasm_crc32}};
    if (midi) {
        const std::string midi_name = fs::path(*midi).filename().string();
        if (midi_name == patch_name) {
            throw Failure(kExitPatch, plan.source + ": the MIDI file has the patch file's name");
        }
        CopyInto(*midi, o.output + "/patch/" + midi_name, "MIDI file");
        site["midi"] = midi_name;
    }
    WriteText(o.output + "/site.json", site.dump(2) + "\n", "site file");
    std::printf(
        "kvhost web: wrote %s; serve it with `python3 -m http.server -d %s` and open "
        "http://localhost:8000/\n",
        o.output.c_str(), o.output.c_str());
    return kExitOk;
}

void AddWebCommand(Tool& tool) {
    auto o = std::make_shared<WebOptions>();
    o->wasm_dir = DefaultWasmDir();
    CLI::App* cmd = tool.Add("web",
                             "write a patch as a static web site that renders it to WAV and "
                             "plays it live, with the modules compiled to WebAssembly",
                             [o] { return WriteWebSite(*o); });
    cmd->add_option("PATCH", o->patch, "patch file (JSON)")->required();
    cmd->add_option("-o,--output", o->output, "the site's folder (made if missing)")->required();
    cmd->add_option("--wasm-dir", o->wasm_dir,
                    "the WebAssembly build's files (built by the wasm preset)")
        ->capture_default_str();
}

}  // namespace kvhost
