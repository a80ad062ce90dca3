// Rounding to the nearest integer, ties to even, as the oscillators round table indices.
#pragma once

#include <cmath>
#include <cstdint>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

// x rounded to the nearest integer, ties to even, for x within the 32-bit range: one
// conversion instruction in its default rounding mode where there is SSE.
inline int32_t RoundEven(float x) {
#if defined(__SSE__)
    return _mm_cvtss_si32(_mm_set_ss(x));
#else
    return static_cast<int32_t>(std::nearbyint(x));
#endif
}
