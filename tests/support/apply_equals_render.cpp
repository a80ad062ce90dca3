// lv2apply against kvhost render (apply_equals_render.h).
#include "apply_equals_render.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "kvhost/host.h"
#include "kvhost/midi.h"

namespace kvtest {

namespace fs = std::filesystem;

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ShellResult RunShell(const fs::path& dir, const std::string& command) {
    const std::string out = (dir / "stdout.txt").string(), err = (dir / "stderr.txt").string();
    const std::string cmd =
        "cd " + Quoted(dir.string()) + " && " + command + " >" + Quoted(out) + " 2>" + Quoted(err);
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

std::vector<float> ReadSound(const fs::path& path, int* channels) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return {};
    }
    std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(f, samples.data(), info.frames);
    sf_close(f);
    if (channels != nullptr) *channels = info.channels;
    return samples;
}

void ExpectApplyEqualsRender(const ApplyCase& c, const Lv2Programs& programs, const fs::path& dir) {
    const auto shell = [&](const std::string& command) {
        return RunShell(dir, programs.env + " " + command);
    };
    const std::string kvhost = Quoted(programs.kvhost);
    const std::vector<kvhost::MidiNote> notes = {{0.125, 0.5, 48, 30}, {0.75, 0.25, 60, 127},
                                                 {1.0, 0.5, 67, 64},   {1.625, 0.375, 79, 100},
                                                 {2.0, 0.625, 84, 10}, {2.625, 0.25, 36, 90}};
    const std::vector<uint8_t> midi = kvhost::WriteMidiNotes(notes, 125.0);  // 1/8 beat: 45 blocks
    std::ofstream(dir / "notes.mid", std::ios::binary)
        .write(reinterpret_cast<const char*>(midi.data()),
               static_cast<std::streamsize>(midi.size()));

    const std::string sources =
        R"({"name": "keys", "plugin": "wy_VUDA2DU"},
           {"name": "lfo", "plugin": "ZOR Basic Voice", "pins": {"Pitch": 2.2}},
           {"name": "mod", "plugin": "ZOR Warpwave", "pins": {"Pitch": 4.3, "Wave": "Reso1"}})";
    auto patch = [&](const std::string& modules, const std::string& wires,
                     const std::string& outputs) {
        return R"({"sample_rate": 48000, "block_size": 64, "seconds": 1.5, "modules": [)" +
               modules + R"(], "wires": [)" + wires +
               R"(], "midi": "notes.mid", "audio": {"outputs": [)" + outputs +
               R"(], "format": "float"}})";
    };
    kvhost::DspInstance osc(kvhost::Plugin::Load(c.deliverable));
    std::string input_channels, wires;
    std::size_t next = 0;
    for (int32_t k = 0; k < osc.PinCount(); ++k) {
        const kvhost::PinInfo& pin = osc.DspPinInfo(k);
        if (pin.datatype != DT_FSAMPLE || pin.IsOutput()) continue;
        ASSERT_LT(next, c.inputs.size());
        const std::string& from = c.inputs[next++];
        input_channels += (input_channels.empty() ? "\"" : ", \"") + from + "\"";
        wires += std::string(wires.empty() ? "" : ", ") + R"({"from": ")" + from +
                 R"(", "to": "osc.)" + pin.name + "\"}";
    }
    ASSERT_EQ(next, c.inputs.size());
    std::ofstream(dir / "inputs.json") << patch(sources, "", input_channels);
    std::ofstream(dir / "reference.json")
        << patch(sources + R"(, {"name": "osc", "plugin": ")" + c.deliverable + R"(", "pins": )" +
                     c.settings + "}",
                 wires, R"("osc.Output")");

    ShellResult r = shell(kvhost + " render inputs.json -o inputs.wav");
    ASSERT_EQ(r.code, 0) << r.err;
    r = shell(kvhost + " render reference.json -o reference.wav");
    ASSERT_EQ(r.code, 0) << r.err;
    r = shell("lv2apply -i inputs.wav -o applied.wav " + c.controls + " " + Quoted(c.uri));
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    // lv2apply names no block length: the bridge says which block it opened with.
    EXPECT_EQ(r.err, "kolvex bridge: \"" + c.deliverable +
                         "\": the host gave no options, so the block size is 64\n");

    int channels = 0;
    const std::vector<float> applied = ReadSound(dir / "applied.wav", &channels);
    const std::vector<float> reference = ReadSound(dir / "reference.wav");
    EXPECT_EQ(channels, 1);
    ASSERT_EQ(applied.size(), reference.size());
    ASSERT_EQ(applied.size(), 72000u);
    // lv2apply runs one frame at a time: the module's blocks stay whole behind a latency of
    // a block less one frame, silence before it.
    constexpr std::size_t kLatency = 63;
    for (std::size_t i = 0; i < kLatency; ++i) EXPECT_EQ(applied[i], 0.0f) << i;
    std::size_t differ = 0, first = applied.size();
    for (std::size_t i = 0; i + kLatency < applied.size(); ++i) {
        if (applied[i + kLatency] != reference[i]) {
            first = std::min(first, i);
            ++differ;
        }
    }
    EXPECT_EQ(differ, 0u) << "first at sample " << first << ": " << applied[first + kLatency] << " vs "
                          << reference[first];
    float peak = 0.0f;
    for (float v : reference) peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.1f);
}

}  // namespace kvtest
