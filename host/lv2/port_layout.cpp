// Pins to LV2 ports: one rule per data type, symbols from names, documented volt ranges.
#include "port_layout.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>

#include "kvhost/patch.h"

namespace kvhost::lv2 {

namespace {

// Choice lists in range form with more values than this get no scale points.
constexpr int32_t kMaxScalePoints = 128;

// A unique symbol: the name's symbol, or with _2, _3 ... when taken.
std::string UniqueSymbol(std::string base, std::set<std::string>& taken) {
    std::string symbol = base;
    for (int n = 2; !taken.insert(symbol).second; ++n) symbol = base + "_" + std::to_string(n);
    return symbol;
}

void DescribeChoices(Port& port, const PinInfo& info) {
    port.integer = true;
    if (!info.choices) return;
    const ChoiceList list = ParseChoices(*info.choices);
    if (list.is_range) {
        port.has_range = true;
        port.minimum = static_cast<float>(std::min(list.low, list.high));
        port.maximum = static_cast<float>(std::max(list.low, list.high));
        if (port.maximum - port.minimum < kMaxScalePoints) {
            port.enumeration = true;
            for (int32_t v = static_cast<int32_t>(port.minimum);
                 v <= static_cast<int32_t>(port.maximum); ++v) {
                port.scale_points.push_back({std::to_string(v), v});
            }
        }
        return;
    }
    if (list.entries.empty()) return;
    port.has_range = true;
    port.enumeration = true;
    port.minimum = port.maximum = static_cast<float>(list.entries.front().second);
    for (const auto& [label, value] : list.entries) {
        port.scale_points.push_back({label, value});
        port.minimum = std::min(port.minimum, static_cast<float>(value));
        port.maximum = std::max(port.maximum, static_cast<float>(value));
    }
}

// A value pin's integer, toggle and range properties and its choices' scale points.
void DescribeValue(Port& port, const PinInfo& info) {
    if (info.datatype == DT_CHOICE) DescribeChoices(port, info);
    if (info.datatype == DT_SWITCH) {
        port.toggled = port.integer = port.has_range = true;
        port.minimum = 0.0f;
        port.maximum = 1.0f;
    }
    if (info.datatype == DT_WHOLE32) port.integer = true;
}

}  // namespace

std::optional<Port> ControlInputPort(const DspInstance& dsp, int32_t k) {
    const PinInfo& info = dsp.DspPinInfo(k);
    if (info.IsOutput()) return std::nullopt;
    Port port;
    port.dsp_pin = k;
    port.datatype = info.datatype;
    port.kind = PortKind::kControlIn;
    port.name = info.name;
    port.symbol = SymbolOf(info.name);
    switch (info.datatype) {
        case DT_FSAMPLE: {
            port.role = Role::kVolts;
            const std::optional<double> v =
                info.default_value ? ValueFromText(info, *info.default_value) : std::nullopt;
            port.default_value = static_cast<float>(v.value_or(0.0));
            const VoltRange range =
                VoltRangeOf(ModuleIdOf(*dsp.GetPlugin()), info.name, port.default_value);
            port.has_range = true;
            port.minimum = range.low;
            port.maximum = range.high;
            return port;
        }
        case DT_CHOICE:
        case DT_SWITCH:
        case DT_REAL32:
        case DT_WHOLE32:
            port.role = Role::kValue;
            port.default_value = static_cast<float>(dsp.ReadValue(k));
            DescribeValue(port, info);
            return port;
        default:
            return std::nullopt;
    }
}

std::string PluginUri(std::string_view module_id) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string uri = "urn:kolvex:module:";
    for (const char c : module_id) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            uri += c;
        } else {
            uri += '%';
            uri += kHex[u >> 4];
            uri += kHex[u & 0xF];
        }
    }
    return uri;
}

std::string SymbolOf(std::string_view name) {
    std::string symbol;
    bool gap = false;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && std::isalnum(u) != 0) {
            if (gap && !symbol.empty()) symbol += '_';
            symbol += static_cast<char>(std::tolower(u));
            gap = false;
        } else {
            gap = true;
        }
    }
    if (symbol.empty()) return "pin";
    if (std::isdigit(static_cast<unsigned char>(symbol.front())) != 0) symbol.insert(0, "_");
    return symbol;
}

VoltRange VoltRangeOf(std::string_view module_id, std::string_view pin_name, float default_volts) {
    VoltRange r{-10.0f, 10.0f};
    if (const std::optional<PinRange> d = DocumentedVolts(module_id, pin_name)) {
        r = {static_cast<float>(d->low), static_cast<float>(d->high)};
    }
    if (std::isfinite(default_volts)) {
        r.low = std::min(r.low, default_volts);
        r.high = std::max(r.high, default_volts);
    }
    return r;
}

Layout MakeLayout(const DspInstance& dsp) {
    const Plugin& plugin = *dsp.GetPlugin();
    const std::string id = ModuleIdOf(plugin);
    Layout layout;
    layout.uri = PluginUri(id);
    std::set<std::string> taken;
    auto add = [&](Port port) {
        port.index = static_cast<uint32_t>(layout.ports.size());
        layout.ports.push_back(std::move(port));
        return layout.ports.size() - 1;
    };
    for (int32_t k = 0; k < dsp.PinCount(); ++k) {
        const PinInfo& info = dsp.DspPinInfo(k);
        const bool output = info.IsOutput();
        Port port;
        port.dsp_pin = k;
        port.datatype = info.datatype;
        port.name = info.name;
        port.symbol = UniqueSymbol(SymbolOf(info.name), taken);
        switch (info.datatype) {
            case DT_FSAMPLE: {
                port.role = Role::kSignal;
                if (output) {
                    port.kind = PortKind::kAudioOut;
                    add(std::move(port));
                    break;
                }
                port.kind = PortKind::kAudioIn;
                port.optional_connection = true;
                const std::size_t signal = add(port);
                Port volts = *ControlInputPort(dsp, k);
                volts.name = info.name + " (V)";
                volts.symbol = UniqueSymbol(port.symbol + "_volts", taken);
                layout.ports[signal].volts_port = static_cast<uint32_t>(add(std::move(volts)));
                break;
            }
            case DT_CHOICE:
            case DT_SWITCH:
            case DT_REAL32:
            case DT_WHOLE32:
                if (!output) {
                    Port control = *ControlInputPort(dsp, k);
                    control.symbol = port.symbol;
                    add(std::move(control));
                    break;
                }
                port.kind = PortKind::kControlOut;
                port.role = Role::kValue;
                port.default_value = static_cast<float>(dsp.ReadValue(k));
                DescribeValue(port, info);
                add(std::move(port));
                break;
            case DT_MIDI_STREAM:
                if (!output && layout.has_midi) {
                    throw NotBridged("pin " + QuoteName(info.name) +
                                     " is a second MIDI input; the bridge plays one");
                }
                if (output) {
                    throw NotBridged("pin " + QuoteName(info.name) +
                                     " sends MIDI, which the bridge cannot carry out");
                }
                port.kind = PortKind::kMidiIn;
                port.role = Role::kMidi;
                port.optional_connection = true;
                layout.has_midi = true;
                add(std::move(port));
                break;
            case DT_STRING:
                throw NotBridged("pin " + QuoteName(info.name) +
                                 " carries text, which no LV2 port carries");
            default:
                throw NotBridged("pin " + QuoteName(info.name) + " has data type " +
                                 std::to_string(info.datatype) + ", which no LV2 port carries");
        }
    }
    // The frames the outputs lie behind the inputs when the host's runs do not keep the
    // module's blocks whole.
    Port latency;
    latency.kind = PortKind::kControlOut;
    latency.role = Role::kLatency;
    latency.dsp_pin = -1;
    latency.name = "Latency";
    latency.symbol = UniqueSymbol("latency", taken);
    latency.integer = true;
    add(std::move(latency));
    return layout;
}

}  // namespace kvhost::lv2
