// `save`: the played patch's JSON with the current values, written atomically.
#include "save.h"

#include <filesystem>
#include <nlohmann/json.hpp>

namespace kvhost::play {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

Json ValueJson(const SavedModule::Value& v) {
    if (!v.is_text) {
        char* end = nullptr;
        const double d = std::strtod(v.text.c_str(), &end);
        if (!v.text.empty() && *end == '\0') return d;
    }
    return v.text;
}

Json Object(const std::vector<SavedModule::Value>& values) {
    Json o = Json::object();
    for (const auto& v : values) o[v.key] = ValueJson(v);
    return o;
}

// A file name the patch gives relative to its own folder, as seen from `to_folder`.
std::string Rebased(const std::string& name, const std::string& from_folder,
                    const std::string& to_folder) {
    if (name.empty() || name.front() == '/') return name;
    std::error_code ec;
    const fs::path target = fs::weakly_canonical(fs::path(from_folder) / name, ec);
    const fs::path folder = fs::weakly_canonical(to_folder.empty() ? "." : to_folder, ec);
    const fs::path rel = target.lexically_relative(folder);
    return rel.empty() ? target.string() : rel.string();
}

}  // namespace

std::string SavedPatchText(const std::string& original, const PatchPlan& plan,
                           const std::string& original_path, std::optional<double> sample_rate,
                           const std::vector<SavedModule>& modules, const std::string& out_path,
                           const std::vector<SavedMapping>& midi_map) {
    Json root = Json::parse(original);
    if (sample_rate) root["sample_rate"] = *sample_rate;  // what it played at
    for (Json& m : root["modules"]) {
        for (const SavedModule& saved : modules) {
            if (m["name"] != saved.name) continue;
            m["pins"] = Object(saved.pins);
            if (saved.stored.empty()) {
                m.erase("stored");
            } else {
                m["stored"] = Object(saved.stored);
            }
        }
    }
    if (midi_map.empty()) {
        root.erase("midi_map");
    } else {
        Json list = Json::array();
        for (const SavedMapping& m : midi_map) {
            Json e = {{"cc", m.cc}};
            if (m.channel > 0) e["channel"] = m.channel;
            e["pin"] = m.pin;
            e["min"] = m.low;
            e["max"] = m.high;
            list.push_back(std::move(e));
        }
        root["midi_map"] = std::move(list);
    }
    const std::string from = fs::path(original_path).parent_path().string();
    const std::string to = fs::path(out_path).parent_path().string();
    if (plan.midi_file && root.contains("midi")) {
        Json& midi = root["midi"];
        const std::string moved = Rebased(*plan.midi_file, from.empty() ? "." : from, to);
        if (midi.is_string()) {
            midi = moved;
        } else {
            midi["file"] = moved;
        }
    }
    return root.dump(2) + "\n";
}

}  // namespace kvhost::play
