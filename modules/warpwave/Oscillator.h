// ZOR Warpwave's oscillator constants and the shared phase arithmetic, for the module and
// its tests.
#pragma once

#include "../shared/PhaseArithmetic.h"
#include "WaveTables.h"

namespace warpwave {

static_assert(kTwoPi == phase_arithmetic::kTwoPi, "one 2*pi for tables and phase");

inline constexpr float kPitchLimit = 0.94f;       // 9.4 V
inline constexpr float kIndexScale = 20.371832f;  // 128 / 2*pi

using phase_arithmetic::PhaseIncrement;
using phase_arithmetic::PhaseState;
using phase_arithmetic::PitchToFrequency;
using phase_arithmetic::PlayLines;
using phase_arithmetic::RadiansPerHertz;

}  // namespace warpwave
