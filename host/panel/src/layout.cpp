// A patch's modules as the panel's page shows them: the control each pin gets, and the
// "layout" message the page builds its cards from. Shared by the panel's server and the web
// build (kolvex.wasm's kv_layout), so both pages get the same shape.
#include "kvhost/panel_layout.h"

namespace kvhost {

namespace {

// A choice range longer than this is a number field, not a selector.
constexpr int32_t kLongestChoiceRange = 256;

}  // namespace

const char* PinControlName(PinControl control) {
    switch (control) {
        case PinControl::kChoice:
            return "choice";
        case PinControl::kNumber:
            return "number";
        case PinControl::kText:
            return "text";
        case PinControl::kSlider:
            return "slider";
        case PinControl::kScope:
            return "scope";
        case PinControl::kMidi:
            return "midi";
        case PinControl::kReadout:
            break;
    }
    return "readout";
}

int32_t ModulePin(const std::vector<PinInfo>& pins, const std::string& module,
                  const std::string& name) {
    return PinNamed(pins, "module " + QuoteText(module), name);
}

PanelPin PanelPinFor(const PinInfo& pin, bool gui_runs, bool dsp_runs,
                     const std::string& wired_from) {
    PanelPin p;
    p.index = pin.index;
    p.name = pin.name;
    p.direction = pin.direction;
    p.datatype = pin.datatype;
    p.flags = pin.flags;
    const bool output = pin.IsOutput();
    // Pitch at 1 V an octave: the sample pins named for it (the converter's "Pitch", an
    // oscillator's "OP1 Pitch").
    p.pitch = pin.datatype == DT_FSAMPLE && pin.name.find("Pitch") != std::string::npos;
    if (pin.datatype == DT_SWITCH) p.choices = {{"Off", 0}, {"On", 1}};
    if (pin.datatype == DT_CHOICE) {
        const ChoiceList list = ParseChoices(pin.choices.value_or(""));
        if (list.is_range && list.high - list.low < kLongestChoiceRange) {
            for (int32_t v = list.low; v <= list.high; ++v)
                p.choices.emplace_back(std::to_string(v), v);
        } else {
            p.choices = list.entries;
        }
    }
    // A pin both sides see is the GUI side's to set when that side runs.
    const bool gui_pin = pin.IsGuiSide() && (gui_runs || !pin.IsDspVisible());
    if (pin.datatype == DT_MIDI_STREAM) {
        p.control = output ? PinControl::kReadout : PinControl::kMidi;
        return p;
    }
    if (!(gui_pin ? gui_runs : dsp_runs)) {
        p.note = gui_pin ? "GUI side not running" : "DSP side (runs under play --panel)";
        return p;
    }
    if (!wired_from.empty()) {
        p.note = "from " + wired_from;
        return p;
    }
    if ((pin.flags & IO_PRIVATE) != 0) {
        p.note = "the host's link between the sides";
        return p;
    }
    if (output && pin.datatype == DT_FSAMPLE) {
        p.control = PinControl::kScope;
        return p;
    }
    if (output && !gui_pin) return p;  // a DSP output: read-out
    switch (pin.datatype) {
        case DT_STRING:
            p.control = PinControl::kText;
            break;
        case DT_SWITCH:
        case DT_CHOICE:
            p.control = p.choices.empty() ? PinControl::kNumber : PinControl::kChoice;
            break;
        case DT_REAL32:
            // The host's animated controls take their position from 0 to 1.
            p.control =
                pin.name == "Anim Position" && gui_pin ? PinControl::kSlider : PinControl::kNumber;
            break;
        default:
            p.control = PinControl::kNumber;
            break;
    }
    return p;
}

nlohmann::json PanelLayoutMessage(const PanelLayout& layout) {
    using nlohmann::json;
    json modules = json::array();
    for (const PanelModule& m : layout.modules) {
        json pins = json::array();
        for (const PanelPin& p : m.pins) {
            json pin = {{"index", p.index},
                        {"name", p.name},
                        {"direction", DirectionName(p.direction)},
                        {"type", DataTypeName(p.datatype)},
                        {"flags", p.flags},
                        {"control", PinControlName(p.control)},
                        {"value", p.value}};
            if (!p.choices.empty()) {
                json choices = json::array();
                for (const auto& [label, value] : p.choices) choices.push_back({label, value});
                pin["choices"] = std::move(choices);
            }
            if (p.control == PinControl::kSlider) {
                pin["low"] = p.low;
                pin["high"] = p.high;
            }
            if (!p.note.empty()) pin["note"] = p.note;
            if (p.pitch) pin["pitch"] = true;
            if (p.learn) pin["learn"] = true;
            pins.push_back(std::move(pin));
        }
        modules.push_back(
            {{"name", m.name}, {"plugin", m.plugin}, {"about", m.about}, {"pins", pins}});
    }
    json wires = json::array();
    for (const PatchPlan::Wire& w : layout.wires) {
        wires.push_back({{"from", {w.from.module, w.from.pin}}, {"to", {w.to.module, w.to.pin}}});
    }
    return {{"type", "layout"},      {"title", layout.title},
            {"mode", layout.mode},   {"midi_input", layout.midi_input},
            {"learn", layout.learn}, {"sample_rate", layout.sample_rate},
            {"modules", modules},    {"wires", wires}};
}

}  // namespace kvhost
