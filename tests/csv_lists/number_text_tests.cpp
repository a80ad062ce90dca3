// The list converters' rendering of values, checked against the C library's own "%f".
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "NumberText.h"

namespace {

std::string Printf(double v) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%f", v);
    return buffer;
}

std::string Fixed(float v) {
    std::string s;
    csv_lists::AppendFixed(s, v);
    return s;
}

}  // namespace

TEST(NumberText, RendersExactlyAsPercentF) {
    // Exact ties at the sixth decimal (k/128) round to even, as "%f" does.
    EXPECT_EQ(Fixed(1.0f / 128), "0.007812");
    EXPECT_EQ(Fixed(3.0f / 128), "0.023438");
    EXPECT_EQ(Fixed(0.1f), "0.100000");
    EXPECT_EQ(Fixed(-0.0f), "-0.000000");
    EXPECT_EQ(Fixed(-INFINITY), "-inf");
    EXPECT_EQ(Fixed(std::nanf("")), Printf(std::nan("")));
    EXPECT_EQ(Fixed(-std::nanf("")), Printf(-std::nan("")));
    // A spread of bit patterns over the whole float range, denormals and both signs.
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 0x000F0F0Fu) {
        float v;
        const uint32_t b = static_cast<uint32_t>(bits);
        std::memcpy(&v, &b, sizeof v);
        if (std::isnan(v)) continue;
        ASSERT_EQ(Fixed(v), Printf(v)) << "bits " << bits;
    }
}
