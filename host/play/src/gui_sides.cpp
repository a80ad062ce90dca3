// GUI sides of a playing patch: creation, restored values, and the values carried between
// each GUI side and its DSP side.
#include "gui_sides.h"

#include <string>

namespace kvhost::play {

namespace {

bool TakesFloat(int32_t datatype) {
    return datatype == DT_REAL32 || datatype == DT_FSAMPLE || datatype == DT_STRING;
}

}  // namespace

std::vector<std::vector<int32_t>> CarriedPins(const DspInstance& dsp, const GuiInstance& gui) {
    std::vector<std::vector<int32_t>> carries(static_cast<std::size_t>(dsp.PinCount()));
    const std::string out = " - Out", in = " - In";
    for (const PinInfo& p : dsp.Pins()) {
        if (p.dsp_index < 0) continue;
        auto& targets = carries[static_cast<std::size_t>(p.dsp_index)];
        if (p.IsGuiSide()) targets.push_back(p.index);
        if (!p.IsOutput() || p.name.size() <= out.size() ||
            p.name.compare(p.name.size() - out.size(), out.size(), out) != 0) {
            continue;
        }
        const std::string partner = p.name.substr(0, p.name.size() - out.size()) + in;
        for (const PinInfo& g : gui.Pins()) {
            if (g.name == partner && g.IsGuiSide()) targets.push_back(g.index);
        }
    }
    return carries;
}

GuiSides::GuiSides(Engine& engine, const PatchPlan& plan) : engine_(engine) {
    const auto& order = engine_.GetPatch().Order();
    guis_.resize(order.size());
    for (int32_t n = 0; n < engine_.NodeCount(); ++n) {
        DspInstance& dsp = engine_.Node(n);
        const PatchPlan::Module* module = nullptr;
        for (const auto& m : plan.modules) {
            if (m.name == order[static_cast<std::size_t>(n)]) module = &m;
        }
        const std::string where = plan.source + ": module " + QuoteName(module->name);
        std::unique_ptr<GuiInstance> gui;
        try {
            gui = std::make_unique<GuiInstance>(dsp.GetPlugin());
        } catch (const LoadError&) {
            // No GUI side: stored values may only be DSP outputs the module keeps itself.
        }
        std::vector<std::pair<int32_t, std::string>> restore;
        for (const auto& s : module->stored) {
            // A name several pins share names none of them: "#N" picks one.
            const int32_t index = PinNamed(dsp.Pins(), where, s.pin);
            const PinInfo& pin = dsp.Pins()[static_cast<std::size_t>(index)];
            const bool gui_pin = gui && pin.IsGuiSide();
            if (!gui_pin && !(pin.IsOutput() && (pin.flags & IO_PATCH_STORE) != 0)) {
                throw Error(where + ", stored pin " + QuoteName(s.pin) +
                            ": only GUI-side pins and stored outputs go under \"stored\"; "
                            "set DSP inputs under \"pins\"");
            }
            const UserValue checked = CheckUserValue(pin, s.text);
            if (!checked.Accepted()) {
                throw Error(where + ", stored pin " + QuoteName(s.pin) + ": " + checked.refusal);
            }
            // A stored output is announced again by the module itself once it runs.
            if (gui_pin) restore.emplace_back(index, s.text);
        }
        if (!gui) continue;
        GuiInstance& g = *(guis_[static_cast<std::size_t>(n)] = std::move(gui));
        engine_.SetCarries(n, CarriedPins(dsp, g));
        g.SetWriteListener([this, n](int32_t index) { OnWrite(n, index); });
        for (const auto& [index, text] : restore) g.Restore(index, text);
        g.Init(!module->stored.empty());
    }
    engine_.CarryOpeningStatuses();
}

GuiSides::~GuiSides() {
    for (auto& gui : guis_) {
        if (gui) gui->SetWriteListener(nullptr);
    }
}

void GuiSides::Receive(const Report& carry) {
    GuiInstance* gui = Gui(carry.node);
    if (gui == nullptr) return;
    const PinInfo& target = gui->Pins()[static_cast<std::size_t>(carry.pin)];
    if (TakesFloat(target.datatype)) {
        gui->ReceiveFloat(carry.pin, static_cast<float>(carry.value), true);
    } else {
        gui->ReceiveInt(carry.pin, static_cast<int32_t>(carry.value), true);
    }
    ++received_;
}

void GuiSides::OnWrite(int32_t node, int32_t index) {
    GuiInstance& gui = *Gui(node);
    const PinInfo& pin = gui.Pins()[static_cast<std::size_t>(index)];
    if (!pin.IsGuiSide() || pin.dsp_index < 0 || pin.IsOutput()) return;
    if (pin.datatype == DT_STRING || pin.datatype == DT_MIDI_STREAM) return;
    const double value = pin.datatype == DT_REAL32 || pin.datatype == DT_FSAMPLE
                             ? static_cast<double>(gui.Float(index))
                             : static_cast<double>(gui.Int(index));
    engine_.Submit({Command::kSet, node, pin.dsp_index, value, 0});
    ++sent_;
}

void GuiSides::Trim() {
    for (auto& gui : guis_) {
        if (gui) gui->ClearLog();
    }
}

}  // namespace kvhost::play
