// Number handling shared by the host's parts: reading pin defaults and user texts, and
// narrowing to the widths the pins carry.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "kvhost/host.h"

namespace kvhost {

// Truncates toward zero, limited to T's range (NaN gives 0).
template <class T>
T ClampTo(double v) {
    if (std::isnan(v)) return 0;
    if (v <= static_cast<double>(std::numeric_limits<T>::min())) {
        return std::numeric_limits<T>::min();
    }
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(v);
}

// A whole text as a number, or nothing (leading/trailing blanks allowed).
std::optional<double> ParseNumber(std::string_view text);

// A value for a pin from a user's text: a number, a choice label, or on/off words for a
// switch. Nothing when the text fits none of them.
std::optional<double> PinValueFromText(const PinInfo& pin, std::string_view text);

// The number a pin's default text stands for (in the pin's own unit: DT_FSAMPLE in volts),
// read leniently as the real host does (a text that is no number counts as 0).
double DefaultNumber(const PinInfo& pin);

// Formats a float with the shortest text that reads back to the same value.
std::string FormatFloat(float f);

}  // namespace kvhost
