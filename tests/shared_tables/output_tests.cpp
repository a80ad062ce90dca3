// The table oscillators' samples at every sample rate the validator uses and every choice,
// fixed as digests of the output: where their tables live (in each instance or shared by
// all of them) changes no sample. And kvhost info weighs instances and shared tables apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kvhost/host.h"

namespace {

using kvhost::DspInstance;

// The validator's sample rates.
constexpr double kRates[] = {8000.0,  22050.0,  44100.0,   48000.0,
                             96000.0, 192000.0, 12345.678, 3000.5};
constexpr uint32_t kLength = 6000;
constexpr int32_t kBlock = 100;

// FNV-1a over the samples' bits.
uint64_t Digest(const std::vector<float>& samples) {
    uint64_t h = 14695981039346656037ull;
    for (float x : samples) {
        uint32_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        for (int i = 0; i < 4; ++i) {
            h ^= (bits >> (8 * i)) & 0xFFu;
            h *= 1099511628211ull;
        }
    }
    return h;
}

// A pitch that steps through the whole range, beyond it at both ends now and then.
float SteppedPitch(uint32_t n) {
    return -0.15f + 0.07f * static_cast<float>((n / 337) % 19);
}
// Sync with a rising edge every 211 samples.
float EdgySync(uint32_t n) {
    return n % 211 < 13 ? -0.1f : 0.0f;
}

struct Case {
    double rate;
    int32_t choice;
};

// Renders `configure`d instances of `name` for every rate and choice, in this order, and
// compares each output's digest with `expected` (printing every digest on a mismatch).
void ExpectDigests(const std::string& name, const std::vector<int32_t>& choices,
                   const std::function<void(DspInstance&, int32_t)>& configure,
                   const std::vector<uint64_t>& expected) {
    const auto plugin = kvhost::Plugin::Load(name);
    std::vector<uint64_t> got;
    for (double rate : kRates) {
        for (int32_t choice : choices) {
            DspInstance osc(plugin, rate, kBlock);
            configure(osc, choice);
            osc.Open();
            osc.Run(kLength);
            got.push_back(Digest(osc.Output("Output")));
        }
    }
    EXPECT_EQ(got, expected);
    if (got != expected) {
        for (uint64_t h : got) std::printf("0x%016llxull,\n", static_cast<unsigned long long>(h));
    }
}

TEST(TableOutputs, TwinOpAtEveryRateAndAlgorithm) {
    ExpectDigests("ZOR Twin-Op", {0, 1, 3, 2},
                  [](DspInstance& osc, int32_t algorithm) {
                      osc.SetValue("Algorithm", algorithm, 0);
                      osc.SetStream("OP1 Pitch", SteppedPitch, 0);
                      osc.SetConstant("OP1 FB/Level", 0.3f, 0);
                      osc.SetStream(
                          "OP2 Pitch", [](uint32_t n) { return 0.9f - SteppedPitch(n * 3); }, 0);
                      osc.SetConstant("OP2 Level", 0.15f, 0);
                      osc.SetValue("On/Off", 0, 3000);
                      osc.SetValue("On/Off", 1, 3500);
                      osc.SetValue("Algorithm", algorithm == 1 ? 0 : 1, 4500);
                  },
                  {
                      0xd8cdda1973d7eb4aull, 0x3956c5d0145bca85ull, 0xd8cdda1973d7eb4aull,
                      0xd8cdda1973d7eb4aull, 0x563e60ec3b454cb1ull, 0x6d0a368327fb236bull,
                      0x563e60ec3b454cb1ull, 0x563e60ec3b454cb1ull, 0x42f0482594bf8553ull,
                      0x9e78f35fee34fdd2ull, 0x42f0482594bf8553ull, 0x42f0482594bf8553ull,
                      0x8f0b94160d64a7f3ull, 0x88b344d94cfed4e9ull, 0x8f0b94160d64a7f3ull,
                      0x8f0b94160d64a7f3ull, 0xf730e049535ef918ull, 0x123846af241492edull,
                      0xf730e049535ef918ull, 0xf730e049535ef918ull, 0x8d95695366f84c64ull,
                      0xe410010ddb77fac2ull, 0x8d95695366f84c64ull, 0x8d95695366f84c64ull,
                      0x779d815e2b5d9822ull, 0x6a889dc23d307ff6ull, 0x779d815e2b5d9822ull,
                      0x779d815e2b5d9822ull, 0xa9e6b8064875f72bull, 0x551a19df820e8479ull,
                      0xa9e6b8064875f72bull, 0xa9e6b8064875f72bull,
                  });
}

TEST(TableOutputs, BasicVoiceAtEveryRateAndWave) {
    ExpectDigests("ZOR Basic Voice", {1, 2, 3, 4, 5, 6, 7, 8, 9},
                  [](DspInstance& osc, int32_t wave) {
                      osc.SetValue("Wave", wave, 0);
                      osc.SetStream("Pitch", SteppedPitch, 0);
                      osc.SetStream("Sync", EdgySync, 0);
                      osc.SetValue("Wave", wave % 8 + 1, 2500);
                      osc.SetValue("On/Off", 0, 4000);
                      osc.SetValue("Wave", wave, 4200);
                      osc.SetValue("On/Off", 1, 4400);
                  },
                  {
                      0xea33c1662006ec53ull, 0x0545c6fdbe2e8471ull, 0x5cc7ddef497828fdull,
                      0xf3c58a5edf1e1f5bull, 0xdbd68350383745f5ull, 0x683f82e6bb1aa9c3ull,
                      0xdd530a73c867a389ull, 0x8bae2773bffb2be8ull, 0x3329264c8c78dccaull,
                      0xf06274b5dff1d4a3ull, 0xd9f477abc6b89771ull, 0xf77a5fa0f3fc5a04ull,
                      0x04626cebd1d19796ull, 0x6446b11d46827944ull, 0xab40d739c8709f22ull,
                      0xfe64f943e09ce692ull, 0xd6f0d1cb08fa951eull, 0x1f74c9fa985bf30full,
                      0xa740ee9032e7a11full, 0xa0e60d8b7f6ae27full, 0xa8de51ab295aaf04ull,
                      0x56bd18c80e1d1532ull, 0xff4d8ab440b7b70eull, 0x4d44b76bc0a84021ull,
                      0xe86bead6c18f317aull, 0x8ce02d01bc879d38ull, 0xecd91850f4b99a28ull,
                      0x45e284c502d2b8c5ull, 0xdba4ed0ff0631ea2ull, 0x6fb14a0a56524159ull,
                      0xc8bc6f64446fac6dull, 0x637f4137ae2e3ac4ull, 0xbe0f0f23eab87febull,
                      0xbe32b88b348a6cbdull, 0x2c19eab9beef0243ull, 0x488e48ad2078529full,
                      0xd1f6eedaa7d4865bull, 0x09c639d2dd0781ebull, 0xa45ccf42023beffcull,
                      0xaf73f60e9dd55ef0ull, 0x75e22599709d5abbull, 0x900840c2a5d6eff1ull,
                      0x40c7811abee74079ull, 0xef1e7b0e1a7e0fc7ull, 0xda696ca058c41faaull,
                      0x5de0c71419ce08c1ull, 0xa2a1bbe0fbc93257ull, 0x04a8562e011b3736ull,
                      0x475b17f47219175eull, 0x828cef2cd67a478dull, 0x417be2428ba7effeull,
                      0x60c84e554831b9cbull, 0x261280ec76b59ce2ull, 0xf63ccb94a2f62432ull,
                      0xd651926869edf47eull, 0x80034ac2d9da62e9ull, 0xc6d5dadaf6418efbull,
                      0x37817ab5353fc338ull, 0x19b77a1f2f485105ull, 0x9f6ea0f5dd0c82c4ull,
                      0x4a24c64a11531393ull, 0x98a03e975d2380c9ull, 0x6081484893b6b95aull,
                      0xa2d9fdf3ab1e8bc1ull, 0x917f039edf138d64ull, 0x3d63e357e654546bull,
                      0xe117bc2696ee075aull, 0x9716c00732774ca4ull, 0x3a80986359316095ull,
                      0xda1a61834d415d8aull, 0xe197f9b6650ae24cull, 0xb6b3a9782a77ccafull,
                  });
}

TEST(TableOutputs, WarpwaveAtEveryRateAndWave) {
    ExpectDigests(
        "ZOR Warpwave", {1, 2, 3, 4, 5, 6, 7, 8, 9},
        [](DspInstance& osc, int32_t wave) {
            osc.SetValue("Wave", wave, 0);
            osc.SetStream("Pitch", SteppedPitch, 0);
            osc.SetStream("Sync", EdgySync, 0);
            osc.SetStream(
                "Modulation Depth",
                [](uint32_t n) { return -0.2f + 0.05f * static_cast<float>((n / 150) % 31); }, 0);
            osc.SetValue("Wave", wave % 8 + 1, 2500);
            osc.SetValue("On/Off", 0, 4000);
            osc.SetValue("On/Off", 1, 4400);
        },
        {
            0x4d8438af97191af8ull, 0x8cacc57beb266215ull, 0x63624943d92cb232ull,
            0x302afb32f2523b7eull, 0x71443ae78a3aaaa2ull, 0x638a331251cf2802ull,
            0x03bd894c81a34a82ull, 0x8240ffc0e911b9efull, 0xbe3b3ee7676ae152ull,
            0x4c6db3a085155c94ull, 0x437004850819d385ull, 0xd97b98a1d095532eull,
            0xbcac292eafb028f0ull, 0xe403cf222f39706bull, 0x3d7bff401b4452b2ull,
            0x56e47276ad8d6f41ull, 0xeb4d531c56cf3d8cull, 0xb4be8b50778542b2ull,
            0xf775e0d1c467ef86ull, 0xfae4626550cfb3d1ull, 0x8bb5481a94c3875full,
            0x19c22a3e0bbaf788ull, 0xcbb892adef71d629ull, 0x99400658a2bc689eull,
            0xf230e49237212d63ull, 0xbb11075bea9dd442ull, 0x9ae1a4cf0124e187ull,
            0x7421632ac4995f21ull, 0x621b1d97b6b28194ull, 0x7171c4a2981b9611ull,
            0xb760fc66df2b0755ull, 0x1916a30aa084c5b3ull, 0xa77b7d0dfadbb133ull,
            0x2f40765946b45f88ull, 0x4c544f2ee63b2243ull, 0x16fe5c437db8e282ull,
            0xfa62d338ced5ed00ull, 0x353d16e9cc4c9f86ull, 0xd82fe5ccaf04db80ull,
            0x8f52e4c763455d21ull, 0x517ce4aa2f3937edull, 0xfed823bcd61948e3ull,
            0x64377196eaf5a311ull, 0x2b7bdb3cdf927e92ull, 0x06b56b6b55dcd47bull,
            0x3a18f71bb55b1fe8ull, 0x9b5fdfc6225833d9ull, 0xce4c06a42d22f68cull,
            0xc2cf73bb07dee4c1ull, 0x1243f76cd85cb9ccull, 0x642479826916a77full,
            0xb9eb7a8cca94f529ull, 0xa6e56c67dfcdd1feull, 0xd17a904722db030bull,
            0x1b1c0aa40ea145b1ull, 0x8308ca08c1d310a5ull, 0xb08c55d0d553fc38ull,
            0x5a943ba31ac4056full, 0xef7a0a47cffd2709ull, 0xcfc1d7648ba6dafdull,
            0x407517736e7b588aull, 0x4a4362e5ad684beaull, 0xfc634892bcebb721ull,
            0xb3e319beb03467deull, 0xbaf67cf5dce264feull, 0xc74158553d5d4f5eull,
            0x3d15a1528cdcc3deull, 0x7eba12603168bbf8ull, 0x63968997279390e9ull,
            0x287223d3022df424ull, 0x0e082384b36f1a52ull, 0x5380234119435243ull,
        });
}

// `kvhost info --json` of a deliverable.
nlohmann::json Info(const std::string& name) {
    const std::string command = std::string(KV_KVHOST) + " info --json \"" + name + "\"";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return nlohmann::json::parse(out);
}

TEST(TableOutputs, KvhostInfoWeighsAnInstanceAndTheSharedTablesApart) {
    for (const char* name : {"ZOR Twin-Op", "ZOR Basic Voice", "ZOR Warpwave"}) {
        const nlohmann::json memory = Info(name).at("memory");
        EXPECT_GT(memory.at("instance_bytes").get<std::size_t>(), 0u) << name;
        // A second instance allocates far less than the first, which builds the tables.
        EXPECT_GT(memory.at("shared_bytes").get<std::size_t>(),
                  memory.at("instance_bytes").get<std::size_t>())
            << name;
    }
    EXPECT_EQ(Info("wy_VUDA2DU").at("memory").at("shared_bytes"), 0);
}

}  // namespace
