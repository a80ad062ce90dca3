// A double written as "%f" writes it: optional minus sign, the integer digits, a point and six
// decimals ("inf", "-inf", "nan", "-nan" for the special values), always with '.' as the point.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdio>
#include <system_error>

// The text into `digits`; its length, or 0 when it does not fit.
inline std::size_t WriteFixed6(char* digits, std::size_t size, double value) {
#if defined(__cpp_lib_to_chars)
    const auto [end, ec] = std::to_chars(digits, digits + size, value, std::chars_format::fixed, 6);
    return ec == std::errc() ? static_cast<std::size_t>(end - digits) : 0;
#else
    // A standard library without floating-point to_chars (the WebAssembly build's): printf,
    // exact as well, whose point is '.' there since the C locale is its only one.
    const int n = std::snprintf(digits, size, "%.6f", value);
    return n > 0 && static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : 0;
#endif
}
