// `kvhost panel --edit`: the page builds the patch. Edits go to a PatchEditor, which checks
// each by loading the result as `render` does; the GUI sides run in a GuiPatchModel rebuilt
// from the new plan (its settings and stored values applied again, so values carry over);
// DSP-side pins are shown from the deliverables' descriptions and set in the patch itself.
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "kvhost/panel_editor.h"

namespace kvhost {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string TextOf(const json& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end() || !it->is_string()) {
        throw Error(std::string("this edit needs \"") + key + "\" as a text");
    }
    return it->get<std::string>();
}

double NumberOf(const json& m, const char* key, double fallback) {
    const auto it = m.find(key);
    if (it == m.end()) return fallback;
    if (!it->is_number() || !std::isfinite(it->get<double>())) {
        throw Error(std::string("\"") + key + "\" must be a number");
    }
    return it->get<double>();
}

// A pin as the page names it: ["module", "pin"] or "module.pin".
PatchPin PinField(const json& v) {
    if (v.is_array() && v.size() == 2 && v[0].is_string() && v[1].is_string()) {
        return {v[0].get<std::string>(), v[1].get<std::string>()};
    }
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        const auto dot = s.find('.');
        if (dot != std::string::npos) return {s.substr(0, dot), s.substr(dot + 1)};
    }
    throw Error("a pin is named as [\"module\", \"pin\"]");
}

PatchPin PinOfField(const json& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end()) throw Error(std::string("this edit needs \"") + key + "\" (a pin)");
    return PinField(*it);
}

json PinJson(const PatchPin& p) {
    return json::array({p.module, p.pin});
}

// "save_as" takes a plain file name in the patch's folder, nothing else.
std::string SaveAsTarget(const PatchEditor& editor, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name.starts_with(".") ||
        name.find('\0') != std::string::npos) {
        throw EditRefused("",
                          "save as takes a plain file name (no '/', not starting with '.'); "
                          "the patch is saved in its own folder");
    }
    const fs::path target = fs::path(editor.Path()).parent_path() / name;
    std::error_code ec;
    if (fs::exists(target, ec) && !fs::equivalent(target, editor.Path(), ec)) {
        throw EditRefused("", QuoteName(name) + " exists already; choose another name");
    }
    return target.string();
}

// The edits that reach the patch; true when the GUI sides must be built again.
bool ApplyEdit(PatchEditor& e, const std::string& op, const json& m) {
    if (op == "add") {
        std::optional<std::pair<double, double>> at;
        if (m.contains("x") || m.contains("y")) at = {{NumberOf(m, "x", 0), NumberOf(m, "y", 0)}};
        e.AddModule(TextOf(m, "name"), TextOf(m, "plugin"), at);
    } else if (op == "remove") {
        e.RemoveModule(TextOf(m, "module"));
    } else if (op == "rename") {
        e.RenameModule(TextOf(m, "module"), TextOf(m, "to"));
    } else if (op == "wire") {
        e.Connect(PinOfField(m, "from"), PinOfField(m, "to"));
    } else if (op == "unwire") {
        e.Disconnect(PinOfField(m, "to"));
    } else if (op == "outputs") {
        std::vector<PatchPin> outputs;
        if (m.contains("outputs")) {
            if (!m["outputs"].is_array()) throw Error("\"outputs\" must be a list of pins");
            for (const json& o : m["outputs"]) outputs.push_back(PinField(o));
        }
        e.SetOutputs(outputs, NumberOf(m, "gain", 1.0));
        return false;
    } else if (op == "midi") {
        std::optional<PatchPin> to;
        if (m.contains("to") && !m["to"].is_null()) to = PinOfField(m, "to");
        e.SetMidi(TextOf(m, "source"), to);
        return false;
    } else if (op == "voices") {
        std::vector<std::string> modules;
        if (m.contains("modules")) {
            if (!m["modules"].is_array()) throw Error("\"modules\" must be a list of names");
            for (const json& n : m["modules"]) {
                if (!n.is_string()) throw Error("\"modules\" must be a list of names");
                modules.push_back(n.get<std::string>());
            }
        }
        const double group = NumberOf(m, "group", static_cast<double>(e.GroupCount()));
        const double count = NumberOf(m, "count", 1);
        if (group < 0 || group > 1e6 || count < -1e6 || count > 1e6) {
            throw Error("a voice group's number or count is out of range");
        }
        e.SetVoices(static_cast<std::size_t>(group), static_cast<int32_t>(count), modules,
                    m.value("sleep", false));
        return false;
    } else if (op == "place") {
        e.Place(TextOf(m, "module"), NumberOf(m, "x", 0), NumberOf(m, "y", 0));
        return false;
    } else if (op == "undo" || op == "redo") {
        if (!(op == "undo" ? e.Undo() : e.Redo())) throw Error("nothing to " + op);
    } else if (op == "save") {
        e.Save();
        return false;
    } else if (op == "save_as") {
        e.Save(SaveAsTarget(e, TextOf(m, "name")));
        return false;
    } else {
        throw Error("unknown edit " + QuoteText(op) +
                    " (add, remove, rename, wire, unwire, outputs, midi, voices, place, undo, "
                    "redo, save, save_as)");
    }
    return true;
}

const char* Kind(bool dsp, bool gui) {
    return dsp && gui ? "both" : dsp ? "DSP" : gui ? "GUI" : "none";
}

}  // namespace

EditorModel::EditorModel(std::unique_ptr<PatchEditor> editor) : editor_(std::move(editor)) {
    json list = json::array();
    for (const std::string& file : PluginFiles()) {
        const std::string stem = fs::path(file).stem().string();
        try {
            const Deliverable& d = Describe(stem);
            const char* id = d.plugin->Info().id;
            list.push_back({{"deliverable", stem},
                            {"name", d.plugin->Name()},
                            {"id", id != nullptr ? id : ""},
                            {"kind", Kind(!d.pins.empty(), d.gui)}});
        } catch (const Error&) {
            // a file that does not load is left out of the catalog, as `kvhost list` lists it
        }
    }
    catalog_ = list.dump();
    Changed(true);
}

EditorModel::~EditorModel() = default;

const EditorModel::Deliverable& EditorModel::Describe(const std::string& plugin) {
    const auto found = described_.find(plugin);
    if (found != described_.end()) return found->second;
    Deliverable d;
    d.plugin = Plugin::LoadFromSearchPath(plugin);
    try {
        d.pins = DspInstance(d.plugin).Pins();
    } catch (const LoadError&) {
    }
    try {
        GuiInstance gui(d.plugin);
        d.gui = true;
        if (d.pins.empty()) d.pins = gui.Pins();
    } catch (const LoadError&) {
    }
    return described_.emplace(plugin, std::move(d)).first->second;
}

const PinInfo& EditorModel::PinOf(const std::string& module, const std::string& pin) {
    if (plan_) {
        for (const PatchPlan::Module& m : plan_->modules) {
            if (m.name != module) continue;
            const Deliverable& d = Describe(m.plugin);
            return d.pins[static_cast<std::size_t>(ModulePin(d.pins, module, pin))];
        }
    }
    throw Error("no module " + QuoteText(module));
}

bool EditorModel::RunsOnGui(const std::string& module, const PinInfo& pin) {
    if (!gui_ || !pin.IsGuiSide()) return false;
    for (const PatchPlan::Module& m : plan_->modules) {
        if (m.name == module) return Describe(m.plugin).gui;
    }
    return false;
}

// A DSP-side pin's value as the page shows it: the patch's setting, else the default; a
// choice or switch as its number.
std::string EditorModel::SettingOf(const std::string& module, const PinInfo& pin) const {
    if (pin.IsOutput()) return "";
    std::string text = pin.default_value.value_or("");
    for (const PatchPlan::Module& m : plan_->modules) {
        if (m.name != module) continue;
        for (const PatchPlan::Setting& s : m.settings) {
            if (s.pin == pin.name || s.pin == "#" + std::to_string(pin.index)) text = s.text;
        }
    }
    if (pin.datatype == DT_CHOICE || pin.datatype == DT_SWITCH) {
        const UserValue v = CheckUserValue(pin, text);
        if (v.value) return std::to_string(static_cast<int64_t>(*v.value));
    }
    return text;
}

PanelLayout EditorModel::Layout() {
    PanelLayout layout;
    layout.title = fs::path(editor_->Path()).filename().string();
    layout.mode = "editing: GUI sides run, no audio";
    if (!plan_) return layout;
    layout.wires = plan_->wires;
    const PanelLayout gui = gui_ ? gui_->Layout() : PanelLayout{};
    for (const PatchPlan::Module& m : plan_->modules) {
        const Deliverable& d = Describe(m.plugin);
        PanelModule pm{m.name, d.plugin->Name(), "", {}};
        pm.about = d.plugin->Info().about != nullptr ? d.plugin->Info().about : "";
        const PanelModule* running = nullptr;
        for (const PanelModule& g : gui.modules) {
            if (g.name == m.name) running = &g;
        }
        for (const PinInfo& p : d.pins) {
            if (running != nullptr && p.IsGuiSide()) {
                pm.pins.push_back(running->pins[static_cast<std::size_t>(p.index)]);
                continue;
            }
            std::string from;
            for (const PatchPlan::Wire& w : plan_->wires) {
                if (w.to.module == m.name &&
                    (w.to.pin == p.name || w.to.pin == "#" + std::to_string(p.index))) {
                    from = w.from.module + "." + w.from.pin;
                }
            }
            PanelPin pin = PanelPinFor(p, false, true, from);
            if (p.IsOutput() && pin.control == PinControl::kScope) {
                pin.control = PinControl::kReadout;
                pin.note = "no audio runs while editing";
            }
            pin.value = SettingOf(m.name, p);
            pm.pins.push_back(std::move(pin));
        }
        layout.modules.push_back(std::move(pm));
    }
    return layout;
}

void EditorModel::Set(const std::string& module, const std::string& pin, const std::string& text) {
    const PinInfo& p = PinOf(module, pin);
    if (RunsOnGui(module, p)) {
        // By name, or by "#N" where the name is shared (jx_CsvFloats' 32 "FLOAT" pins).
        std::string name = p.name;
        for (const PatchPlan::Module& m : plan_->modules) {
            if (m.name == module && PinsNamed(Describe(m.plugin).pins, p.name).size() != 1) {
                name = "#" + std::to_string(p.index);
            }
        }
        editor_->SetStored(module, name, text);
        try {
            gui_->Set(module, pin, text);
        } catch (...) {
            editor_->Undo();
            throw;
        }
        Changed(false);
        return;
    }
    const std::string quoted = QuoteText(module + "." + p.name);
    if (p.IsOutput()) throw Error(quoted + " is an output");
    if (p.datatype == DT_MIDI_STREAM || p.datatype == DT_STRING) {
        throw Error(quoted + " takes no value in a patch");
    }
    for (const PatchPlan::Wire& w : plan_->wires) {
        if (w.to.module == module && w.to.pin == p.name) {
            throw Error(quoted + " is wired from " + QuoteText(w.from.module + "." + w.from.pin) +
                        "; a wired input follows its wire");
        }
    }
    // A choice's number is saved as its label, as a patch is written by hand.
    std::string setting = text;
    for (const auto& [label, value] : PanelPinFor(p, false, true, "").choices) {
        if (text == std::to_string(value)) setting = label;
    }
    editor_->SetPin(module, p.name, setting);
    Changed(false);
}

std::string EditorModel::Get(const std::string& module, const std::string& pin) {
    const PinInfo& p = PinOf(module, pin);
    return RunsOnGui(module, p) ? gui_->Get(module, pin) : SettingOf(module, p);
}

void EditorModel::Note(bool, int32_t, int32_t) {
    throw Error("no live MIDI input: the editor runs no audio (kvhost play PATCH --panel does)");
}

void EditorModel::Watch(const std::string& module, const std::string&) {
    throw Error(QuoteText(module) + ": no audio runs while editing, so there is no spectrum");
}

std::vector<std::vector<std::string>> EditorModel::Values() {
    std::vector<std::vector<std::string>> values;
    if (!plan_) return values;
    for (const PatchPlan::Module& m : plan_->modules) {
        values.emplace_back();
        for (const PinInfo& p : Describe(m.plugin).pins) {
            values.back().push_back(RunsOnGui(m.name, p)
                                        ? gui_->Get(m.name, "#" + std::to_string(p.index))
                                        : SettingOf(m.name, p));
        }
    }
    return values;
}

void EditorModel::Collect(PanelUpdates& out, bool frames) {
    if (gui_) {
        PanelUpdates carried;  // the GUI sides' wires carry; what changed is found below
        gui_->Collect(carried, frames);
    }
    std::vector<std::vector<std::string>> now = Values();
    if (now.size() != shown_.size()) {  // a new layout went out with these values
        shown_ = std::move(now);
        return;
    }
    for (std::size_t m = 0; m < now.size(); ++m) {
        for (std::size_t p = 0; p < now[m].size() && p < shown_[m].size(); ++p) {
            if (now[m][p] == shown_[m][p]) continue;
            out.pins.push_back({static_cast<int32_t>(m), static_cast<int32_t>(p), now[m][p]});
        }
    }
    shown_ = std::move(now);
}

std::string EditorModel::Catalog() {
    return catalog_;
}

std::string EditorModel::Structure() {
    json s = {{"path", editor_->Path()},
              {"changed", editor_->Changed()},
              {"can_undo", editor_->CanUndo()},
              {"can_redo", editor_->CanRedo()}};
    const json doc = json::parse(editor_->Text());
    json modules = json::array();
    for (const json& m : doc["modules"]) {
        modules.push_back({{"name", m.value("name", "")},
                           {"plugin", m.value("plugin", "")},
                           {"ui", m.contains("ui") ? m["ui"] : json()}});
    }
    s["modules"] = modules;
    json wires = json::array(), outputs = json::array(), voices = json::array();
    json midi = {{"source", "none"}, {"to", nullptr}};
    double gain = 1.0;
    if (plan_) {
        for (const PatchPlan::Wire& w : plan_->wires) {
            wires.push_back({{"from", PinJson(w.from)}, {"to", PinJson(w.to)}});
        }
        for (const PatchPin& o : plan_->outputs) outputs.push_back(PinJson(o));
        for (const PatchPlan::Voices& v : plan_->voices) {
            voices.push_back({{"count", v.count}, {"modules", v.modules}, {"sleep", v.sleep}});
        }
        midi["source"] = plan_->midi_live ? "live" : plan_->midi_file.value_or("none");
        if (plan_->midi_to) midi["to"] = PinJson(*plan_->midi_to);
        gain = plan_->gain;
    }
    s.update({{"wires", wires},
              {"outputs", outputs},
              {"gain", gain},
              {"midi", midi},
              {"voices", voices}});
    return s.dump();
}

void EditorModel::Edit(const std::string& message) {
    const json m = json::parse(message);
    const std::string op = m.is_object() ? m.value("op", "") : "";
    bool rebuild = false;
    try {
        rebuild = ApplyEdit(*editor_, op, m);
    } catch (const EditRefused&) {
        throw;
    } catch (const Error& e) {
        throw EditRefused("", e.what());
    }
    try {
        Changed(rebuild);
    } catch (const Error& e) {
        // The GUI sides refused what the patch rules allowed: the edit is taken back.
        if (op != "undo" && op != "redo" && editor_->Undo()) Changed(true);
        throw EditRefused("", e.what());
    }
}

std::string EditorModel::Shape() const {
    if (!plan_) return "";
    json shape = json::array();
    for (const PatchPlan::Module& m : plan_->modules) shape.push_back({m.name, m.plugin});
    for (const PatchPlan::Wire& w : plan_->wires) {
        shape.push_back({PinJson(w.from), PinJson(w.to)});
    }
    return shape.dump();
}

void EditorModel::Changed(bool rebuild_gui) {
    if (editor_->Empty()) {
        plan_.reset();
    } else {
        plan_ = editor_->Plan();
    }
    if (rebuild_gui) Rebuild();
    ++structure_revision_;
    std::string shape = Shape();
    if (shape != shape_) {
        shape_ = std::move(shape);
        ++layout_revision_;
        shown_.clear();  // the next Collect takes the new layout's values as shown
    }
    if (plan_ && plan_changed) plan_changed(*plan_);
}

// The GUI sides of the modules that have one, with the patch's settings and stored values of
// their GUI-side pins and the wires between those pins.
void EditorModel::Rebuild() {
    gui_.reset();
    if (!plan_) return;
    PatchPlan gui_plan;
    gui_plan.source = plan_->source;
    gui_plan.folder = plan_->folder;
    const auto gui_pin = [&](const std::string& module, const std::string& pin) {
        for (const PatchPlan::Module& m : plan_->modules) {
            if (m.name != module) continue;
            const Deliverable& d = Describe(m.plugin);
            if (!d.gui) return false;
            const PinInfo& p = d.pins[static_cast<std::size_t>(ModulePin(d.pins, module, pin))];
            return p.IsGuiSide();
        }
        return false;
    };
    for (const PatchPlan::Module& m : plan_->modules) {
        if (!Describe(m.plugin).gui) continue;
        PatchPlan::Module g{m.name, m.plugin, {}, {}};
        for (const auto* list : {&m.settings, &m.stored}) {
            for (const PatchPlan::Setting& s : *list) {
                if (gui_pin(m.name, s.pin)) g.settings.push_back(s);
            }
        }
        gui_plan.modules.push_back(std::move(g));
    }
    for (const PatchPlan::Wire& w : plan_->wires) {
        if (gui_pin(w.from.module, w.from.pin) && gui_pin(w.to.module, w.to.pin)) {
            gui_plan.wires.push_back(w);
        }
    }
    if (!gui_plan.modules.empty()) gui_ = std::make_unique<GuiPatchModel>(gui_plan);
}

}  // namespace kvhost
