// ZOR Basic Voice's oscillator constants and the shared phase arithmetic, for the module and
// its tests.
#pragma once

#include "../shared/PhaseArithmetic.h"

namespace basic_voice {

using phase_arithmetic::kTwoPi;
inline constexpr float kPitchLimit = 0.9f;        // 9 V, 7,040 Hz
inline constexpr float kIndexScale = 40.336227f;  // 0.99 * 256 / 2*pi: a cycle sweeps 99 %

using phase_arithmetic::PhaseIncrement;
using phase_arithmetic::PhaseState;
using phase_arithmetic::PitchToFrequency;
using phase_arithmetic::PlayLines;
using phase_arithmetic::RadiansPerHertz;

}  // namespace basic_voice
