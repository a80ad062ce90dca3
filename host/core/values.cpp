// Reading pin values from texts and formatting them back.
#include "values.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kvhost {

std::optional<double> ParseNumber(std::string_view text) {
    std::string s(text);
    std::size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
    s = s.substr(a, b - a);
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || errno == ERANGE || std::isnan(v)) return std::nullopt;
    return v;
}

std::optional<double> PinValueFromText(const PinInfo& pin, std::string_view text) {
    if (pin.datatype == DT_CHOICE && pin.choices) {
        const ChoiceList list = ParseChoices(*pin.choices);
        if (auto v = list.Find(text)) return *v;
        // A number outside the list is still a value the pin can carry.
        if (auto n = ParseNumber(text)) return std::trunc(*n);
        return std::nullopt;
    }
    if (pin.datatype == DT_SWITCH) {
        if (text == "on" || text == "On" || text == "true") return 1.0;
        if (text == "off" || text == "Off" || text == "false") return 0.0;
    }
    return ParseNumber(text);
}

std::optional<double> ValueFromText(const PinInfo& pin, std::string_view text) {
    return PinValueFromText(pin, text);
}

double DefaultNumber(const PinInfo& pin) {
    if (!pin.default_value) return 0.0;
    if (auto v = PinValueFromText(pin, *pin.default_value)) return *v;
    return std::atof(pin.default_value->c_str());
}

std::string FormatFloat(float f) {
    char buf[64];
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, static_cast<double>(f));
        if (std::strtof(buf, nullptr) == f) break;
    }
    return buf;
}

}  // namespace kvhost
