// Loading a deliverable: opening the shared library, checking its two entry points and
// reading its identity (plugin_search.cpp finds the file). Also the pin-description helpers
// shared by all.
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "kvhost/host.h"
#include "plugin_search.h"

namespace kvhost {

namespace fs = std::filesystem;

namespace {

bool LooksLikePath(const std::string& s) {
    return s.find('/') != std::string::npos ||
           (s.size() > 3 && s.compare(s.size() - 3, 3, ".so") == 0);
}

// The first bytes of an ELF file; anything else is not a library this host can load.
bool IsElf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    return in.gcount() == 4 && magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' &&
           magic[3] == 'F';
}

}  // namespace

std::shared_ptr<Plugin> Plugin::Load(const std::string& path_or_name) {
    if (path_or_name.empty()) throw LoadError("no plug-in given (empty name)");
    if (auto linked = FindLinked(path_or_name)) return linked;
    std::string path = path_or_name;
    if (!LooksLikePath(path_or_name)) {
        path = PluginFileNamed(path_or_name);
    }
    std::error_code ec;
    if (!fs::exists(path, ec)) throw LoadError(path + ": no such file");
    if (fs::is_directory(path, ec)) throw LoadError(path + ": is a folder, not a plug-in library");
    {
        std::ifstream probe(path, std::ios::binary);
        if (!probe) throw LoadError(path + ": cannot be read (" + std::strerror(errno) + ")");
    }
    if (!IsElf(path)) throw LoadError(path + ": not a shared library (no ELF header)");

    std::shared_ptr<Plugin> p(new Plugin());
    p->path_ = path;
    // A path without a folder part would make dlopen search the system's library folders.
    const std::string open_path = path.find('/') == std::string::npos ? "./" + path : path;
    p->handle_ = dlopen(open_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (p->handle_ == nullptr) {
        const char* why = dlerror();
        throw LoadError(path + ": cannot be loaded as a shared library (" +
                        (why != nullptr ? why : "unknown reason") + ")");
    }
    p->get_properties_ =
        reinterpret_cast<KVGetModulePropertiesFn>(dlsym(p->handle_, "getModuleProperties"));
    p->make_module_ = reinterpret_cast<KVMakeModuleFn>(dlsym(p->handle_, "makeModule"));
    if (p->get_properties_ == nullptr || p->make_module_ == nullptr) {
        std::string missing;
        if (p->get_properties_ == nullptr) missing = "getModuleProperties";
        if (p->make_module_ == nullptr) {
            missing += missing.empty() ? "makeModule" : " and makeModule";
        }
        throw LoadError(path + ": not a Kolvex plug-in (does not export " + missing + ")");
    }
    p->ReadIdentity();
    return p;
}

std::shared_ptr<Plugin> Plugin::FromEntries(const std::string& name,
                                            KVGetModulePropertiesFn get_properties,
                                            KVMakeModuleFn make_module) {
    if (get_properties == nullptr || make_module == nullptr) {
        throw LoadError(name + ": entry points missing");
    }
    std::shared_ptr<Plugin> p(new Plugin());
    p->path_ = name;
    p->get_properties_ = get_properties;
    p->make_module_ = make_module;
    p->ReadIdentity();
    return p;
}

void Plugin::ReadIdentity() {
    info_ = KVModuleInfo{};
    if (!get_properties_(0, &info_)) {
        throw LoadError(path_ + ": getModuleProperties refused module 0");
    }
    if (info_.name == nullptr) throw LoadError(path_ + ": module 0 has no name");
    if (info_.frame_revision != KV_REVISION_CURRENT && info_.frame_revision != KV_REVISION_OLDER) {
        throw LoadError(path_ + ": unknown frame revision " + std::to_string(info_.frame_revision));
    }
}

Plugin::~Plugin() {
    if (handle_ != nullptr) dlclose(handle_);
}

std::string Plugin::Name() const {
    return info_.name != nullptr ? info_.name : "";
}

// ---- Pin descriptions ---------------------------------------------------------

std::optional<int32_t> ChoiceList::Find(std::string_view text) const {
    for (const auto& [label, value] : entries) {
        if (label == text) return value;
    }
    // Not a label: a number, which must be one of the values (or inside the range).
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || end == s.c_str() || *end != '\0' || errno != 0) return std::nullopt;
    if (is_range) {
        if (n < low || n > high) return std::nullopt;
        return static_cast<int32_t>(n);
    }
    for (const auto& e : entries) {
        if (e.second == n) return e.second;
    }
    return std::nullopt;
}

PinInfo DescribedPin(int32_t index, const KVPinProperties& p) {
    PinInfo info;
    info.index = index;
    info.name = p.name != nullptr ? p.name : "";
    info.direction = p.direction;
    info.datatype = p.datatype;
    info.flags = p.flags;
    if (p.default_value != nullptr) info.default_value = p.default_value;
    if (p.choices != nullptr) info.choices = p.choices;
    info.variable = p.variable;
    return info;
}

bool Wireable(const PinInfo& from, const PinInfo& to) {
    const auto carries_value = [](int32_t t) {
        return t == DT_CHOICE || t == DT_SWITCH || t == DT_REAL32 || t == DT_WHOLE32;
    };
    if (from.datatype == DT_FSAMPLE || to.datatype == DT_FSAMPLE) {
        return from.datatype == to.datatype;
    }
    return carries_value(from.datatype) && carries_value(to.datatype);
}

ChoiceList ParseChoices(std::string_view choices) {
    ChoiceList list;
    auto trim = [](std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
        return s;
    };
    std::string_view rest = trim(choices);
    if (rest.substr(0, 6) == "range ") {
        list.is_range = true;
        const std::string body(rest.substr(6));
        list.low = std::atoi(body.c_str());
        const auto comma = body.find(',');
        list.high = comma == std::string::npos ? list.low : std::atoi(body.c_str() + comma + 1);
        return list;
    }
    int32_t position = 0;
    while (!rest.empty() || position == 0) {
        const auto comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        const auto eq = item.find('=');
        if (eq != std::string_view::npos) {
            const std::string number(trim(item.substr(eq + 1)));
            list.entries.emplace_back(std::string(trim(item.substr(0, eq))),
                                      std::atoi(number.c_str()));
        } else {
            list.entries.emplace_back(std::string(trim(item)), position);
        }
        ++position;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return list;
}

const char* DataTypeName(int32_t datatype) {
    switch (datatype) {
        case DT_CHOICE:
            return "choice";
        case DT_STRING:
            return "text";
        case DT_MIDI_STREAM:
            return "midi";
        case DT_SWITCH:
            return "switch";
        case DT_FSAMPLE:
            return "samples";
        case DT_REAL32:
            return "real";
        case DT_WHOLE32:
            return "integer";
        default:
            return "unknown";
    }
}

const char* DirectionName(int32_t direction) {
    switch (direction) {
        case DR_INPUT:
            return "in";
        case DR_OUT:
            return "out";
        case DR_CONFIG:
            return "config";
        default:
            return "unknown";
    }
}

std::string FlagNames(int32_t flags) {
    static const std::pair<int32_t, const char*> kNames[] = {
        {IO_REPEAT_LAST, "repeat-last"}, {IO_PRIVATE, "private"},
        {IO_UI_COMMUNICATION, "ui"},     {IO_DSP_VISIBLE, "dsp-visible"},
        {IO_PATCH_STORE, "patch-store"},
    };
    std::string out;
    int32_t rest = flags;
    for (const auto& [bit, name] : kNames) {
        if ((flags & bit) == 0) continue;
        if (!out.empty()) out += ',';
        out += name;
        rest &= ~bit;
    }
    if (rest != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(rest));
        if (!out.empty()) out += ',';
        out += hex;
    }
    return out;
}

}  // namespace kvhost
