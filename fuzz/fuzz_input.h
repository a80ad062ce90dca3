// Reading a fuzz input as a stream of small commands, and the checks every fuzz target
// shares: a finding of the host core's strict mode stops the run like a crash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "random_inputs.h"
#include "strict_host.h"

namespace kvfuzz {

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t Long() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }
    float Float() {
        const uint32_t u = Long();
        float f;
        std::memcpy(&f, &u, sizeof f);
        return f;
    }
    // Up to `limit` bytes, length first (one byte, or two when the first is 255).
    std::string Text(size_t limit = 65535) {
        size_t n = Byte();
        if (n == 255) n = Word();
        n = std::min({n, limit, size_ - std::min(pos_, size_)});
        std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return s;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Stops the run when the validator found a fault: libFuzzer keeps the input as a crash.
inline void StopOnFindings(const kvhost::validate::Findings& f, const char* what) {
    if (!f.Failed()) return;
    std::fprintf(stderr, "fuzz target %s: the validator found a fault:\n", what);
    for (const auto& item : f.Items()) {
        if (!item.failure) continue;
        std::fprintf(stderr, "  [%s] x%llu\n", item.check.c_str(),
                     static_cast<unsigned long long>(item.count));
        for (const auto& m : item.messages) std::fprintf(stderr, "    - %s\n", m.c_str());
    }
    std::abort();
}

}  // namespace kvfuzz

// The entry points of the module linked into this fuzz target.
extern "C" bool getModuleProperties(int32_t index, KVModuleInfo* info);
extern "C" void* makeModule(int32_t index, int32_t kind, kvaudioMaster callback,
                            void* host_reference);

namespace kvfuzz {
// The linked module, as the host core sees it.
inline const std::shared_ptr<kvhost::Plugin>& Linked() {
    static const auto plugin =
        kvhost::Plugin::FromEntries("fuzzed", &getModuleProperties, &makeModule);
    return plugin;
}
}  // namespace kvfuzz
