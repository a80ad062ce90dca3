// Live control lines: parsing, checking, and the replies in the order of the lines.
#include "control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>

#include "save.h"

namespace kvhost::play {

namespace {

std::string Trim(const std::string& s) {
    const auto a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    const auto b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

const char* const kHelp =
    "set MODULE.PIN VALUE | get MODULE.PIN | pins | status | panic | map CC MODULE.PIN [MIN "
    "MAX] | unmap CC [MODULE.PIN] | maps | save [--force] [--rate] FILE | quit";

// A controller number as a line gives it: a whole number 0-127.
int32_t Controller(const std::string& text) {
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) > 127) {
        throw Error("expected a controller number 0-127, not " + QuoteText(text));
    }
    return std::stoi(text);
}

// A whole text as a number, or nothing.
std::optional<double> Number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0') return std::nullopt;
    return v;
}

}  // namespace

std::string FormatPinValue(const PinInfo& pin, double value) {
    switch (pin.datatype) {
        case DT_FSAMPLE: {
            // Volts, as a patch gives them: the text whose tenth is this very sample value.
            const auto signal = static_cast<float>(value);
            return ShortestNumber(static_cast<double>(signal) * 10.0, [&](double volts) {
                return static_cast<float>(volts * 0.1) == signal;
            });
        }
        case DT_REAL32: {
            const auto f = static_cast<float>(value);
            return ShortestNumber(value, [&](double d) { return static_cast<float>(d) == f; });
        }
        case DT_CHOICE:
            if (pin.choices) {
                const ChoiceList list = ParseChoices(*pin.choices);
                for (const auto& [label, v] : list.entries) {
                    if (v == value && list.Find(label) == v) return label;
                }
            }
            return ShortestNumber(value);
        case DT_SWITCH:
            return value != 0.0 ? "on" : "off";
        default:
            return ShortestNumber(value);
    }
}

Control::Control(Engine& engine, GuiSides& guis, const PatchPlan& plan, std::string patch_path,
                 std::string patch_text, Output output)
    : engine_(engine),
      guis_(guis),
      plan_(plan),
      patch_path_(std::move(patch_path)),
      patch_text_(std::move(patch_text)),
      out_(std::move(output)),
      map_(engine.GetPatch().MidiMap()) {}

void Control::Now(std::string text) {
    replies_.push_back({{}, [text = std::move(text)] { return text; }});
    Pump();
}

void Control::Line(const std::string& raw) {
    ++line_number_;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') return;
    const auto space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string args = space == std::string::npos ? "" : Trim(line.substr(space + 1));
    try {
        if (word == "set") {
            Set(args);
        } else if (word == "get") {
            Get(args);
        } else if (word == "pins" && args.empty()) {
            Pins();
        } else if (word == "status" && args.empty()) {
            Now(out_.status());
        } else if (word == "save") {
            Save(args);
        } else if (word == "panic" && args.empty()) {
            Panic();
        } else if (word == "map") {
            Map(args);
        } else if (word == "unmap") {
            Unmap(args);
        } else if (word == "maps" && args.empty()) {
            Maps();
        } else if (word == "quit" && args.empty()) {
            quit_ = true;
        } else {
            throw Error(QuoteText(line) + " is not a command (" + kHelp + ")");
        }
    } catch (const Error& e) {
        out_.error("line " + std::to_string(line_number_) + ": " + e.what());
    }
}

std::string Control::ModuleList() const {
    std::string modules;
    for (const auto& m : engine_.GetPatch().Order()) modules += (modules.empty() ? "" : ", ") + m;
    return modules;
}

int32_t Control::NodeNamed(const std::string& module) const {
    const auto& order = engine_.GetPatch().Order();
    for (std::size_t n = 0; n < order.size(); ++n) {
        if (order[n] == module) return static_cast<int32_t>(n);
    }
    throw Error("no module " + QuoteText(module) + " (modules: " + ModuleList() + ")");
}

Control::Target Control::Find(const std::string& module, const std::string& pin) const {
    const int32_t node = NodeNamed(module);
    const auto& pins = engine_.Node(node).Pins();
    Target t = PinTarget(
        node, pins[static_cast<std::size_t>(PinNamed(pins, "module " + QuoteText(module), pin))]);
    if (!t.gui && t.pin->dsp_index < 0) {
        throw Error(QuoteText(t.name) + " belongs to a GUI side the module does not have");
    }
    return t;
}

Control::Target Control::Resolve(const std::string& named, std::string* value) const {
    const auto dot = named.find('.');
    if (dot == std::string::npos || dot == 0) {
        throw Error("expected MODULE.PIN, not " + QuoteText(named) + " (modules: " + ModuleList() +
                    ")");
    }
    Target t;
    const std::string module = named.substr(0, dot);
    t.node = NodeNamed(module);
    const DspInstance& dsp = engine_.Node(t.node);
    const std::string rest = named.substr(dot + 1);
    // Pin names hold spaces: take the longest name the text starts with, followed by the
    // value (set) or by nothing (get).
    std::size_t taken = 0;
    for (const PinInfo& p : dsp.Pins()) {
        for (const std::string& name : {p.name, "#" + std::to_string(p.index)}) {
            const bool fits =
                rest.compare(0, name.size(), name) == 0 &&
                (value != nullptr ? rest.size() > name.size() + 1 && rest[name.size()] == ' '
                                  : rest.size() == name.size());
            if (fits && name.size() > taken) {
                taken = name.size();
                t.index = p.index;
            }
        }
    }
    if (t.index < 0 && value != nullptr && !PinsNamed(dsp.Pins(), rest).empty()) {
        throw Error("no value given for " + QuoteText(named) + " (set MODULE.PIN VALUE)");
    }
    if (t.index < 0) {
        std::string names;
        for (const PinInfo& p : dsp.Pins())
            names += (names.empty() ? "" : ", ") + QuoteText(p.name);
        throw Error(value != nullptr && rest.find(' ') == std::string::npos
                        ? "expected MODULE.PIN VALUE, not " + QuoteText(named)
                        : "module " + QuoteText(module) + " has no pin " +
                              QuoteText(value != nullptr ? rest.substr(0, rest.rfind(' ')) : rest) +
                              " (its pins: " + names + ")");
    }
    // A name several pins share names none of them: "#N" picks one.
    PinNamed(dsp.Pins(), "module " + QuoteText(module),
             taken > 0 && rest[0] != '#' ? rest.substr(0, taken) : "#" + std::to_string(t.index));
    t.pin = &dsp.Pins()[static_cast<std::size_t>(t.index)];
    t.name = module + "." + rest.substr(0, taken);
    if (value != nullptr) *value = Trim(rest.substr(taken));
    t.gui = guis_.Gui(t.node) != nullptr && t.pin->IsGuiSide();
    if (!t.gui && t.pin->dsp_index < 0) {
        throw Error(QuoteText(t.name) + " belongs to a GUI side the module does not have");
    }
    return t;
}

bool Control::IsWired(int32_t node, const std::string& pin) const {
    const std::string& module = engine_.GetPatch().Order()[static_cast<std::size_t>(node)];
    for (const auto& w : plan_.wires) {
        if (w.to.module == module && w.to.pin == pin) return true;
    }
    return false;
}

void Control::Set(const std::string& args) {
    std::string text;
    const Target t = Resolve(args, &text);
    Apply(t, std::move(text), false);
}

void Control::SetQuietly(const Target& t, const std::string& text) {
    Apply(t, text, true);
}

void Control::Apply(const Target& t, std::string text, bool quiet) {
    const PinInfo& pin = *t.pin;
    // A text, as in a patch: bare, or quoted with JSON's escapes.
    if (pin.datatype == DT_STRING && !text.empty() && text.front() == '"') {
        try {
            text = nlohmann::json::parse(text).get<std::string>();
        } catch (const nlohmann::json::exception&) {
            throw Error(QuoteText(t.name) + ": " + QuoteText(text) + " is not a quoted text");
        }
    }
    if (!t.gui) {
        if (pin.IsOutput()) throw Error(QuoteText(t.name) + " is an output and cannot be set");
        if (pin.datatype == DT_STRING) throw Error(QuoteText(t.name) + " takes no value");
    }
    const UserValue checked = CheckUserValue(pin, text);
    if (!checked.Accepted()) throw Error(QuoteText(t.name) + ": " + checked.refusal);
    if (t.gui) {
        guis_.Gui(t.node)->SetText(t.index, text);
        if (!quiet) Now(t.name + " = " + GuiValue(t));
        return;
    }
    if (IsWired(t.node, pin.name)) {
        throw Error(QuoteText(t.name) + " is wired; a wired input follows its wire");
    }
    double value = *checked.value;
    if (pin.datatype == DT_FSAMPLE) value *= 0.1;  // volts to signal units
    const uint32_t id = next_id_++;
    engine_.Submit({Command::kSet, t.node, pin.dsp_index, value, id});
    replies_.push_back({{id},
                        [this, id, name = t.name, pin] {
                            const Report& r = answers_.at(id);
                            return name + " = " + FormatPinValue(pin, r.value) + " from sample " +
                                   std::to_string(r.clock);
                        },
                        quiet});
}

void Control::Panic() {
    const uint32_t id = next_id_++;
    engine_.Submit({Command::kPanic, 0, 0, 0.0, id});
    replies_.push_back({{id}, [this, id] {
                            return "all notes and sound off from sample " +
                                   std::to_string(answers_.at(id).clock);
                        }});
}

std::string Control::PinName(int32_t node, int32_t dsp_pin) const {
    const DspInstance& dsp = engine_.Node(node);
    const PinInfo& p = dsp.DspPinInfo(dsp_pin);
    return engine_.GetPatch().Order()[static_cast<std::size_t>(node)] + "." +
           (PinsNamed(dsp.Pins(), p.name).size() == 1 ? p.name : "#" + std::to_string(p.index));
}

std::string Control::MapText(const Patch::Mapping& m) const {
    return "cc " + std::to_string(m.cc) +
           (m.channel > 0 ? " channel " + std::to_string(m.channel) : std::string()) + " -> " +
           PinName(m.node, m.dsp_pin) + " " + ShortestNumber(m.low) + " " + ShortestNumber(m.high);
}

void Control::Remember(const Patch::Mapping& m) {
    const auto key = [](const Patch::Mapping& x) { return std::pair{x.cc, x.channel}; };
    for (Patch::Mapping& old : map_) {
        if (key(old) == key(m) && old.node == m.node && old.dsp_pin == m.dsp_pin) {
            old = m;
            ++map_version_;
            return;
        }
    }
    // After the others of its controller and channel, as Patch::MidiMap lists them.
    const auto at = std::find_if(map_.begin(), map_.end(),
                                 [&](const Patch::Mapping& x) { return key(x) > key(m); });
    map_.insert(at, m);
    ++map_version_;
}

std::size_t Control::Drop(int32_t cc, int32_t node, int32_t dsp_pin) {
    const std::size_t before = map_.size();
    std::erase_if(map_, [&](const Patch::Mapping& m) {
        return m.cc == cc && (node < 0 || (m.node == node && m.dsp_pin == dsp_pin));
    });
    if (map_.size() != before) ++map_version_;
    return before - map_.size();
}

void Control::Map(const std::string& args) {
    const auto space = args.find(' ');
    const int32_t cc = Controller(args.substr(0, space));
    const std::string rest = space == std::string::npos ? "" : Trim(args.substr(space + 1));
    if (rest.empty()) throw Error("map needs a pin (map CC MODULE.PIN [MIN MAX])");
    if (!engine_.GetPatch().HasMidiInput()) {
        throw Error("the patch has no MIDI input for controllers to arrive on");
    }
    // MIN MAX: the last two words, when both are numbers; pin names hold spaces.
    std::optional<double> low, high;
    std::string named = rest;
    const auto b = rest.rfind(' ');
    if (b != std::string::npos) {
        const std::string head = Trim(rest.substr(0, b));
        const auto a = head.rfind(' ');
        if (a != std::string::npos) {
            low = Number(head.substr(a + 1));
            high = Number(rest.substr(b + 1));
            if (low && high) {
                named = Trim(head.substr(0, a));
            } else {
                low = high = std::nullopt;
            }
        }
    }
    const Target t = Resolve(named, nullptr);
    if (t.gui) {
        throw Error(QuoteText(t.name) + " is the GUI side's to set; controllers drive DSP inputs");
    }
    const Patch::Mapping m =
        engine_.GetPatch().CheckMapping(cc, 0, t.node, t.pin->dsp_index, low, high);
    const bool known = std::any_of(map_.begin(), map_.end(), [&](const Patch::Mapping& x) {
        return x.cc == m.cc && x.channel == 0 && x.node == m.node && x.dsp_pin == m.dsp_pin;
    });
    if (!known && map_.size() >= Patch::kMaxMappings) {
        throw Error("the patch holds " + std::to_string(Patch::kMaxMappings) +
                    " mappings already; unmap one first");
    }
    Remember(m);
    const uint32_t id = next_id_++;
    Command c{Command::kMap, m.node, m.dsp_pin, m.low, id};
    c.cc = static_cast<uint8_t>(m.cc);
    c.high = m.high;
    engine_.Submit(c);
    replies_.push_back({{id}, [this, id, m] {
                            if (answers_.at(id).value == 0.0) {
                                // Learned mappings filled the table meanwhile: not made.
                                std::erase_if(map_, [&](const Patch::Mapping& x) {
                                    return x.cc == m.cc && x.channel == 0 && x.node == m.node &&
                                           x.dsp_pin == m.dsp_pin;
                                });
                                ++map_version_;
                                return "error: the mapping table is full: " + MapText(m);
                            }
                            return "mapped " + MapText(m);
                        }});
}

void Control::SubmitUnmap(int32_t cc, const Target* t, bool quiet) {
    const int32_t node = t != nullptr ? t->node : -1;
    const int32_t pin = t != nullptr ? t->pin->dsp_index : -1;
    const std::size_t removed = Drop(cc, node, pin);
    if (removed == 0) {
        throw Error("no mapping of cc " + std::to_string(cc) +
                    (t != nullptr ? " to " + QuoteText(t->name) : std::string()));
    }
    const uint32_t id = next_id_++;
    Command c{Command::kUnmap, node, pin, 0.0, id};
    c.cc = static_cast<uint8_t>(cc);
    engine_.Submit(c);
    replies_.push_back({{id},
                        [cc, removed] {
                            return "unmapped cc " + std::to_string(cc) + " (" +
                                   std::to_string(removed) +
                                   (removed == 1 ? " mapping)" : " mappings)");
                        },
                        quiet});
}

void Control::Unmap(const std::string& args) {
    const auto space = args.find(' ');
    const int32_t cc = Controller(args.substr(0, space));
    const std::string rest = space == std::string::npos ? "" : Trim(args.substr(space + 1));
    if (rest.empty()) {
        SubmitUnmap(cc, nullptr, false);
        return;
    }
    const Target t = Resolve(rest, nullptr);
    SubmitUnmap(cc, &t, false);
}

void Control::UnmapQuietly(int32_t cc, const Target& t) {
    if (cc < 0 || cc > 127) throw Error("a controller is 0-127");
    if (t.pin->dsp_index < 0) throw Error("no mapping of cc " + std::to_string(cc));
    SubmitUnmap(cc, &t, true);
}

void Control::Maps() {
    std::string text;
    for (const Patch::Mapping& m : map_) text += (text.empty() ? "" : "\n") + MapText(m);
    Now(text.empty() ? "no mappings" : text);
}

bool Control::Learnable(const Target& t) const {
    if (t.gui || t.pin->dsp_index < 0) return false;
    try {
        engine_.GetPatch().CheckMapping(0, 0, t.node, t.pin->dsp_index, std::nullopt, std::nullopt);
        return true;
    } catch (const Error&) {
        return false;
    }
}

void Control::Learn(const Target& t) {
    if (!engine_.TakesLiveMidi()) {
        throw Error("the patch takes no live MIDI (\"midi\": \"live\"), so no controller arrives");
    }
    if (t.gui || t.pin->dsp_index < 0) {
        throw Error(QuoteText(t.name) + " is the GUI side's to set; controllers drive DSP inputs");
    }
    const Patch::Mapping m =
        engine_.GetPatch().CheckMapping(0, 0, t.node, t.pin->dsp_index, std::nullopt, std::nullopt);
    learn_id_ = next_id_++;
    Command c{Command::kLearn, m.node, m.dsp_pin, m.low, learn_id_};
    c.high = m.high;
    engine_.Submit(c);
    learning_ = t;
    ++map_version_;
}

void Control::Forget() {
    if (!learning_) return;
    engine_.Submit({Command::kForget, 0, 0, 0.0, 0});
    learning_.reset();
    ++map_version_;
}

std::string Control::GuiValue(const Target& t) const {
    const GuiInstance& gui = *guis_.Gui(t.node);
    if (t.pin->datatype == DT_STRING) return nlohmann::json(gui.Text(t.index)).dump();
    const double v = t.pin->datatype == DT_REAL32 || t.pin->datatype == DT_FSAMPLE
                         ? static_cast<double>(gui.Float(t.index))
                         : static_cast<double>(gui.Int(t.index));
    return FormatPinValue(*t.pin, v);
}

uint32_t Control::Ask(int32_t node, int32_t dsp_pin) {
    const uint32_t id = next_id_++;
    engine_.Submit({Command::kGet, node, dsp_pin, 0.0, id});
    return id;
}

uint32_t Control::Sync() {
    const uint32_t id = next_id_++;
    engine_.Submit({Command::kSync, 0, 0, 0.0, id});
    return id;
}

void Control::Get(const std::string& args) {
    const Target t = Resolve(args, nullptr);
    if (t.gui) {
        // Once the changes before this line have run and what they sent back has arrived.
        const uint32_t id = Sync();
        replies_.push_back({{id}, [this, t] { return t.name + " = " + GuiValue(t); }});
        return;
    }
    if (t.pin->datatype == DT_MIDI_STREAM || t.pin->datatype == DT_STRING) {
        throw Error(QuoteText(t.name) + " holds no value");
    }
    const uint32_t id = Ask(t.node, t.pin->dsp_index);
    replies_.push_back({{id}, [this, id, t] {
                            return t.name + " = " + FormatPinValue(*t.pin, answers_.at(id).value);
                        }});
}

Control::Target Control::PinTarget(int32_t node, const PinInfo& pin) const {
    Target t;
    t.node = node;
    t.index = pin.index;
    t.pin = &pin;
    t.name = engine_.GetPatch().Order()[static_cast<std::size_t>(node)] + "." + pin.name;
    t.gui = guis_.Gui(node) != nullptr && pin.IsGuiSide();
    return t;
}

void Control::Gather(std::function<std::string(const std::vector<PinValue>&)> finish, bool quiet) {
    // Every pin of every module, in patch order, once the changes before have run: DSP
    // values as the audio thread answers, GUI-side values as they are then.
    std::vector<PinValue> rows;
    std::vector<uint32_t> ids = {Sync()};
    for (int32_t n = 0; n < engine_.NodeCount(); ++n) {
        for (const PinInfo& p : engine_.Node(n).Pins()) {
            const Target t = PinTarget(n, p);
            const bool asked = !t.gui && p.dsp_index >= 0 && p.datatype != DT_MIDI_STREAM &&
                               p.datatype != DT_STRING;
            rows.push_back({t, asked, 0.0});
            if (asked) ids.push_back(Ask(n, p.dsp_index));
        }
    }
    replies_.push_back({ids,
                        [this, ids, rows = std::move(rows), finish = std::move(finish)]() mutable {
                            std::size_t next = 1;  // ids[0] is the Sync
                            for (PinValue& r : rows) {
                                if (r.asked) r.value = answers_.at(ids[next++]).value;
                            }
                            return finish(rows);
                        },
                        quiet});
}

void Control::Pins() {
    Gather(
        [this](const std::vector<PinValue>& rows) {
            std::string text;
            for (const PinValue& r : rows) {
                const PinInfo& p = *r.target.pin;
                text += (text.empty() ? "" : "\n") + r.target.name + " = ";
                if (r.target.gui) {
                    text += GuiValue(r.target);
                } else if (r.asked) {
                    text += FormatPinValue(p, r.value);
                } else {
                    text += p.datatype == DT_MIDI_STREAM ? "(MIDI)" : "(text)";
                }
            }
            return text;
        },
        false);
}

void Control::Snapshot(std::function<void(const std::vector<PinValue>&)> done) {
    Gather(
        [done = std::move(done)](const std::vector<PinValue>& rows) {
            done(rows);
            return std::string();
        },
        true);
}

void Control::Save(const std::string& args) {
    bool force = false, rate = false;
    std::string path = args;
    for (bool more = true; more;) {
        more = false;
        for (auto [flag, set] : {std::pair{"--force", &force}, std::pair{"--rate", &rate}}) {
            const std::size_t n = std::strlen(flag);
            if (path.compare(0, n, flag) == 0 && (path.size() == n || path[n] == ' ')) {
                *set = true;
                path = Trim(path.substr(n));
                more = true;
            }
        }
    }
    if (path.empty()) throw Error("save needs a file name (save [--force] [--rate] FILE)");
    std::error_code ec;
    if (!force && std::filesystem::exists(path, ec) &&
        std::filesystem::equivalent(path, patch_path_, ec)) {
        throw Error(QuoteText(path) + " is the patch being played; \"save --force " + path +
                    "\" overwrites it");
    }
    // What a patch keeps of each module: unwired DSP inputs under "pins"; the GUI side's
    // pins and the outputs flagged IO_PATCH_STORE under "stored".
    struct Entry {
        Target target;
        bool stored;
        std::string key;
        uint32_t id;  // the DSP value asked for; 0: a GUI-side value
    };
    std::vector<Entry> entries;
    std::vector<uint32_t> ids = {Sync()};
    for (int32_t n = 0; n < engine_.NodeCount(); ++n) {
        const auto& pins = engine_.Node(n).Pins();
        for (const PinInfo& p : pins) {
            const Target t = PinTarget(n, p);
            const std::string key =
                PinsNamed(pins, p.name).size() == 1 ? p.name : "#" + std::to_string(p.index);
            if (t.gui) {
                entries.push_back({t, true, key, 0});
                continue;
            }
            if (p.dsp_index < 0 || p.datatype == DT_MIDI_STREAM || p.datatype == DT_STRING) {
                continue;
            }
            const bool stored_output = p.IsOutput() && (p.flags & IO_PATCH_STORE) != 0;
            if (p.IsOutput() ? !stored_output : IsWired(n, p.name)) continue;
            entries.push_back({t, stored_output, key, Ask(n, p.dsp_index)});
            ids.push_back(entries.back().id);
        }
    }
    // The mappings as this line finds them (later lines may change them before the answers).
    std::vector<SavedMapping> midi_map;
    for (const Patch::Mapping& m : map_) {
        midi_map.push_back({m.cc, m.channel, PinName(m.node, m.dsp_pin), m.low, m.high});
    }
    replies_.push_back(
        {ids, [this, entries, path, rate, midi_map] {
             const auto& order = engine_.GetPatch().Order();
             std::vector<SavedModule> modules(order.size());
             for (std::size_t n = 0; n < order.size(); ++n) modules[n].name = order[n];
             for (const Entry& e : entries) {
                 const Target& t = e.target;
                 const bool text = t.pin->datatype == DT_STRING;
                 std::string value;
                 if (e.id != 0) {
                     value = FormatPinValue(*t.pin, answers_.at(e.id).value);
                 } else {
                     value = text ? guis_.Gui(t.node)->Text(t.index) : GuiValue(t);
                 }
                 // Only what a patch may hold: what render would refuse is
                 // not written.
                 const UserValue ok = CheckUserValue(*t.pin, value);
                 if (!ok.Accepted()) {
                     return "error: " + path + " not saved: " + t.name + ": " + ok.refusal;
                 }
                 SavedModule& m = modules[static_cast<std::size_t>(t.node)];
                 (e.stored ? m.stored : m.pins).push_back({e.key, value, text});
             }
             try {
                 WriteFileAtomically(
                     path,
                     SavedPatchText(patch_text_, plan_, patch_path_,
                                    rate || plan_.sample_rate_given
                                        ? std::optional<double>(engine_.GetPatch().SampleRate())
                                        : std::nullopt,
                                    modules, path, midi_map));
             } catch (const Error& err) {
                 return std::string("error: ") + err.what();
             }
             return "saved " + path;
         }});
}

void Control::Exchange() {
    Report r;
    while (engine_.Poll(r)) {
        if (r.kind == Report::kCarry) {
            guis_.Receive(r);
        } else if (r.kind == Report::kLearned) {
            const Patch::Mapping m{r.cc, r.channel, r.node, r.pin, r.value, r.high};
            if (learning_ && r.id == learn_id_) learning_.reset();
            ++map_version_;
            if (r.id == 0) {
                out_.error("the mapping table is full: " + MapText(m) + " was not learned");
            } else {
                Remember(m);
                out_.reply("learned " + MapText(m));
            }
        } else {
            answers_[r.id] = r;
        }
    }
    engine_.Flush();
    Pump();
}

void Control::Pump() {
    while (!replies_.empty()) {
        Reply& r = replies_.front();
        for (uint32_t id : r.ids) {
            if (answers_.find(id) == answers_.end()) return;
        }
        const std::string text = r.finish();
        const bool quiet = r.quiet;
        for (uint32_t id : r.ids) answers_.erase(id);
        replies_.pop_front();
        if (text.rfind("error: ", 0) == 0) {
            out_.error(text.substr(7));
        } else if (!quiet) {
            out_.reply(text);
        }
    }
}

}  // namespace kvhost::play
