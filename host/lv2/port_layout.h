// The LV2 face of a module: which ports its DSP pins become, with symbols, names, ranges,
// defaults and scale points. The bundle writer describes these ports; the bridge drives them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvhost/host.h"

namespace kvhost::lv2 {

// A module that has no LV2 equivalent; the message says why, in one line.
struct NotBridged : Error {
    using Error::Error;
};

enum class PortKind : uint8_t { kAudioIn, kAudioOut, kControlIn, kControlOut, kMidiIn };

// What a port does for its pin.
enum class Role : uint8_t {
    kSignal,   // a DT_FSAMPLE pin's samples (signal units, 0.1 per volt)
    kVolts,    // the hand-set value of a DT_FSAMPLE input, in volts, used while the signal
               // port is unconnected
    kValue,    // a choice, switch, real or integer pin's value
    kMidi,     // MIDI messages for a DT_MIDI_STREAM input
    kLatency,  // the plugin's latency in frames (lv2:latency), not a pin
};

struct ScalePoint {
    std::string label;
    int32_t value;
};

struct Port {
    uint32_t index = 0;  // lv2:index
    PortKind kind = PortKind::kControlIn;
    Role role = Role::kValue;
    int32_t dsp_pin = 0;   // the pin it feeds or reads
    int32_t datatype = 0;  // that pin's data type
    std::string symbol, name;
    bool has_range = false;  // minimum and maximum are known
    float minimum = 0.0f, maximum = 0.0f;
    float default_value = 0.0f;  // control inputs: the value the instance opens with
    bool integer = false, enumeration = false, toggled = false;
    bool optional_connection = false;  // lv2:connectionOptional
    std::vector<ScalePoint> scale_points;
    uint32_t volts_port = 0;  // kSignal inputs: the index of their kVolts port
};

struct Layout {
    std::string uri;  // the plugin URI, from the module id
    std::vector<Port> ports;
    bool has_midi = false;
};

// The plugin URI of a module id: "urn:kolvex:module:" and the id with every character other
// than letters, digits, '-', '.', '_' and '~' percent-encoded, so that distinct ids stay
// distinct and the same id always gives the same URI.
std::string PluginUri(std::string_view module_id);

// A valid LV2 symbol ([A-Za-z_][A-Za-z0-9_]*) from a pin name: lower case, each run of
// other characters one '_', none at the ends, '_' before a leading digit; "pin" if empty.
std::string SymbolOf(std::string_view name);

// The ports of an instance (constructed, not yet opened: its bound members hold the
// defaults it opens with), in DSP pin order; a DT_FSAMPLE input gives its signal port and,
// right after it, its volts port; last, the latency port. Throws NotBridged for a pin no LV2
// port can carry, and for a second MIDI input (a patch plays one).
Layout MakeLayout(const DspInstance& dsp);

// The control input port of input pin `k` (index and symbol to be chosen by the caller):
// a choice, switch, real or integer pin's value (its default what the instance holds now), or
// a DT_FSAMPLE input's hand-set volts (its default the pin's); nothing for other pins.
std::optional<Port> ControlInputPort(const DspInstance& dsp, int32_t k);

// The range of a DT_FSAMPLE input's hand-set value in volts: the module's documented range
// where it documents one, else the signal scale's -10 to 10 V; widened to hold the default.
struct VoltRange {
    float low, high;
};
VoltRange VoltRangeOf(std::string_view module_id, std::string_view pin_name, float default_volts);

}  // namespace kvhost::lv2
