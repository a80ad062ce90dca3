// A patch as an LV2 instrument: its ports from the patch's outputs and pins, and its runs
// through the patch's live path, whole blocks on the patch's grid.
#include "instrument.h"

#include <lv2/atom/util.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <set>

namespace kvhost::lv2 {

namespace {

bool Differs(float value, float last) {
    return std::bit_cast<uint32_t>(value) != std::bit_cast<uint32_t>(last);
}

int32_t NodeOf(Patch& patch, const std::string& module) {
    const std::vector<std::string>& order = patch.Order();
    const auto it = std::find(order.begin(), order.end(), module);
    return it == order.end() ? -1 : static_cast<int32_t>(it - order.begin());
}

// The module's input pin `k` has a wire to it.
bool Wired(const PatchPlan& plan, const std::string& module, const DspInstance& dsp, int32_t k) {
    for (const PatchPlan::Wire& w : plan.wires) {
        if (w.to.module != module) continue;
        try {
            if (dsp.DspPin(w.to.pin) == k) return true;
        } catch (const Error&) {
        }
    }
    return false;
}

std::string UniqueSymbol(const std::string& base, std::set<std::string>& taken) {
    std::string symbol = base;
    for (int n = 2; !taken.insert(symbol).second; ++n) symbol = base + "_" + std::to_string(n);
    return symbol;
}

}  // namespace

std::string InstrumentName(const PatchPlan& plan, std::string_view fallback) {
    return plan.name && !plan.name->empty() ? *plan.name : std::string(fallback);
}

std::string InstrumentUri(const PatchPlan& plan, std::string_view fallback) {
    const std::string key =
        plan.id && !plan.id->empty() ? *plan.id : InstrumentName(plan, fallback);
    static const std::string kModulePrefix = PluginUri("");
    return "urn:kolvex:patch:" + PluginUri(key).substr(kModulePrefix.size());
}

PatchPlan InstrumentPlan(PatchPlan plan, double sample_rate) {
    plan.sample_rate = sample_rate;
    plan.sample_rate_given = true;
    plan.midi_file.reset();
    plan.midi_live = true;
    plan.seconds.reset();
    return plan;
}

float ControlValue(const PatchPlan& plan, Patch& patch, int32_t node, const Port& port) {
    DspInstance& dsp = patch.Instance(node);
    if (port.role != Role::kVolts) return static_cast<float>(dsp.ReadValue(port.dsp_pin));
    const std::string& module = patch.Order()[static_cast<std::size_t>(node)];
    for (const PatchPlan::Module& m : plan.modules) {
        if (m.name != module) continue;
        for (const PatchPlan::Setting& s : m.settings) {
            try {
                if (dsp.DspPin(s.pin) != port.dsp_pin) continue;
            } catch (const Error&) {
                continue;
            }
            if (auto v = ValueFromText(dsp.DspPinInfo(port.dsp_pin), s.text)) {
                return static_cast<float>(*v);
            }
        }
    }
    if (auto p = ControlInputPort(dsp, port.dsp_pin)) return p->default_value;
    return 0.0f;
}

std::vector<std::string> GuiSideModules(
    const PatchPlan& plan, const std::function<std::shared_ptr<Plugin>(const std::string&)>& load) {
    std::vector<std::string> gui;
    for (const PatchPlan::Module& m : plan.modules) {
        const std::shared_ptr<Plugin> plugin = load(m.plugin);
        try {
            GuiInstance probe(plugin);
            gui.push_back(m.name);
        } catch (const LoadError&) {
        }
    }
    return gui;
}

InstrumentLayout MakeInstrumentLayout(const PatchPlan& plan, Patch& patch,
                                      std::string_view fallback_name) {
    if (!patch.HasMidiInput()) {
        throw InstrumentRefused(
            "it has no MIDI input to play: an instrument takes its notes from the host");
    }
    InstrumentLayout layout;
    layout.name = InstrumentName(plan, fallback_name);
    layout.uri = InstrumentUri(plan, fallback_name);
    std::set<std::string> taken;
    auto add = [&](Port port, int32_t node) {
        port.index = static_cast<uint32_t>(layout.ports.size());
        port.symbol = UniqueSymbol(port.symbol, taken);
        layout.ports.push_back(std::move(port));
        layout.nodes.push_back(node);
    };
    Port midi;
    midi.kind = PortKind::kMidiIn;
    midi.role = Role::kMidi;
    midi.name = "MIDI In";
    midi.symbol = "midi_in";
    add(std::move(midi), -1);
    for (const PatchPin& o : patch.OutputPins()) {
        Port out;
        out.kind = PortKind::kAudioOut;
        out.role = Role::kSignal;
        out.datatype = DT_FSAMPLE;
        out.name = o.module + " " + o.pin;
        out.symbol = SymbolOf(out.name);
        add(std::move(out), -1);
    }
    auto control = [&](int32_t node, const std::string& module, int32_t k) {
        std::optional<Port> port = ControlInputPort(patch.Instance(node), k);
        port->name = module + " " + port->name;
        port->symbol = SymbolOf(port->name);
        if (port->role == Role::kVolts) port->name += " (V)";
        port->default_value = ControlValue(plan, patch, node, *port);
        return *port;
    };
    if (plan.controls) {
        for (const PatchPlan::Control& c : *plan.controls) {
            const std::string where = "control " + QuoteName(c.pin.module + "." + c.pin.pin);
            const int32_t node = NodeOf(patch, c.pin.module);
            if (node < 0)
                throw InstrumentRefused(where + ": no module named " + QuoteName(c.pin.module));
            const DspInstance& dsp = patch.Instance(node);
            int32_t k = -1;
            try {
                k = dsp.DspPin(c.pin.pin);
            } catch (const Error&) {
                throw InstrumentRefused(where + ": module " + QuoteName(c.pin.module) +
                                        " has no pin " + QuoteName(c.pin.pin));
            }
            const PinInfo& info = dsp.DspPinInfo(k);
            if (info.IsOutput()) throw InstrumentRefused(where + " is an output, not an input");
            if (Wired(plan, c.pin.module, dsp, k)) {
                throw InstrumentRefused(where + " is wired: a wire already sets it");
            }
            if (!ControlInputPort(dsp, k)) {
                throw InstrumentRefused(where + " carries " + DataTypeName(info.datatype) +
                                        ", which no control port carries");
            }
            Port port = control(node, c.pin.module, k);
            if (c.label) {
                port.name = *c.label;
                port.symbol = SymbolOf(*c.label);
            }
            if (c.minimum || c.maximum) {
                const float value = port.default_value;
                port.minimum = c.minimum ? static_cast<float>(*c.minimum)
                                         : (port.has_range ? port.minimum : value);
                port.maximum = c.maximum ? static_cast<float>(*c.maximum)
                                         : (port.has_range ? port.maximum : value);
                port.has_range = true;
                if (!(port.minimum <= value && value <= port.maximum)) {
                    throw InstrumentRefused(where + ": the patch's value " + std::to_string(value) +
                                            " lies outside its range");
                }
            }
            add(std::move(port), node);
        }
    } else {
        for (const PatchPlan::Module& m : plan.modules) {
            const int32_t node = NodeOf(patch, m.name);
            const DspInstance& dsp = patch.Instance(node);
            for (int32_t k = 0; k < dsp.PinCount(); ++k) {
                if (!ControlInputPort(dsp, k) || Wired(plan, m.name, dsp, k)) continue;
                add(control(node, m.name, k), node);
            }
        }
    }
    if (plan.block_size > 1) {
        Port latency;
        latency.kind = PortKind::kControlOut;
        latency.role = Role::kLatency;
        latency.dsp_pin = -1;
        latency.name = "Latency";
        latency.symbol = "latency";
        latency.integer = true;
        add(std::move(latency), -1);
    }
    return layout;
}

Instrument::Instrument(const PatchPlan& plan, double sample_rate, MidiUrids urids, uint32_t latency,
                       std::function<std::shared_ptr<Plugin>(const std::string&)> load,
                       std::string_view fallback_name)
    : plan_(InstrumentPlan(plan, sample_rate)),
      urids_(urids),
      latency_(latency),
      load_(std::move(load)) {
    if (!(sample_rate >= 1.0 && sample_rate <= 4.0e6)) {
        throw Error("the host's sample rate " + std::to_string(sample_rate) + " is unusable");
    }
    if (urids_.sequence == 0 || urids_.midi_event == 0) {
        throw Error("an instrument reads MIDI, which needs the host's urid:map feature");
    }
    if (latency_ >= static_cast<uint32_t>(plan_.block_size)) {
        throw Error("a latency of " + std::to_string(latency_) +
                    " frames is not below the block size");
    }
    {
        PatchOptions options;
        options.load_plugin = load_;
        Patch probe(plan_, std::move(options));
        layout_ = MakeInstrumentLayout(plan_, probe, fallback_name);
    }
    data_.assign(layout_.ports.size(), nullptr);
    control_of_.assign(layout_.ports.size(), -1);
    for (const Port& p : layout_.ports) {
        switch (p.kind) {
            case PortKind::kControlIn:
                control_of_[p.index] = static_cast<int32_t>(controls_.size());
                controls_.push_back({&p, layout_.nodes[p.index], nullptr, p.default_value});
                break;
            case PortKind::kAudioOut:
                outputs_.push_back(&p);
                break;
            case PortKind::kControlOut:
                latency_port_ = &p;
                break;
            case PortKind::kMidiIn:
                midi_port_ = &p;
                break;
            case PortKind::kAudioIn:
                break;
        }
    }
    for (Control& c : controls_) c.data = &c.last;
}

Instrument::~Instrument() = default;

void Instrument::ConnectPort(uint32_t port, void* data) {
    if (port >= data_.size()) return;
    data_[port] = data;
    if (control_of_[port] >= 0) {
        Control& c = controls_[static_cast<std::size_t>(control_of_[port])];
        c.data = data != nullptr ? static_cast<const float*>(data) : &c.last;
    }
    if (latency_port_ != nullptr && port == latency_port_->index && data != nullptr) {
        *static_cast<float*>(data) = static_cast<float>(latency_);
    }
}

void Instrument::Activate() {
    patch_.reset();
    PatchOptions options;
    options.real_time = true;
    options.live_events = 1024;
    options.load_plugin = load_;
    patch_ = std::make_unique<Patch>(plan_, std::move(options));
    for (Control& c : controls_) c.last = c.port->default_value;
    failure_.clear();
    frames_ = 0;
    silence_ = latency_;
    held_ = 0;
}

void Instrument::Deactivate() {
    if (patch_) dropped_events_ += patch_->DroppedEvents();
    patch_.reset();
}

void Instrument::QueueMidi(uint32_t frames, uint64_t now) {
    if (midi_port_ == nullptr) return;
    ForEachMidiEvent(data_[midi_port_->index], urids_, frames,
                     [&](uint32_t frame, const uint8_t* bytes, uint32_t size) {
                         patch_->LiveMidi(now + frame, bytes, size);
                     });
}

void Instrument::Silence(uint32_t frames, uint32_t from) {
    for (const Port* o : outputs_) {
        if (auto* out = static_cast<float*>(data_[o->index])) {
            std::fill(out + from, out + from + frames, 0.0f);
        }
    }
}

void Instrument::Run(uint32_t frames) {
    if (!patch_ || !failure_.empty()) {
        Silence(frames);
        return;
    }
    try {
        const uint64_t now = frames_;
        for (Control& c : controls_) {
            const float v = *c.data;
            if (!Differs(v, c.last) || !std::isfinite(v)) continue;
            c.last = v;
            const Port& p = *c.port;
            double value = v;
            if (p.role == Role::kVolts) {
                value *= 0.1;  // volts to signal units
            } else {
                if (p.toggled) {
                    value = v > 0.0f ? 1.0 : 0.0;
                } else if (p.integer) {
                    value = std::nearbyint(value);
                }
                if (p.has_range) value = std::clamp(value, double{p.minimum}, double{p.maximum});
            }
            patch_->Set(c.node, p.dsp_pin, value, now, PS_STILL);
        }
        QueueMidi(frames, now);
        // Host frame h plays the patch's frame h - latency: a block runs only once every
        // frame of it has been given its MIDI (with the latency one block less a frame, or
        // none when the host's runs are whole blocks).
        const auto block = static_cast<uint32_t>(plan_.block_size);
        for (uint32_t done = 0; done < frames;) {
            if (silence_ > 0) {
                const uint32_t n = std::min(silence_, frames - done);
                Silence(n, done);
                silence_ -= n;
                done += n;
                continue;
            }
            if (held_ == 0) {
                patch_->RunBlock();
                held_ = block;
            }
            const uint32_t n = std::min(held_, frames - done);
            for (std::size_t c = 0; c < outputs_.size(); ++c) {
                if (auto* out = static_cast<float*>(data_[outputs_[c]->index])) {
                    const float* from =
                        patch_->OutputBlock(static_cast<int32_t>(c)) + (block - held_);
                    std::copy(from, from + n, out + done);
                }
            }
            held_ -= n;
            done += n;
        }
        frames_ = now + frames;
        if (latency_port_ != nullptr) {
            if (auto* out = static_cast<float*>(data_[latency_port_->index])) {
                *out = static_cast<float>(latency_);
            }
        }
    } catch (const std::exception& e) {
        failure_ = e.what();
        Silence(frames);
    } catch (...) {
        failure_ = "unknown failure";
        Silence(frames);
    }
}

}  // namespace kvhost::lv2
