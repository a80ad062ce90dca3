// `kvhost panel`: the GUI sides of a patch on the calling thread, no audio. User values go in
// as the `set` control line takes them; wires carry values between GUI-side pins; what the
// pages are sent is every pin whose value differs from what they last got.
#include <filesystem>
#include <map>

#include "kvhost/panel.h"

namespace kvhost {

namespace {

// Wires settle within this many rounds; more means a loop of wires feeding itself.
constexpr int kCarryRounds = 16;

bool CarriesValue(int32_t datatype) {
    return datatype == DT_CHOICE || datatype == DT_SWITCH || datatype == DT_REAL32 ||
           datatype == DT_WHOLE32;
}

std::string Named(const std::string& module, const PinInfo& pin) {
    return QuoteText(module + "." + pin.name);
}

}  // namespace

GuiPatchModel::GuiPatchModel(const PatchPlan& plan) : plan_(plan) {
    const auto fail = [&](const std::string& what) { throw Error(plan_.source + ": " + what); };
    std::map<std::string, std::shared_ptr<Plugin>> plugins;
    for (const PatchPlan::Module& m : plan_.modules) {
        const std::string where = "module " + QuoteText(m.name);
        try {
            std::shared_ptr<Plugin>& plugin = plugins[m.plugin];
            if (!plugin) plugin = Plugin::LoadFromSearchPath(m.plugin);
            nodes_.push_back({m.name, std::make_unique<GuiInstance>(plugin), {}});
        } catch (const LoadError& e) {
            std::string why = plan_.source + ": " + where + ": " + e.what();
            if (why.ends_with("has no GUI side")) {
                why +=
                    "; kvhost panel runs GUI sides alone (kvhost play PATCH --panel plays "
                    "the whole patch)";
            }
            throw LoadError(why);
        }
        nodes_.back().gui->Init(false);  // newly placed, as `kvhost gui` starts them
    }
    const auto node_named = [&](const std::string& name, const std::string& what) {
        for (std::size_t n = 0; n < nodes_.size(); ++n) {
            if (nodes_[n].name == name) return n;
        }
        fail(what + ": no module named " + QuoteText(name));
        return std::size_t{0};
    };
    for (const PatchPlan::Wire& w : plan_.wires) {
        const std::string what =
            "wire " + w.from.module + "." + w.from.pin + " -> " + w.to.module + "." + w.to.pin;
        Link link{};
        link.from_node = node_named(w.from.module, what);
        link.to_node = node_named(w.to.module, what);
        try {
            link.from_pin =
                ModulePin(nodes_[link.from_node].gui->Pins(), w.from.module, w.from.pin);
            link.to_pin = ModulePin(nodes_[link.to_node].gui->Pins(), w.to.module, w.to.pin);
        } catch (const Error& e) {
            fail(what + ": " + e.what());
        }
        const PinInfo& a =
            nodes_[link.from_node].gui->Pins()[static_cast<std::size_t>(link.from_pin)];
        const PinInfo& b = nodes_[link.to_node].gui->Pins()[static_cast<std::size_t>(link.to_pin)];
        if (!a.IsGuiSide() || !b.IsGuiSide()) {
            fail(what + ": kvhost panel wires GUI-side pins only (" +
                 QuoteText(a.IsGuiSide() ? b.name : a.name) + " is on the DSP side)");
        }
        if (!a.IsOutput()) fail(what + ": " + QuoteText(a.name) + " is not an output");
        if (b.IsOutput()) fail(what + ": " + QuoteText(b.name) + " is not an input");
        const bool texts = a.datatype == DT_STRING && b.datatype == DT_STRING;
        if (!texts && !(CarriesValue(a.datatype) && CarriesValue(b.datatype))) {
            fail(what + ": cannot connect " + DataTypeName(a.datatype) + " to " +
                 DataTypeName(b.datatype));
        }
        for (const Link& l : links_) {
            if (l.to_node == link.to_node && l.to_pin == link.to_pin) {
                fail(what + ": " + QuoteText(w.to.module + "." + w.to.pin) + " is wired twice");
            }
        }
        links_.push_back(link);
    }
    carried_.resize(nodes_.size());
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        carried_[n].resize(nodes_[n].gui->Pins().size());
    }
    Carry();
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        for (const PatchPlan::Setting& s : plan_.modules[n].settings) {
            try {
                Apply({n, ModulePin(nodes_[n].gui->Pins(), nodes_[n].name, s.pin)}, s.text);
            } catch (const Error& e) {
                fail(e.what());
            }
        }
    }
    for (Node& node : nodes_) {
        for (const PinInfo& p : node.gui->Pins()) node.shown.push_back(node.gui->Text(p.index));
    }
}

GuiPatchModel::~GuiPatchModel() = default;

GuiInstance& GuiPatchModel::Gui(const std::string& module) {
    for (Node& node : nodes_) {
        if (node.name == module) return *node.gui;
    }
    throw Error("no module " + QuoteText(module));
}

GuiPatchModel::Target GuiPatchModel::Resolve(const std::string& module,
                                             const std::string& pin) const {
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        if (nodes_[n].name == module) return {n, ModulePin(nodes_[n].gui->Pins(), module, pin)};
    }
    std::string names;
    for (const Node& node : nodes_) names += (names.empty() ? "" : ", ") + node.name;
    throw Error("no module " + QuoteText(module) + " (modules: " + names + ")");
}

std::string GuiPatchModel::WiredFrom(std::size_t node, int32_t pin) const {
    for (const Link& l : links_) {
        if (l.to_node == node && l.to_pin == pin) {
            // By name, or by "#N" where the name is shared (jx_CsvFloats' 32 "FLOAT" pins).
            const auto& pins = nodes_[l.from_node].gui->Pins();
            const PinInfo& from = pins[static_cast<std::size_t>(l.from_pin)];
            return nodes_[l.from_node].name + "." +
                   (PinsNamed(pins, from.name).size() == 1 ? from.name
                                                           : "#" + std::to_string(from.index));
        }
    }
    return "";
}

void GuiPatchModel::Apply(const Target& t, const std::string& text) {
    GuiInstance& gui = *nodes_[t.node].gui;
    const PinInfo& pin = gui.Pins()[static_cast<std::size_t>(t.pin)];
    const std::string name = Named(nodes_[t.node].name, pin);
    if (!pin.IsGuiSide()) {
        throw Error(name + " is on the DSP side, which kvhost panel does not run (kvhost play " +
                    "PATCH --panel does)");
    }
    const std::string from = WiredFrom(t.node, t.pin);
    if (!from.empty()) {
        throw Error(name + " is wired from " + QuoteText(from) +
                    "; a wired input follows its wire");
    }
    const UserValue checked = CheckUserValue(pin, text);
    if (!checked.Accepted()) throw Error(name + ": " + checked.refusal);
    gui.SetText(t.pin, text);
    Carry();
}

void GuiPatchModel::Carry() {
    for (int round = 0; round < kCarryRounds; ++round) {
        bool moved = false;
        for (const Link& l : links_) {
            GuiInstance& from = *nodes_[l.from_node].gui;
            GuiInstance& to = *nodes_[l.to_node].gui;
            std::string& last = carried_[l.to_node][static_cast<std::size_t>(l.to_pin)];
            const std::string value = from.Text(l.from_pin);
            if (value == last) continue;
            last = value;
            moved = true;
            switch (from.Pins()[static_cast<std::size_t>(l.from_pin)].datatype) {
                case DT_STRING:
                    to.Receive(l.to_pin, value);
                    break;
                case DT_REAL32:
                    to.ReceiveFloat(l.to_pin, from.Float(l.from_pin));
                    break;
                default:
                    to.ReceiveInt(l.to_pin, from.Int(l.from_pin));
                    break;
            }
        }
        if (!moved) return;
    }
    // A loop of wires still moving: left where it is until the next change starts it again.
}

PanelLayout GuiPatchModel::Layout() {
    PanelLayout layout;
    layout.title = std::filesystem::path(plan_.source).filename().string();
    layout.mode = "GUI sides only, no audio";
    layout.wires = plan_.wires;
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        const GuiInstance& gui = *nodes_[n].gui;
        const KVModuleInfo& info = gui.GetPlugin()->Info();
        PanelModule m;
        m.name = nodes_[n].name;
        m.plugin = gui.GetPlugin()->Name();
        m.about = info.about != nullptr ? info.about : "";
        for (const PinInfo& p : gui.Pins()) {
            PanelPin pin = PanelPinFor(p, true, false, WiredFrom(n, p.index));
            pin.value = gui.Text(p.index);
            m.pins.push_back(std::move(pin));
        }
        layout.modules.push_back(std::move(m));
    }
    return layout;
}

void GuiPatchModel::Set(const std::string& module, const std::string& pin,
                        const std::string& text) {
    Apply(Resolve(module, pin), text);
}

std::string GuiPatchModel::Get(const std::string& module, const std::string& pin) {
    const Target t = Resolve(module, pin);
    return nodes_[t.node].gui->Text(t.pin);
}

void GuiPatchModel::Note(bool, int32_t, int32_t) {
    throw Error(
        "no live MIDI input: kvhost panel runs GUI sides alone (kvhost play PATCH "
        "--panel plays notes)");
}

void GuiPatchModel::Watch(const std::string& module, const std::string& pin) {
    const Target t = Resolve(module, pin);
    throw Error(Named(module, nodes_[t.node].gui->Pins()[static_cast<std::size_t>(t.pin)]) +
                ": no audio runs under kvhost panel, so there is no spectrum");
}

void GuiPatchModel::Collect(PanelUpdates& out, bool) {
    Carry();
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        Node& node = nodes_[n];
        for (std::size_t i = 0; i < node.shown.size(); ++i) {
            std::string value = node.gui->Text(static_cast<int32_t>(i));
            if (value == node.shown[i]) continue;
            node.shown[i] = value;
            out.pins.push_back(
                {static_cast<int32_t>(n), static_cast<int32_t>(i), std::move(value)});
        }
    }
}

}  // namespace kvhost
