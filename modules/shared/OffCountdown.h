// The countdown to dormancy: once a block size of samples has passed after the last change
// (an oscillator switched off, a converter's outputs settled), the host may stop calling
// (HOST_DORMANT).
#pragma once

#include <cstdint>

class OffCountdown {
  public:
    void Start(int32_t block_size) { m_left = block_size; }
    // Counts one slice of `count` samples; true once the countdown has run out. It stays at 0
    // then, so a host that keeps calling cannot wrap it.
    bool Spend(int32_t count) {
        if (count > 0) m_left = m_left > count ? m_left - count : 0;
        return m_left <= 0;
    }

  private:
    int32_t m_left = 0;
};
