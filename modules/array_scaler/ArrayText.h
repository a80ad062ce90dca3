// Number arrays as comma-separated texts: elements read as C's atof reads them, scaled in
// double precision, and joined with each element's "%f" rendering cut to 15 characters.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../shared/FixedText.h"

namespace array_scaler {

// Elements past the 128th are ignored: a longer list converts its first 128 elements.
constexpr int32_t kMaxElements = 128;
using Elements = std::array<float, kMaxElements>;

// Characters of an element's rendering kept in the joined text.
constexpr std::size_t kRenderedWidth = 15;

// Splits `text` at each ',' into elements, each read whole as atof reads it (white space
// skipped, longest numeric prefix, 0 when there is none or the element is empty) and narrowed
// to single precision. "1,2" gives 2 elements, "1,2," gives 3 (the last 0). Answers the count,
// at most kMaxElements; the text after the 128th element is not looked at.
inline int32_t SplitElements(const std::string& text, Elements& elements) {
    int32_t n = 0;
    std::string element;
    std::size_t start = 0;
    for (std::size_t pos = 0; pos <= text.size() && n < kMaxElements; ++pos) {
        if (pos == text.size() || text[pos] == ',') {
            element.assign(text, start, pos - start);
            elements[n++] = static_cast<float>(std::strtod(element.c_str(), nullptr));
            start = pos + 1;
        }
    }
    return n;
}

// out = in × m + a, in double precision, rounded once to single precision.
inline float ScaleForward(float x, float m, float a) {
    return static_cast<float>(static_cast<double>(m) * x + a);
}

// in = (out − a) / m, in double precision, rounded once; a factor of exactly 0 gives 0.
inline float ScaleInverse(float x, float m, float a) {
    if (m == 0.0f) return 0.0f;
    return static_cast<float>((static_cast<double>(x) - a) / m);
}

// Appends `value` widened to double as "%f" renders it, cut to its first 15 characters;
// a longer integer part (values from 1e15 up, or -1e14 down) is kept whole, without the
// point, so the cut never changes the number's magnitude.
inline void AppendCut(std::string& text, float value) {
    char digits[64];  // a float needs at most 48: sign, 39 integer digits, point, 6 decimals
    const std::size_t length = WriteFixed6(digits, sizeof digits, static_cast<double>(value));
    if (length == 0) return;
    char* end = digits + length;
    const std::size_t integer_part = static_cast<std::size_t>(std::find(digits, end, '.') - digits);
    text.append(digits, std::min(length, std::max(kRenderedWidth, integer_part)));
}

// The elements' cut renderings joined by ',' (no comma after the last), never cut short.
inline std::string JoinElements(const Elements& elements, int32_t n) {
    std::string text;
    text.reserve(static_cast<std::size_t>(n) * (kRenderedWidth + 1));
    for (int32_t k = 0; k < n; ++k) {
        if (k > 0) text += ',';
        AppendCut(text, elements[k]);
    }
    return text;
}

}  // namespace array_scaler
