// The validator's generators of input values.
#include "random_inputs.h"

#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "findings.h"

namespace kvhost::validate {

namespace {

float FromBits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}
uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}
std::string Number(double v) {
    return Fmt("%.9g", v);
}

}  // namespace

int64_t Randomness::Int(int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng_);
}
double Randomness::Real(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
}

float Randomness::Sample(bool hostile) {
    static const float kOrdinary[] = {0.0f,    -0.0f,   0.5f,    1.0f,   -1.0f,           0.1f,
                                      0.94f,   0.99f,   0.9f,    2.0f,   -2.0f,           10.0f,
                                      -10.0f,  1e-40f,  -1e-40f, 1e-45f, 1.17549435e-38f, 100.0f,
                                      -100.0f, 9999.31f /* the GUI side's request value */};
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInf = std::numeric_limits<float>::infinity();
    constexpr float kMax = std::numeric_limits<float>::max();
    static const float kHostile[] = {
        kNaN,  -kNaN,  kInf,  -kInf,  kMax,          -kMax,
        1e30f, -1e30f, 1e10f, -1e10f, 4294967296.0f, FromBits(0x7FA00001u) /* signalling NaN */};
    const int64_t pick = Int(0, 9);
    if (hostile && pick < 3) return kHostile[Int(0, std::size(kHostile) - 1)];
    if (pick < 6) return kOrdinary[Int(0, std::size(kOrdinary) - 1)];
    return static_cast<float>(Real(-2.0, 2.0));
}

double Randomness::PinValue(const PinInfo& pin, bool hostile) {
    switch (pin.datatype) {
        case DT_CHOICE: {
            std::vector<int32_t> listed;
            if (pin.choices) {
                try {
                    const ChoiceList list = ParseChoices(*pin.choices);
                    if (list.is_range) {
                        listed = {list.low, list.high, (list.low + list.high) / 2};
                    } else {
                        for (const auto& e : list.entries) listed.push_back(e.second);
                    }
                } catch (const std::exception&) {
                }
            }
            if (!listed.empty() && Chance(0.6)) return listed[Int(0, listed.size() - 1)];
            static const int32_t kOutside[] = {-1, -2, 32767, -32768, 100, 17, 255, 1000};
            return kOutside[Int(0, std::size(kOutside) - 1)];
        }
        case DT_SWITCH:
            return static_cast<double>(Int(0, 1));
        case DT_WHOLE32: {
            static const int32_t kEdges[] = {0,  1,   -1,  2,         31,       32,
                                             33, 127, 128, INT32_MAX, INT32_MIN};
            if (Chance(0.5)) return kEdges[Int(0, std::size(kEdges) - 1)];
            return static_cast<double>(Int(-1000, 1000));
        }
        default:
            return Sample(hostile);
    }
}

std::string Randomness::Text() {
    auto number = [this]() -> std::string {
        switch (Int(0, 11)) {
            case 0:
                return Number(Real(-1e6, 1e6));
            case 1:
                return std::to_string(Int(-2147483648LL, 2147483647LL));
            case 2:
                return "99999999999999999999999999";
            case 3:
                return "-99999999999999999999999999";
            case 4:
                return "1e400";
            case 5:
                return "-1e-400";
            case 6:
                return "nan";
            case 7:
                return "-inf";
            case 8:
                return "0x1p3";
            case 9:
                return " \t7 ";
            case 10:
                return std::to_string(Int(-40, 40));
            default:
                return Number(Real(-10, 10));
        }
    };
    switch (Int(0, 9)) {
        case 0:
            return "";
        case 1:
            return std::string(static_cast<size_t>(Int(1000, 100000)), ',');
        case 2: {  // a very long list of numbers
            std::string s;
            const int64_t n = Int(33, 5000);
            for (int64_t i = 0; i < n; ++i) s += number() + ",";
            return s;
        }
        case 3: {  // non-ASCII and invalid UTF-8
            static const char* kPieces[] = {"\xC3\xA9",
                                            "\xE2\x82\xAC",
                                            "\xF0\x9F\x8E\xB5",
                                            "\xFF",
                                            "\x80",
                                            "\xC0\xAF",
                                            "\xEF\xBC\x8C" /* fullwidth comma */,
                                            "1",
                                            ","};
            std::string s;
            const int64_t n = Int(1, 300);
            for (int64_t i = 0; i < n; ++i) s += kPieces[Int(0, std::size(kPieces) - 1)];
            return s;
        }
        case 4: {  // raw bytes
            std::string s(static_cast<size_t>(Int(1, 200)), ' ');
            for (char& c : s) c = static_cast<char>(Int(1, 255));
            return s;
        }
        case 5:
            return std::string(static_cast<size_t>(Int(1, 5000)), '9');
        case 6:
            return ",-,+,.,e,E,--1,1..2,1e,";
        default: {  // an ordinary list of a plausible length
            std::string s;
            const int64_t n = Int(0, 40);
            for (int64_t i = 0; i < n; ++i) {
                if (i) s += Chance(0.1) ? ", " : ",";
                s += number();
            }
            if (Chance(0.3)) s += ",";
            return s;
        }
    }
}

int32_t Randomness::Midi() {
    auto pack = [](int64_t s, int64_t a, int64_t b) {
        return static_cast<int32_t>(s | (a << 8) | (b << 16));
    };
    const int64_t ch = Int(0, 15);
    switch (Int(0, 9)) {
        case 0:  // anything, data bytes above 127 included
            return static_cast<int32_t>(Next() & 0xFFFFFFFFu);
        case 1:
            return pack(Int(0, 255), Int(0, 255), Int(0, 255));
        case 2:
        case 3:
            return pack(0x90 | ch, Int(0, 127), Int(0, 127));  // note on (0: off)
        case 4:
            return pack(0x80 | ch, Int(0, 127), Int(0, 127));
        case 5:
            return pack(0xE0 | ch, Int(0, 127), Int(0, 127));  // bend
        case 6:
            return pack(0xB0 | ch, Int(0, 127), Int(0, 127));  // controllers
        case 7:
            return pack(0xB0 | ch, Int(120, 127), 0);  // channel mode messages
        case 8:
            return pack(Int(0xF0, 0xFF), Int(0, 127), Int(0, 127));
        default:
            return pack(0x90 | ch, Int(0, 127), Int(1, 127));
    }
}

float StreamSample(uint64_t seed, uint32_t t, bool hostile) {
    const uint64_t h = SplitMix(seed ^ (uint64_t{t} * 0x9E3779B97F4A7C15ull));
    if (hostile && (h & 0xFF) < 8) {
        static const float kBad[] = {std::numeric_limits<float>::quiet_NaN(),
                                     std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(), 1e30f};
        return kBad[(h >> 8) & 3];
    }
    if ((h & 0xFF) < 12) return 1e-40f;  // denormal
    return static_cast<float>(static_cast<double>(h >> 11) * (4.0 / 9007199254740992.0) - 2.0);
}

}  // namespace kvhost::validate
