// Numbers in comma-separated list texts: fields read as C's atof and atoi read them,
// values written as "%f" and "%i" write them (always with '.' as the point).
#pragma once

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <system_error>

#include "../shared/FixedText.h"

namespace csv_lists {

// A field read as atof reads it: leading white space skipped, the longest prefix that reads
// as a number (decimal, hexadecimal, inf or nan), 0 when there is none. The whole field is
// read, however long. Magnitudes beyond single precision narrow to infinity.
inline float ReadFloatField(const char* field) {
    return static_cast<float>(std::strtod(field, nullptr));
}

// A field read as atoi reads it (white space, optional sign, decimal digits up to the first
// other character, 0 without digits), except that a number beyond the 32-bit range
// saturates at INT32_MIN or INT32_MAX instead of wrapping.
inline int32_t ReadIntField(const char* field) {
    const long long v = std::strtoll(field, nullptr, 10);  // saturates at the long long range
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Appends `value` widened to double as "%f" renders it: optional minus sign, the integer
// digits, a point and six decimals ("inf", "-inf", "nan", "-nan" for the special values).
inline void AppendFixed(std::string& text, float value) {
    char digits[64];  // a float needs at most 48: sign, 39 integer digits, point, 6 decimals
    text.append(digits, WriteFixed6(digits, sizeof digits, static_cast<double>(value)));
}

// Appends `value` as "%i" renders it: optional minus sign and the decimal digits.
inline void AppendWhole(std::string& text, int32_t value) {
    char digits[16];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    if (ec == std::errc()) text.append(digits, end);
}

// Calls fn(k, field) for the fields of `text` in order, k counting from 0, and stops after
// `max_fields` of them; the rest of the text is not looked at. Fields end at each ',' and
// at the end of the text, so "1,2," has three fields (the last empty) and "" has one empty
// field. `field` is the field's own text, zero-terminated, whatever its length.
template <class Fn>
int32_t ForEachField(const std::string& text, int32_t max_fields, Fn&& fn) {
    int32_t count = 0;
    std::string field;
    std::size_t start = 0;
    for (std::size_t pos = 0; pos <= text.size() && count < max_fields; ++pos) {
        if (pos == text.size() || text[pos] == ',') {
            field.assign(text, start, pos - start);
            fn(count, field.c_str());
            ++count;
            start = pos + 1;
        }
    }
    return count;
}

}  // namespace csv_lists
