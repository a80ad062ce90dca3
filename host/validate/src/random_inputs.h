// Hostile and ordinary input values for the validator's random runs: samples, pin values,
// texts, MIDI messages, and deterministic sample streams, all drawn from a seed.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "kvhost/host.h"

namespace kvhost::validate {

class Randomness {
  public:
    explicit Randomness(uint64_t seed) : rng_(seed) {}
    uint64_t Next() { return rng_(); }
    int64_t Int(int64_t lo, int64_t hi);  // inclusive
    double Real(double lo, double hi);
    bool Chance(double p) { return Real(0.0, 1.0) < p; }
    // A float for a signal or a number pin; `hostile` adds NaN, infinities and huge values.
    float Sample(bool hostile);
    // A value for a pin of the given description (choices outside the list included).
    double PinValue(const PinInfo& pin, bool hostile);
    // A text for a text pin: empty, long, non-ASCII, separators, number lists of all kinds.
    std::string Text();
    // One MIDI message packed as the EV_MIDI value word: any bytes, or plausible messages.
    int32_t Midi();

  private:
    std::mt19937_64 rng_;
};

// A deterministic sample for a stream input at clock t.
float StreamSample(uint64_t seed, uint32_t t, bool hostile);

}  // namespace kvhost::validate
