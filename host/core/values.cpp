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

double HeldValue(int32_t datatype, double value) {
    switch (datatype) {
        case DT_CHOICE:
            return ClampTo<int16_t>(value);
        case DT_SWITCH:
            return value != 0.0 ? 1.0 : 0.0;
        case DT_WHOLE32:
            return ClampTo<int32_t>(value);
        case DT_REAL32:
        case DT_FSAMPLE:
            return static_cast<double>(static_cast<float>(value));
        default:
            return value;
    }
}

std::string QuoteText(std::string_view text) {
    constexpr std::size_t kMost = 60;  // characters, not bytes: a cut never splits one
    std::size_t bytes = 0, characters = 0;
    while (bytes < text.size() && characters < kMost) {
        ++bytes;
        while (bytes < text.size() && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) {
            ++bytes;  // continuation bytes of a UTF-8 sequence
        }
        ++characters;
    }
    return "\"" + std::string(text.substr(0, bytes)) + (bytes < text.size() ? "...\"" : "\"");
}

std::string QuoteName(std::string_view name) {
    return "\"" + std::string(name) + "\"";
}

namespace {

// The values a choice pin offers, as "Label=value,..." or "a whole number from lo to hi".
std::string Offered(const ChoiceList& list) {
    if (list.is_range) {
        return "a whole number from " + std::to_string(list.low) + " to " +
               std::to_string(list.high);
    }
    std::string text = "one of: ";
    for (std::size_t i = 0; i < list.entries.size(); ++i) {
        text += (i == 0 ? "" : ",") + list.entries[i].first + "=" +
                std::to_string(list.entries[i].second);
    }
    return text;
}

}  // namespace

UserValue CheckUserValue(const PinInfo& pin, std::string_view text) {
    const std::string quoted = QuoteText(text);
    if (pin.datatype == DT_MIDI_STREAM) return {std::nullopt, "takes MIDI, not a value"};
    if (pin.datatype == DT_STRING) {
        if (text.size() <= kMaxTextValue) return {};
        return {std::nullopt, "a text of " + std::to_string(text.size()) +
                                  " bytes is longer than a text pin takes (" +
                                  std::to_string(kMaxTextValue) + " bytes)"};
    }
    if (pin.datatype == DT_CHOICE && pin.choices) {
        const ChoiceList list = ParseChoices(*pin.choices);
        if (auto v = list.Find(text)) return {*v, {}};
        // A number written another way ("2.0", " 2") that names a value of the list.
        const auto n = ParseNumber(text);
        if (n && *n == std::trunc(*n) && std::fabs(*n) < 2147483648.0) {
            if (auto v = list.Find(std::to_string(static_cast<int32_t>(*n)))) return {*v, {}};
        }
        return {std::nullopt, quoted + " is not " + Offered(list)};
    }
    const auto value = PinValueFromText(pin, text);
    if (!value) {
        // A number too large (or too small) for a double is not "no number".
        const std::string whole(text);
        char* end = nullptr;
        errno = 0;
        std::strtod(whole.c_str(), &end);
        const bool out_of_range = errno == ERANGE && end != whole.c_str() && *end == '\0';
        return {std::nullopt, quoted + (out_of_range ? " is out of range" : " is not a number")};
    }
    const double v = *value;
    switch (pin.datatype) {
        case DT_REAL32:
            if (!std::isfinite(static_cast<float>(v))) {
                return {std::nullopt, quoted + " is out of range for a 32-bit float (at most " +
                                          "+-3.4028235e38)"};
            }
            break;
        case DT_FSAMPLE:
            if (!std::isfinite(static_cast<float>(v * 0.1))) {
                return {std::nullopt, quoted + " volts is out of range for a sample (at most " +
                                          "+-3.4028235e39 V)"};
            }
            break;
        case DT_WHOLE32:
        case DT_SWITCH:
            if (!(std::trunc(v) >= -2147483648.0 && std::trunc(v) <= 2147483647.0)) {
                return {std::nullopt, quoted + " is out of range for a 32-bit whole number " +
                                          "(-2147483648 to 2147483647)"};
            }
            break;
        default:
            break;
    }
    return {v, {}};
}

double DefaultNumber(const PinInfo& pin) {
    if (!pin.default_value) return 0.0;
    if (auto v = PinValueFromText(pin, *pin.default_value)) return *v;
    return std::atof(pin.default_value->c_str());
}

std::string ShortestNumber(double v, const std::function<bool(double)>& good) {
    const auto accepted = [&](double read) { return good ? good(read) : read == v; };
    char buf[400];
    const bool plain = v == 0.0 || (std::fabs(v) >= 1e-5 && std::fabs(v) < 1e15);
    for (int precision = plain ? 0 : 1; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, plain ? "%.*f" : "%.*g", precision, v);
        if (accepted(std::strtod(buf, nullptr))) return buf;
    }
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string FormatFloat(float f) {
    char buf[64];
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, static_cast<double>(f));
        if (std::strtof(buf, nullptr) == f) break;
    }
    return buf;
}

std::vector<int32_t> PinsNamed(const std::vector<PinInfo>& pins, std::string_view name) {
    std::vector<int32_t> named;
    for (const PinInfo& p : pins) {
        if (p.name == name) named.push_back(p.index);
    }
    if (named.empty() && name.size() > 1 && name.size() < 7 && name[0] == '#' &&
        name.find_first_not_of("0123456789", 1) == std::string_view::npos) {
        const int32_t index = std::atoi(std::string(name.substr(1)).c_str());
        if (index < static_cast<int32_t>(pins.size())) named.push_back(index);
    }
    return named;
}

int32_t PinNamed(const std::vector<PinInfo>& pins, std::string_view owner, std::string_view name) {
    const std::vector<int32_t> named = PinsNamed(pins, name);
    if (named.size() == 1) return named.front();
    if (named.empty()) throw Error(std::string(owner) + " has no pin " + QuoteText(name));
    // "#1-#32" or "#3, #5": the description indices, runs joined.
    std::string runs;
    for (std::size_t i = 0; i < named.size();) {
        std::size_t j = i;
        while (j + 1 < named.size() && named[j + 1] == named[j] + 1) ++j;
        runs += (runs.empty() ? "#" : ", #") + std::to_string(named[i]);
        if (j > i) runs += "-#" + std::to_string(named[j]);
        i = j + 1;
    }
    throw Error(std::string(owner) + ": pin name " + QuoteText(name) + " is shared by " +
                std::to_string(named.size()) + " pins (" + runs + "); name one as #N");
}

}  // namespace kvhost
