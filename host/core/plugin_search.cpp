// The plug-in search path: the folders deliverables are found in by name or id, and the only
// folders a patch may load code from.
#include "plugin_search.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "kv_release.h"
#include "kvhost/host.h"

#ifndef KVHOST_PLUGIN_DIR
#define KVHOST_PLUGIN_DIR "plugins"
#endif
#ifndef KVHOST_BUILD_DIR
#define KVHOST_BUILD_DIR ""
#endif

namespace kvhost {

namespace fs = std::filesystem;

namespace {

std::vector<std::string>& UserFolders() {
    static std::vector<std::string> folders;
    return folders;
}

// The folder of the running program, through its symbolic links: a link to an installed
// kvhost finds the plug-ins installed beside the program itself.
fs::path ProgramFolder() {
    std::error_code ec;
    const fs::path program = fs::canonical("/proc/self/exe", ec);
    return ec ? fs::path() : program.parent_path();
}

bool Within(const fs::path& folder, const fs::path& path) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
        if (f->empty()) continue;  // a trailing separator
        if (p == path.end() || *p != *f) return false;
    }
    return true;
}

bool RunsFromBuildTree(const fs::path& program) {
    std::error_code ec;
    const fs::path build = fs::weakly_canonical(KVHOST_BUILD_DIR, ec);
    return !ec && !build.empty() && Within(build, program);
}

void AddFolder(std::vector<std::string>& path, const fs::path& folder) {
    std::error_code ec;
    if (folder.empty() || !fs::is_directory(folder, ec)) return;
    const std::string canonical = fs::canonical(folder, ec).string();
    if (ec) return;
    if (std::find(path.begin(), path.end(), canonical) == path.end()) path.push_back(canonical);
}

std::string Listed(const std::vector<std::string>& folders) {
    if (folders.empty()) return "no folder: nothing installed, none named";
    std::string list;
    for (const std::string& f : folders) list += (list.empty() ? "" : ", ") + f;
    return list;
}

std::string NotFound(const std::string& name_or_id) {
    return "no plug-in named " + QuoteName(name_or_id) + " on the plug-in search path (" +
           Listed(PluginSearchPath()) + ")";
}

// The refusal of a file outside the search path, naming the folder a user would allow.
[[noreturn]] void Refuse(const std::string& reference, const fs::path& folder) {
    throw PluginRefused(QuoteName(reference) +
                        " lies outside the plug-in search path, and a patch loads code from "
                        "there only (" +
                        Listed(PluginSearchPath()) +
                        "); name a deliverable by its name or id, or allow its folder with "
                        "--plugin-path '" +
                        folder.string() + "' (or KVHOST_PLUGIN_PATH)");
}

}  // namespace

std::string PluginDir() {
    return KVHOST_PLUGIN_DIR;
}

void SetPluginFolders(std::vector<std::string> folders) {
    UserFolders() = std::move(folders);
}

std::vector<std::string> PluginSearchPath() {
    std::vector<std::string> path;
    for (const std::string& f : UserFolders()) AddFolder(path, f);
    if (const char* list = std::getenv("KVHOST_PLUGIN_PATH")) {
        // An empty entry stands for no folder (never for the current one).
        std::istringstream entries(list);
        for (std::string entry; std::getline(entries, entry, ':');) {
            if (!entry.empty()) AddFolder(path, entry);
        }
    }
    const fs::path program = ProgramFolder();
    if (!program.empty()) {
        AddFolder(path, program / KVHOST_INSTALLED_PLUGINS);
        if (RunsFromBuildTree(program)) AddFolder(path, PluginDir());
    }
    return path;
}

std::string ReleaseFile(const std::string& installed, const std::string& built) {
    const fs::path program = ProgramFolder();
    const fs::path there = (program / installed).lexically_normal();
    std::error_code ec;
    if (program.empty() || (!fs::exists(there, ec) && RunsFromBuildTree(program))) return built;
    return there.string();
}

std::vector<std::string> PluginFiles() {
    std::vector<fs::path> files;
    for (const std::string& folder : PluginSearchPath()) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            const fs::path& p = entry.path();
            if (p.extension() != ".so" || !entry.is_regular_file(ec)) continue;
            const bool shadowed = std::any_of(files.begin(), files.end(), [&](const fs::path& f) {
                return f.filename() == p.filename();
            });
            if (!shadowed) files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    return {files.begin(), files.end()};
}

std::optional<std::string> FindPlugin(const std::string& name_or_id) {
    if (name_or_id.empty() || name_or_id.find_first_of(std::string("/\0", 2)) != std::string::npos)
        return std::nullopt;
    const std::string file = name_or_id.ends_with(".so") ? name_or_id : name_or_id + ".so";
    for (const std::string& folder : PluginSearchPath()) {
        std::error_code ec;
        const fs::path p = fs::path(folder) / file;
        if (fs::is_regular_file(p, ec)) return p.string();
    }
    for (const std::string& candidate : PluginFiles()) {
        try {
            const auto plugin = Plugin::Load(candidate);
            if (plugin->Info().id != nullptr && name_or_id == plugin->Info().id) return candidate;
        } catch (const Error&) {
            // A file that cannot be loaded has no id to match.
        }
    }
    return std::nullopt;
}

std::string PluginFileNamed(const std::string& name_or_id) {
    if (std::optional<std::string> file = FindPlugin(name_or_id)) return *file;
    throw LoadError(NotFound(name_or_id));
}

std::shared_ptr<Plugin> Plugin::LoadFromSearchPath(const std::string& reference) {
    if (reference.empty()) throw LoadError("no plug-in given (empty name)");
    // A program with its modules linked in (the web build) has no other.
    if (auto linked = FindLinked(reference)) return linked;
    if (reference.find('\0') != std::string::npos) {
        throw PluginRefused(QuoteName(reference.substr(0, reference.find('\0'))) +
                            "...: a plug-in name holds no NUL character");
    }
    std::error_code ec;
    if (reference.find('/') != std::string::npos) {
        // A path: its folder, links resolved, must be one of the search path's.
        const fs::path file = fs::absolute(reference, ec).lexically_normal();
        const fs::path folder = fs::weakly_canonical(file.parent_path(), ec);
        const std::vector<std::string> path = PluginSearchPath();
        if (ec || std::find(path.begin(), path.end(), folder.string()) == path.end()) {
            Refuse(reference, folder);
        }
        return Load((folder / file.filename()).string());
    }
    if (std::optional<std::string> file = FindPlugin(reference)) return Load(*file);
    // A file of that name in the current folder is what this name once loaded.
    if (fs::exists(reference, ec)) Refuse(reference, fs::current_path(ec));
    throw LoadError(NotFound(reference));
}

}  // namespace kvhost
