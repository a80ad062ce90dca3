// End-to-end runs of the kvhost tool: exit codes, messages and files, bad input included.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kvhost/midi.h"

namespace {

struct Result {
    int code;
    std::string out, err;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A folder of each test's own: ctest runs the tests in parallel processes.
std::string Dir() {
    const std::string dir = ::testing::TempDir() + "kvhost_" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::create_directories(dir);
    return dir;
}

Result Kvhost(const std::string& args) {
    const std::string out = Dir() + "/kvhost_out.txt", err = Dir() + "/kvhost_err.txt";
    const std::string cmd =
        "cd '" + Dir() + "' && '" KVHOST_TOOL "' " + args + " >'" + out + "' 2>'" + err + "'";
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

std::string Plugin(const std::string& name) {
    return "'" + std::string(KVHOST_TEST_PLUGINS) + "/" + name + ".so'";
}

void Write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

TEST(KvhostTool, InfoAndGui) {
    Result r = Kvhost("info " + Plugin("test_probe"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("test_probe"), std::string::npos);
    EXPECT_NE(r.out.find("Low=3,High=7"), std::string::npos);
    EXPECT_NE(r.out.find("DSP pins:   7"), std::string::npos);

    r = Kvhost("info --json " + Plugin("test_panel"));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\"gui_side\": true"), std::string::npos);
    EXPECT_NE(r.out.find("\"frame_revision\": 2230"), std::string::npos);

    r = Kvhost("gui " + Plugin("test_panel") + " --set Value=2.5 --set 'Text=x y'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Value  = 0"), std::string::npos);  // "x y" reads as 0
    EXPECT_NE(r.out.find("Text   = \"x y\""), std::string::npos);
    EXPECT_NE(r.out.find("Echo   = 5"), std::string::npos);

    r = Kvhost("gui " + Plugin("test_panel") + " --set Volume=3");
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.err, "kvhost: \"test_panel\" has no pin \"Volume\"\n");
    r = Kvhost("gui " + Plugin("test_panel") + " --set Count=many");
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.err, "kvhost: pin \"Count\": \"many\" is not a number\n");
    r = Kvhost("gui " + Plugin("test_panel") + " --set '#5=4'");  // by description index
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Count  = 20"), std::string::npos);  // 4, then 16 nested writes
    r = Kvhost("gui " + Plugin("test_probe"));
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "kvhost: \"test_probe\" has no GUI side\n");
}

TEST(KvhostTool, GuiDrivesTheConverters) {
    for (const char* p : {"jx_VecMul", "jx_CsvFloats"}) {
        if (!std::filesystem::exists(std::string(KVHOST_PLUGIN_DIR) + "/" + p + ".so"))
            GTEST_SKIP() << p << " is not built";
    }
    Result r = Kvhost("gui jx_VecMul --set 'Array In=1,2,3' --set 'Multiply by=2'");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Array Out   = \"2.000000,4.000000,6.000000\""), std::string::npos)
        << r.out;
    // A fresh instance starts as one just placed in a patch: "Multiply by" 0 becomes 1.
    r = Kvhost("gui jx_VecMul --set 'Array In=1,2,3'");
    EXPECT_NE(r.out.find("Array Out   = \"1.000000,2.000000,3.000000\""), std::string::npos)
        << r.out;
    // Pins that share a name keep their own entries in the JSON answer.
    r = Kvhost("gui jx_CsvFloats --set OUTPUT=1,2,3 --json");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\"index\": 3,\n    \"name\": \"FLOAT\",\n    \"value\": 3.0"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"index\": 33"), std::string::npos);
}

TEST(KvhostTool, BadPluginsAndCommandLines) {
    Result r = Kvhost("info " + Plugin("test_noentry"));
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("does not export getModuleProperties and makeModule"), std::string::npos);
    Write(Dir() + "/text.so", "not a library");
    r = Kvhost("info ./text.so");
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "kvhost: ./text.so: not a shared library (no ELF header)\n");
    r = Kvhost("info ./missing.so");
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "kvhost: ./missing.so: no such file\n");
    EXPECT_EQ(Kvhost("").code, 2);
    EXPECT_EQ(Kvhost("frobnicate").code, 2);
    r = Kvhost("--help");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Exit codes:"), std::string::npos);
}

TEST(KvhostTool, RenderWritesTheAudioFileAndReportsBadInput) {
    const std::string patch = Dir() + "/chain.json";
    Write(patch, R"({"sample_rate": 48000, "block_size": 32, "seconds": 0.5,
      "modules": [{"name": "a", "plugin": )" +
                     std::string("\"") + KVHOST_TEST_PLUGINS +
                     R"(/test_probe.so", "pins": {"In": 3, "Mode": "Low"}}],
      "audio": {"outputs": ["a.Out", "a.Trace"], "gain": 0.1}, "midi": {"file": "notes.mid"}})");
    const auto midi = kvhost::WriteMidiNotes({{0.0, 0.5, 60, 100}}, 120.0);
    std::ofstream(Dir() + "/notes.mid", std::ios::binary)
        .write(reinterpret_cast<const char*>(midi.data()),
               static_cast<std::streamsize>(midi.size()));

    Result r = Kvhost("render chain.json -o out.wav");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
    EXPECT_EQ(r.out.rfind("out.wav: 0.50 s at 48000 Hz, 2 channels, float;", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("peak"), std::string::npos);
    SF_INFO info{};
    SNDFILE* f = sf_open((Dir() + "/out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.frames, 24000);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    float frame[2];
    sf_readf_float(f, frame, 1);
    EXPECT_EQ(frame[0], -1.0f * 0.1f);  // the note-on at sample 0 switched the probe at once
    sf_close(f);

    r = Kvhost("render chain.json -o out.flac --seconds 0.1");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("24-bit"), std::string::npos);

    Write(Dir() + "/broken.json", "{\n  \"modules\": [\n    {\"name\": \"a\"\n  ]\n}\n");
    r = Kvhost("render broken.json");
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err.rfind("kvhost: broken.json:4:3: ", 0), 0u) << r.err;
    Write(Dir() + "/bad.mid", "MThd garbage");
    r = Kvhost("render chain.json --midi bad.mid");
    EXPECT_EQ(r.code, 5);
    EXPECT_NE(r.err.find("bad.mid"), std::string::npos);
    r = Kvhost("render chain.json -o /no/such/folder/out.wav");
    EXPECT_EQ(r.code, 6);
    EXPECT_NE(r.err.find("/no/such/folder/out.wav: cannot write audio file"), std::string::npos);
    r = Kvhost("render chain.json -o out.ogg");
    EXPECT_EQ(r.code, 6);
    r = Kvhost("render nothing.json");
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err, "kvhost: nothing.json: cannot open patch file\n");
}

}  // namespace

namespace {

TEST(KvhostTool, DemoRendersTheBuiltInPatchLikeItsExampleFile) {
    for (const char* p : {"wy_VUDA2DU", "ZOR Twin-Op"}) {
        if (!std::ifstream(std::string(KVHOST_PLUGIN_DIR) + "/" + p + ".so")) {
            GTEST_SKIP() << p << " is not built";
        }
    }
    Result r = Kvhost("demo");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("demo.wav: 9.90 s at 44100 Hz, 1 channel, float;", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("peak -6.02 dBFS"), std::string::npos) << r.out;
    r = Kvhost("render '" KVHOST_EXAMPLES "/demo.json' -o example.wav");
    ASSERT_EQ(r.code, 0) << r.err;

    SF_INFO a_info{}, b_info{};
    SNDFILE* a = sf_open((Dir() + "/demo.wav").c_str(), SFM_READ, &a_info);
    SNDFILE* b = sf_open((Dir() + "/example.wav").c_str(), SFM_READ, &b_info);
    ASSERT_TRUE(a != nullptr && b != nullptr);
    ASSERT_EQ(a_info.frames, 436590);
    ASSERT_EQ(b_info.frames, a_info.frames);
    std::vector<float> x(static_cast<std::size_t>(a_info.frames)), y(x.size());
    sf_readf_float(a, x.data(), a_info.frames);
    sf_readf_float(b, y.data(), b_info.frames);
    sf_close(a);
    sf_close(b);
    EXPECT_TRUE(x == y);
    // Silence before the first note ends its gate (0.45 beat at 120 bpm) is not expected;
    // silence in the gap between the first two notes is.
    EXPECT_NE(x[100], 0.0f);
    for (std::size_t i = 10000; i < 11000; ++i) ASSERT_EQ(x[i], 0.0f) << i;
}

}  // namespace
