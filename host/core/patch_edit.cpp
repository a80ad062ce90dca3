// Editing a patch file's JSON: each edit made on a copy, the copy checked by loading it as
// `render` does, and kept only when it loads; undo and redo keep whole copies.
#include "kvhost/patch_edit.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

namespace kvhost {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

struct PatchEditor::Document {
    Json root;
};

namespace {

constexpr std::size_t kUndoDepth = 1000;

// "module.pin" or ["module", "pin"], as a patch names a pin; nothing for anything else.
std::optional<PatchPin> PinOf(const Json& ref) {
    if (ref.is_array() && ref.size() == 2 && ref[0].is_string() && ref[1].is_string()) {
        return PatchPin{ref[0].get<std::string>(), ref[1].get<std::string>()};
    }
    if (!ref.is_string()) return std::nullopt;
    const std::string s = ref.get<std::string>();
    const auto dot = s.find('.');
    if (dot == std::string::npos) return std::nullopt;
    return PatchPin{s.substr(0, dot), s.substr(dot + 1)};
}

bool Names(const Json& ref, const std::string& module) {
    const auto pin = PinOf(ref);
    return pin && pin->module == module;
}

void RenameIn(Json& ref, const std::string& from, const std::string& to) {
    if (!Names(ref, from)) return;
    if (ref.is_array()) {
        ref[0] = to;
    } else {
        ref = to + ref.get<std::string>().substr(from.size());
    }
}

Json PinJson(const PatchPin& p) {
    return p.module + "." + p.pin;
}

// A wire's start (0) or end (1), as [from, to] or {"from", "to"}.
Json& WireEnd(Json& wire, int end) {
    return wire.is_array() ? wire[static_cast<std::size_t>(end)] : wire[end == 0 ? "from" : "to"];
}

// The pin an entry of "controls" or "midi_map" names: a pin, or an object with "pin".
Json* EntryPin(Json& entry) {
    if (entry.is_object()) return entry.contains("pin") ? &entry["pin"] : nullptr;
    return &entry;
}

// Every pin reference the patch holds outside its voice groups.
template <typename Visit>
void EachReference(Json& root, Visit visit) {
    if (root.contains("wires")) {
        for (Json& w : root["wires"]) {
            visit(WireEnd(w, 0));
            visit(WireEnd(w, 1));
        }
    }
    if (root.contains("audio") && root["audio"].contains("outputs")) {
        for (Json& o : root["audio"]["outputs"]) visit(o);
    }
    if (root.contains("midi") && root["midi"].is_object() && root["midi"].contains("to")) {
        visit(root["midi"]["to"]);
    }
    for (const char* list : {"controls", "midi_map"}) {
        if (!root.contains(list) || !root[list].is_array()) continue;
        for (Json& e : root[list]) {
            if (Json* pin = EntryPin(e)) visit(*pin);
        }
    }
}

// The voice groups as a list, whether the patch holds one object or a list.
std::vector<Json> Groups(const Json& root) {
    if (!root.contains("voices")) return {};
    const Json& v = root["voices"];
    return v.is_array() ? v.get<std::vector<Json>>() : std::vector<Json>{v};
}

void PutGroups(Json& root, const std::vector<Json>& groups) {
    if (groups.empty()) {
        root.erase("voices");
    } else {
        root["voices"] = groups.size() == 1 ? groups[0] : Json(groups);
    }
}

Json* ModuleNamed(Json& root, const std::string& name) {
    for (Json& m : root["modules"]) {
        if (m.value("name", "") == name) return &m;
    }
    return nullptr;
}

// A deliverable as an editor may name it: found on the plug-in search path by name or id,
// never a file name.
void CheckDeliverable(const std::string& deliverable) {
    const bool path_like = deliverable.find('/') != std::string::npos ||
                           deliverable.ends_with(".so") || deliverable.starts_with(".");
    if (path_like || !FindPlugin(deliverable)) {
        throw Error("no deliverable named " + QuoteName(deliverable) +
                    " on the plug-in search path (kvhost list shows them)");
    }
}

// A setting as a patch writes it: a number where the text is one, else the text.
Json SettingJson(const std::string& text) {
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(d)) return text;
    if (d == std::floor(d) && std::fabs(d) < 1e15) return static_cast<int64_t>(d);
    return d;
    return text;
}

// The edit that writes a module's setting under `section` ("pins" or "stored").
auto SettingIn(const std::string& module, const char* section, const std::string& pin,
               const std::string& text) {
    return [&module, section, &pin, &text](Json& root) {
        Json* m = ModuleNamed(root, module);
        if (m == nullptr) throw Error("no module named " + QuoteName(module));
        (*m)[section][pin] = SettingJson(text);
    };
}

}  // namespace

PatchEditor::PatchEditor(std::string path)
    : path_(std::move(path)), doc_(std::make_unique<Document>()) {
    doc_->root = Json::object();
    doc_->root["modules"] = Json::array();
    saved_ = Text();
}

PatchEditor::PatchEditor(const std::string& text, std::string path)
    : path_(std::move(path)), doc_(std::make_unique<Document>()) {
    Patch check(ParsePatch(text, path_, Folder()));  // the loader's verdict on the file
    doc_->root = Json::parse(text);
    saved_ = Text();
}

PatchEditor::~PatchEditor() = default;

std::string PatchEditor::Folder() const {
    const std::string folder = fs::path(path_).parent_path().string();
    return folder.empty() ? "." : folder;
}

bool PatchEditor::Empty() const {
    return doc_->root["modules"].empty();
}

std::size_t PatchEditor::GroupCount() const {
    return Groups(doc_->root).size();
}

PatchPlan PatchEditor::Plan() const {
    if (Empty()) throw Error(path_ + ": the patch has no modules yet");
    return ParsePatch(doc_->root.dump(), path_, Folder());
}

std::string PatchEditor::Text() const {
    return doc_->root.dump(2) + "\n";
}

bool PatchEditor::Changed() const {
    return Text() != saved_;
}

template <typename Change>
void PatchEditor::Edit(const std::string& subject, Change change) {
    auto next = std::make_unique<Document>(*doc_);
    try {
        change(next->root);
        if (!next->root["modules"].empty()) {
            // Built as render builds it: every plug-in loaded, every pin and wire checked.
            Patch check(ParsePatch(next->root.dump(), path_, Folder()));
        }
    } catch (const EditRefused&) {
        throw;
    } catch (const Error& e) {
        std::string why = e.what();
        // The loader's messages start with the file's name (and a line): the page has no file.
        if (why.starts_with(path_ + ":")) why.erase(0, why.find(": ", path_.size()) + 2);
        throw EditRefused(subject, why);
    }
    if (next->root == doc_->root) return;  // nothing changed: nothing to undo
    undo_.push_back(std::move(doc_));
    if (undo_.size() > kUndoDepth) undo_.erase(undo_.begin());
    redo_.clear();
    doc_ = std::move(next);
}

void PatchEditor::AddModule(const std::string& name, const std::string& deliverable,
                            std::optional<std::pair<double, double>> at) {
    Edit(name, [&](Json& root) {
        CheckDeliverable(deliverable);
        Json m = Json::object();
        m["name"] = name;
        m["plugin"] = deliverable;
        if (at) m["ui"] = {{"x", at->first}, {"y", at->second}};
        root["modules"].push_back(std::move(m));
    });
}

void PatchEditor::RemoveModule(const std::string& name) {
    Edit(name, [&](Json& root) {
        Json& modules = root["modules"];
        const auto before = modules.size();
        modules.erase(std::remove_if(modules.begin(), modules.end(),
                                     [&](const Json& m) { return m.value("name", "") == name; }),
                      modules.end());
        if (modules.size() == before) throw Error("no module named " + QuoteName(name));
        const auto drop = [&](const char* key, auto naming) {
            if (!root.contains(key) || !root[key].is_array()) return;
            Json& list = root[key];
            list.erase(std::remove_if(list.begin(), list.end(), naming), list.end());
        };
        drop("wires",
             [&](Json& w) { return Names(WireEnd(w, 0), name) || Names(WireEnd(w, 1), name); });
        for (const char* list : {"controls", "midi_map"}) {
            drop(list, [&](Json& e) {
                const Json* pin = EntryPin(e);
                return pin && Names(*pin, name);
            });
        }
        if (root.contains("audio") && root["audio"].contains("outputs")) {
            Json& outputs = root["audio"]["outputs"];
            outputs.erase(std::remove_if(outputs.begin(), outputs.end(),
                                         [&](const Json& o) { return Names(o, name); }),
                          outputs.end());
            if (outputs.empty()) root["audio"].erase("outputs");
        }
        if (root.contains("midi") && root["midi"].is_object() && root["midi"].contains("to") &&
            Names(root["midi"]["to"], name)) {
            root["midi"].erase("to");
        }
        std::vector<Json> groups = Groups(root);
        for (Json& g : groups) {
            Json& names = g["modules"];
            names.erase(std::remove(names.begin(), names.end(), Json(name)), names.end());
        }
        std::erase_if(groups, [](const Json& g) { return g["modules"].empty(); });
        PutGroups(root, groups);
    });
}

void PatchEditor::RenameModule(const std::string& from, const std::string& to) {
    Edit(from, [&](Json& root) {
        Json* m = ModuleNamed(root, from);
        if (m == nullptr) throw Error("no module named " + QuoteName(from));
        (*m)["name"] = to;
        EachReference(root, [&](Json& ref) { RenameIn(ref, from, to); });
        std::vector<Json> groups = Groups(root);
        for (Json& g : groups) {
            for (Json& n : g["modules"]) {
                if (n == from) n = to;
            }
        }
        PutGroups(root, groups);
    });
}

void PatchEditor::SetPin(const std::string& module, const std::string& pin,
                         const std::string& text) {
    Edit(module + "." + pin, SettingIn(module, "pins", pin, text));
}

void PatchEditor::SetStored(const std::string& module, const std::string& pin,
                            const std::string& text) {
    Edit(module + "." + pin, SettingIn(module, "stored", pin, text));
}

void PatchEditor::Connect(const PatchPin& from, const PatchPin& to) {
    Edit(to.module + "." + to.pin, [&](Json& root) {
        root["wires"].push_back({{"from", PinJson(from)}, {"to", PinJson(to)}});
    });
}

void PatchEditor::Disconnect(const PatchPin& to) {
    Edit(to.module + "." + to.pin, [&](Json& root) {
        Json& wires = root["wires"];
        const auto into = [&](Json& w) {
            const auto end = PinOf(WireEnd(w, 1));
            return end && end->module == to.module && end->pin == to.pin;
        };
        const auto found = std::find_if(wires.begin(), wires.end(), into);
        if (found == wires.end()) {
            throw Error("no wire into " + QuoteName(to.module + "." + to.pin));
        }
        wires.erase(found);
        if (wires.empty()) root.erase("wires");
    });
}

void PatchEditor::SetOutputs(const std::vector<PatchPin>& outputs, double gain) {
    const std::string subject = outputs.empty() ? "" : outputs[0].module + "." + outputs[0].pin;
    Edit(subject, [&](Json& root) {
        Json& audio = root["audio"];
        if (outputs.empty()) {
            audio.erase("outputs");
        } else {
            audio["outputs"] = Json::array();
            for (const PatchPin& p : outputs) audio["outputs"].push_back(PinJson(p));
        }
        if (gain != 1.0 || audio.contains("gain")) audio["gain"] = gain;
        if (audio.empty()) root.erase("audio");
    });
}

void PatchEditor::SetMidi(const std::string& source, const std::optional<PatchPin>& to) {
    const std::string subject = to ? to->module + "." + to->pin : "";
    Edit(subject, [&](Json& root) {
        if (source == "none") {
            root.erase("midi");
            return;
        }
        Json midi = Json::object();
        if (source == "live") {
            midi["live"] = true;
        } else {
            // A MIDI file beside the patch, by its plain name.
            std::error_code ec;
            const bool plain = !source.empty() && source.find('/') == std::string::npos &&
                               !source.starts_with(".");
            if (!plain || !fs::is_regular_file(fs::path(Folder()) / source, ec)) {
                throw Error("no MIDI file named " + QuoteName(source) + " beside the patch");
            }
            midi["file"] = source;
        }
        if (to) midi["to"] = PinJson(*to);
        root["midi"] = midi.size() == 1 && source == "live" ? Json("live")
                       : midi.size() == 1                   ? midi["file"]
                                                            : midi;
    });
}

void PatchEditor::SetVoices(std::size_t group, int32_t count,
                            const std::vector<std::string>& modules, bool sleep) {
    Edit(modules.empty() ? "" : modules[0], [&](Json& root) {
        std::vector<Json> groups = Groups(root);
        if (group > groups.size()) throw Error("no voice group " + std::to_string(group + 1));
        if (modules.empty()) {
            if (group < groups.size()) groups.erase(groups.begin() + static_cast<long>(group));
        } else {
            if (group == groups.size()) groups.push_back(Json::object());
            Json& g = groups[group];
            g["count"] = count;
            g["modules"] = modules;
            if (sleep) {
                g["sleep"] = true;
            } else {
                g.erase("sleep");
            }
        }
        PutGroups(root, groups);
    });
}

void PatchEditor::Place(const std::string& module, double x, double y) {
    Edit(module, [&](Json& root) {
        Json* m = ModuleNamed(root, module);
        if (m == nullptr) throw Error("no module named " + QuoteName(module));
        (*m)["ui"] = {{"x", x}, {"y", y}};
    });
}

bool PatchEditor::Undo() {
    if (undo_.empty()) return false;
    redo_.push_back(std::move(doc_));
    doc_ = std::move(undo_.back());
    undo_.pop_back();
    return true;
}

bool PatchEditor::Redo() {
    if (redo_.empty()) return false;
    undo_.push_back(std::move(doc_));
    doc_ = std::move(redo_.back());
    redo_.pop_back();
    return true;
}

void PatchEditor::Save(const std::string& path) {
    const std::string target = path.empty() ? path_ : path;
    if (Empty()) throw Error(target + ": a patch needs at least one module before it is saved");
    // A MIDI file named beside the patch is named from the new file's folder.
    Document saved = *doc_;
    Json& root = saved.root;
    const std::string to_folder = fs::path(target).parent_path().string();
    Json* file = !root.contains("midi")          ? nullptr
                 : root["midi"].is_string()      ? &root["midi"]
                 : root["midi"].contains("file") ? &root["midi"]["file"]
                                                 : nullptr;
    if (file != nullptr && *file != "live" && !file->get<std::string>().starts_with("/")) {
        std::error_code ec;
        const fs::path midi =
            fs::weakly_canonical(fs::path(Folder()) / file->get<std::string>(), ec);
        const fs::path folder = fs::weakly_canonical(to_folder.empty() ? "." : to_folder, ec);
        const fs::path rel = midi.lexically_relative(folder);
        *file = rel.empty() ? midi.string() : rel.string();
    }
    const std::string text = root.dump(2) + "\n";
    WriteFileAtomically(target, text);
    *doc_ = std::move(saved);
    path_ = target;
    saved_ = text;
}

}  // namespace kvhost
