// End-to-end runs of the kvhost tool: exit codes, messages and files, bad input included.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// A folder of each test's own: ctest runs the tests in parallel processes (and other
// builds may run them at the same time).
std::string Dir() {
    const std::string dir = ::testing::TempDir() + "kvhost_" + std::to_string(::getpid()) + "_" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::create_directories(dir);
    return dir;
}

// A shell command run in the test's folder; $KVHOST names the tool. The test plug-ins'
// folder is on the plug-in search path, so that patches may name them.
Result Shell(const std::string& command) {
    const std::string out = Dir() + "/kvhost_out.txt", err = Dir() + "/kvhost_err.txt";
    const std::string cmd =
        "cd '" + Dir() + "' && (KVHOST='" KVHOST_TOOL "'; export KVHOST_PLUGIN_PATH='" +
        KVHOST_TEST_PLUGINS + "'; " + command + ") >'" + out + "' 2>'" + err + "'";
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
}

Result Kvhost(const std::string& args) {
    return Shell("\"$KVHOST\" " + args);
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

// Opening a patch never runs code from outside the plug-in search path. A library whose
// constructor leaves a trace, named by a patch in each way a path can be written, is refused
// by every command that opens patches (exit 4, naming the option that would allow it) and
// leaves no trace. Named on the command line, or with its folder allowed, it does run: the
// trace is real.
TEST(KvhostTool, PatchesRunCodeFromThePluginSearchPathOnly) {
    namespace fs = std::filesystem;
    const std::string dir = fs::canonical(Dir()).string(), trace = dir + "/trace.txt";
    fs::create_directories(dir + "/lib");
    for (const char* to : {"/lib/trace.so", "/trace.so"}) {
        fs::copy_file(KVHOST_TRACE_LIBRARY, dir + to, fs::copy_options::overwrite_existing);
    }
    const std::string build_folder = fs::path(KVHOST_TRACE_LIBRARY).parent_path().string();
    // A patch naming `plugin`, and kvhost run on it with `args` (after `env`).
    const auto run = [&](const std::string& plugin, const std::string& args,
                         const std::string& env = "") {
        fs::remove(trace);
        Write(dir + "/p.json", R"({"seconds": 0.1, "modules": [{"name": "m", "plugin": ")" +
                                   plugin + R"("}], "audio": {"outputs": ["m.Out"]}})");
        return Shell(env + " KV_TRACE_FILE='" + trace + "' \"$KVHOST\" " + args);
    };
    struct Refused {
        std::string plugin;
        int code;
        std::string says;
    };
    const Refused refused[] = {
        {dir + "/lib/trace.so", 4, "--plugin-path '" + dir + "/lib'"},
        {"lib/trace.so", 4, "--plugin-path '" + dir + "/lib'"},
        {"./lib/../lib//trace.so", 4, "--plugin-path '" + dir + "/lib'"},
        {"trace.so", 4, "--plugin-path '" + dir + "'"},
        {std::string(KVHOST_TEST_PLUGINS) + "/../trace/trace.so", 4, build_folder},
        {"trace", 3, "no plug-in named \"trace\" on the plug-in search path"},
    };
    for (const char* command :
         {"render p.json -o out.wav", "plot p.json -o out.png", "panel p.json --panel 0"}) {
        for (const Refused& c : refused) {
            const Result r = run(c.plugin, command);
            EXPECT_EQ(r.code, c.code) << command << ", " << c.plugin << ": " << r.err;
            EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
            EXPECT_FALSE(fs::exists(trace)) << command << " ran " << c.plugin;
        }
    }
    // An empty entry of KVHOST_PLUGIN_PATH is no folder (not the current one).
    EXPECT_EQ(run("trace", "render p.json -o out.wav", "KVHOST_PLUGIN_PATH=::").code, 3);
    EXPECT_FALSE(fs::exists(trace));

    struct Allowed {
        std::string plugin, args, env;
    };
    const Allowed allowed[] = {
        {"trace", "render p.json -o out.wav --plugin-path lib", ""},
        {"lib/trace.so", "--plugin-path lib render p.json -o out.wav", ""},
        {"trace.so", "render p.json -o out.wav", "KVHOST_PLUGIN_PATH=:lib"},
        {"", "info trace --plugin-path lib", ""},
        {"", "info lib/trace.so", ""},
        {"", "info ./trace.so", ""},
    };
    for (const Allowed& c : allowed) {
        const Result r = run(c.plugin, c.args, c.env);
        EXPECT_EQ(r.code, 3) << c.args << ": " << r.err;
        EXPECT_NE(r.err.find("not a Kolvex plug-in"), std::string::npos) << r.err;
        EXPECT_TRUE(fs::exists(trace)) << c.env << " " << c.args;
    }
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

// ---- A new user's try-out: every bad value refused, no file clobbered, clear words ----------

namespace {

// The names in a folder, the tool's own captured output excluded.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name != "kvhost_out.txt" && name != "kvhost_err.txt") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The test's folder, emptied of what an earlier run left.
std::string CleanDir() {
    std::filesystem::remove_all(Dir());
    return Dir();
}

bool Built(std::initializer_list<const char*> deliverables) {
    for (const char* d : deliverables) {
        if (!std::filesystem::exists(std::string(KVHOST_PLUGIN_DIR) + "/" + d + ".so")) {
            return false;
        }
    }
    return true;
}

// A patch of one module with one pin setting (a JSON value as written).
std::string OnePinPatch(const std::string& plugin, const std::string& pin,
                        const std::string& value) {
    return R"({"seconds": 0.1, "modules": [{"name": "m", "plugin": ")" + plugin +
           R"(", "pins": {")" + pin + R"(": )" + value + "}}]}";
}

std::vector<float> Samples(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return {};
    std::vector<float> v(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(f, v.data(), info.frames);
    sf_close(f);
    return v;
}

TEST(KvhostTryOut, ChoiceValuesOutsideTheListAreRefusedNamingTheAllowedOnes) {
    if (!Built({"ZOR Twin-Op", "ZOR Warpwave", "wy_VUDA2DU", "mxt_AnimVolts"})) {
        GTEST_SKIP() << "deliverables not built";
    }
    const std::string dir = CleanDir();
    const struct {
        const char *plugin, *pin, *value, *allowed;
    } refused[] = {
        {"ZOR Twin-Op", "Algorithm", "2", "one of: 1->1=0,2->1=1,Test=3"},
        {"ZOR Warpwave", "Wave", "99", "one of: Saw=1,Square=2,"},
        {"wy_VUDA2DU", "Channel", "17", "one of: All=0,1=1,2=2,"},
        {"wy_VUDA2DU", "Bend Range", "13", "a whole number from 0 to 12"},
        {"wy_VUDA2DU", "Bend Range", "-1", "a whole number from 0 to 12"},
        {"wy_VUDA2DU", "Bend Range", "2.5", "a whole number from 0 to 12"},
    };
    for (const auto& r : refused) {
        Write(dir + "/p.json", OnePinPatch(r.plugin, r.pin, r.value));
        const Result result = Kvhost("render p.json -o out.wav");
        EXPECT_EQ(result.code, 4) << r.pin << "=" << r.value;
        EXPECT_EQ(result.err.rfind("kvhost: p.json: module \"m\", pin \"" + std::string(r.pin) +
                                       "\": \"" + r.value + "\" is not " + r.allowed,
                                   0),
                  0u)
            << result.err;
    }
    // Values in the list pass, as numbers or labels.
    for (const char* ok : {"12", "\"12\"", "12.0", "0"}) {
        Write(dir + "/p.json", OnePinPatch("wy_VUDA2DU", "Bend Range", ok));
        EXPECT_EQ(Kvhost("render p.json -o ok.wav").code, 0) << ok;
    }
    std::filesystem::remove(dir + "/ok.wav");
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"p.json"});

    Result r = Kvhost("gui mxt_AnimVolts --set 'Sampling Method=7'");
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.err,
              "kvhost: pin \"Sampling Method\": \"7\" is not one of: Start=0,End=1,Start/End=2,"
              "All=3\n");
    EXPECT_EQ(Kvhost("gui mxt_AnimVolts --set 'Sampling Method=All'").code, 0);
}

TEST(KvhostTryOut, ValuesThatOverflowTheirPinAreRefused) {
    if (!Built({"jx_VecMul"})) GTEST_SKIP() << "jx_VecMul is not built";
    Result r = Kvhost("gui jx_VecMul --set 'Multiply by=1e308' --set 'Array In=10'");
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.err,
              "kvhost: pin \"Multiply by\": \"1e308\" is out of range for a 32-bit float (at most "
              "+-3.4028235e38)\n");
    EXPECT_EQ(r.out, "");
    r = Kvhost("gui jx_VecMul --set 'Multiply by=1e999'");
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.err, "kvhost: pin \"Multiply by\": \"1e999\" is out of range\n");
    EXPECT_EQ(Kvhost("gui jx_VecMul --set 'Multiply by=3e38'").code, 0);

    // In a patch: a real pin, and a sample pin whose volts overflow once scaled to signal.
    const std::string dir = CleanDir();
    Write(dir + "/p.json", OnePinPatch(KVHOST_TEST_PLUGINS "/test_probe.so", "Level", "1e39"));
    r = Kvhost("render p.json -o out.wav");
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("pin \"Level\": \"1e+39\" is out of range for a 32-bit float"),
              std::string::npos)
        << r.err;
    Write(dir + "/p.json", OnePinPatch(KVHOST_TEST_PLUGINS "/test_probe.so", "In", "1e40"));
    r = Kvhost("render p.json -o out.wav");
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("pin \"In\": \"1e+40\" volts is out of range for a sample"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"p.json"});
}

TEST(KvhostTryOut, AFailedWriteLeavesTheEarlierFileAsItWas) {
    const std::string dir = CleanDir();
    Write(dir + "/p.json", OnePinPatch(KVHOST_TEST_PLUGINS "/test_probe.so", "In", "1"));
    ASSERT_EQ(Kvhost("render p.json -o keep.wav --seconds 0.1").code, 0);
    const std::string before = Slurp(dir + "/keep.wav");
    ASSERT_FALSE(before.empty());
    const std::vector<std::string> files = {"keep.wav", "p.json"};

    // The file-size limit's signal ignored: the write fails, the tool says so.
    Result r = Shell(
        "trap '' XFSZ; ulimit -f 100; \"$KVHOST\" render p.json -o keep.wav "
        "--seconds 2");
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.err.rfind("kvhost: keep.wav: writing audio failed", 0), 0u) << r.err;
    EXPECT_EQ(Slurp(dir + "/keep.wav"), before);
    EXPECT_EQ(Entries(dir), files);

    // The signal at its default: the process dies of it, and still leaves no part behind.
    r = Shell("ulimit -f 100; \"$KVHOST\" render p.json -o keep.wav --seconds 2");
    EXPECT_NE(r.code, 0);
    EXPECT_EQ(Slurp(dir + "/keep.wav"), before);
    EXPECT_EQ(Entries(dir), files);

    // A picture the same way.
    ASSERT_EQ(Kvhost("plot p.json -o keep.png").code, 0) << Kvhost("plot p.json -o keep.png").err;
    const std::string picture = Slurp(dir + "/keep.png");
    r = Shell("trap '' XFSZ; ulimit -f 20; \"$KVHOST\" plot p.json -o keep.png");
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.err.rfind("kvhost: keep.png: cannot write the picture", 0), 0u) << r.err;
    EXPECT_EQ(Slurp(dir + "/keep.png"), picture);
    EXPECT_EQ(Entries(dir), (std::vector<std::string>{"keep.png", "keep.wav", "p.json"}));

    // A new file gets the usual mode, not the temporary file's owner-only one.
    ASSERT_EQ(Kvhost("render p.json -o new.wav --seconds 0.1").code, 0);
    const auto perms = std::filesystem::status(dir + "/new.wav").permissions();
    EXPECT_NE(perms & std::filesystem::perms::others_read, std::filesystem::perms::none);
}

TEST(KvhostTryOut, OutputsNeverReplaceTheCommandsInputs) {
    const std::string dir = CleanDir();
    const std::string patch = OnePinPatch(KVHOST_TEST_PLUGINS "/test_probe.so", "In", "1");
    Write(dir + "/victim.json", patch);
    Result r = Kvhost("plot victim.json -o victim.json");
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.err,
              "kvhost: \"victim.json\": the picture file's name must end in .png (nothing "
              "written)\n");
    EXPECT_EQ(Kvhost("plot victim.json -o picture").code, 6);
    r = Kvhost("render victim.json -o victim.json");
    EXPECT_EQ(r.code, 6);
    EXPECT_NE(r.err.find("must end in .wav or .flac"), std::string::npos) << r.err;
    EXPECT_EQ(Kvhost("render victim.json -o noextension").code, 6);
    EXPECT_EQ(Kvhost("demo -o demo.json").code, 6);
    EXPECT_EQ(Kvhost("demo --save-melody victim.json").code, 6);
    // The same file under another name: a link that ends in .wav.
    std::filesystem::create_symlink("victim.json", dir + "/link.wav");
    r = Kvhost("render victim.json -o link.wav");
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.err,
              "kvhost: \"link.wav\" is an input of this command (\"victim.json\"); it is "
              "not overwritten\n");
    EXPECT_EQ(Slurp(dir + "/victim.json"), patch);
    EXPECT_EQ(Entries(dir), (std::vector<std::string>{"link.wav", "victim.json"}));
    // A link to an earlier output is followed: the file it points to is replaced.
    std::filesystem::remove(dir + "/link.wav");
    ASSERT_EQ(Kvhost("render victim.json -o real.wav --seconds 0.1").code, 0);
    std::filesystem::create_symlink("real.wav", dir + "/link.wav");
    ASSERT_EQ(Kvhost("render victim.json -o link.wav --seconds 0.2").code, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link.wav"));
    EXPECT_EQ(Samples(dir + "/real.wav").size(), 8820u);
}

TEST(KvhostTryOut, FoldersGivenAsFilesAreNamedForWhatTheyAre) {
    const std::string dir = CleanDir();
    Write(dir + "/p.json", OnePinPatch(KVHOST_TEST_PLUGINS "/test_probe.so", "In", "1"));
    std::filesystem::create_directories(dir + "/folder.mid");
    std::filesystem::create_directories(dir + "/folder.json");
    Result r = Kvhost("render p.json --midi folder.mid -o mm.wav");
    EXPECT_EQ(r.code, 5);
    EXPECT_EQ(r.err, "kvhost: folder.mid: is a folder, not a MIDI file\n");
    r = Kvhost("render folder.json -o mm.wav");
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err, "kvhost: folder.json: is a folder, not a patch file\n");
    EXPECT_EQ(Entries(dir), (std::vector<std::string>{"folder.json", "folder.mid", "p.json"}));
}

TEST(KvhostTryOut, StretchesShorterThanOneSampleOrPastTheEndAreRefused) {
    const std::string dir = CleanDir();
    Write(dir + "/p.json", OnePinPatch(KVHOST_TEST_PLUGINS "/test_probe.so", "In", "1"));
    Result r = Kvhost("render p.json --seconds 1e-9 -o short.wav");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "kvhost: --seconds 1e-09 is shorter than one sample at 44100 Hz\n");
    EXPECT_EQ(Kvhost("render p.json --seconds 3601 -o short.wav").code, 2);
    Write(dir + "/short.json", R"({"seconds": 1e-9, "modules": [{"name": "m", "plugin": ")" +
                                   std::string(KVHOST_TEST_PLUGINS) + R"(/test_probe.so"}]})");
    r = Kvhost("render short.json -o short.wav");
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err,
              "kvhost: short.json: \"seconds\" 1e-09 is shorter than one sample at 44100 "
              "Hz\n");
    r = Kvhost("render --help");
    EXPECT_NE(r.out.find("at most 3600"), std::string::npos) << r.out;

    r = Kvhost("plot p.json --seconds -1 -o p.png");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "kvhost: --seconds must be 0 (to the end of the patch) or up to 3600 s\n");
    r = Kvhost("plot p.json --seconds 1e-9 -o p.png");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "kvhost: --seconds 1e-09 s is shorter than one sample at 44100 Hz\n");
    r = Kvhost("plot p.json --from 0.1 -o p.png");  // the patch lasts 0.1 s
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "kvhost: --from 0.1 s lies beyond the end of p.json at 0.1 s\n");
    EXPECT_EQ(Entries(dir), (std::vector<std::string>{"p.json", "short.json"}));
    // A stretch that runs over the end is cut there, and the tool says so.
    r = Kvhost("plot p.json --from 0.05 -o p.png");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "kvhost: note: the stretch is cut at the patch's end, after 0.05 s\n");
}

// A note ended, as many files and keyboards do, by a note-on of velocity 0 (running status).
std::vector<uint8_t> NoteEndedByVelocityZero() {
    return {'M',  'T',  'h', 'd', 0,    0,    0,    6,    0,    0,    0,  1,
            0x01, 0xE0,                                                         // 480 per beat
            'M',  'T',  'r', 'k', 0,    0,    0,    13,   0x00, 0x90, 60, 100,  // note-on at 0
            0x83, 0x60, 60,  0,   0x83, 0x60, 0xFF, 0x2F, 0x00};                // "off" at 0.5 s
}

TEST(KvhostTryOut, ANoteOnOfVelocityZeroArrivesAsANoteOffUnlessRawMidi) {
    const kvhost::MidiSequence host = kvhost::ParseMidi(NoteEndedByVelocityZero(), 1000.0, "v.mid");
    ASSERT_EQ(host.events.size(), 2u);
    EXPECT_EQ(host.events[1].status, 0x80);
    EXPECT_EQ(host.events[1].d1, 60);
    const kvhost::MidiSequence raw =
        kvhost::ParseMidi(NoteEndedByVelocityZero(), 1000.0, "v.mid", kvhost::MidiDelivery::kRaw);
    EXPECT_EQ(raw.events[1].status, 0x90);
    EXPECT_EQ(raw.events[1].d2, 0);

    if (!Built({"wy_VUDA2DU"})) GTEST_SKIP() << "wy_VUDA2DU is not built";
    const std::string dir = CleanDir();
    const auto bytes = NoteEndedByVelocityZero();
    std::ofstream(dir + "/v.mid", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    Write(dir + "/gate.json", R"({"sample_rate": 8000, "seconds": 1,
      "modules": [{"name": "keys", "plugin": "wy_VUDA2DU"}], "midi": "v.mid",
      "audio": {"outputs": ["keys.Gate"]}})");
    ASSERT_EQ(Kvhost("render gate.json -o host.wav").code, 0);
    ASSERT_EQ(Kvhost("render gate.json --raw-midi -o raw.wav").code, 0);
    const std::vector<float> gate = Samples(dir + "/host.wav"),
                             raw_gate = Samples(dir + "/raw.wav");
    ASSERT_EQ(gate.size(), 8000u);
    ASSERT_EQ(raw_gate.size(), 8000u);
    EXPECT_GT(gate[1000], 0.0f);      // the key is down
    EXPECT_EQ(gate[6000], 0.0f);      // and released at 0.5 s
    EXPECT_GT(raw_gate[6000], 0.0f);  // the module takes the raw byte as a strike: still on
}

TEST(KvhostTryOut, ListShowsEveryDeliverableAndInfoTakesTheIdItPrints) {
    if (!Built({"wy_VUDA2DU", "jx_VecMul"})) GTEST_SKIP() << "deliverables not built";
    // The build tree's deliverables alone (the test plug-ins' folder off the search path).
    Result r = Shell("KVHOST_PLUGIN_PATH= \"$KVHOST\" list");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("deliverable ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nwy_VUDA2DU "), std::string::npos) << r.out;
    r = Shell("KVHOST_PLUGIN_PATH= \"$KVHOST\" list --json");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\"deliverable\": \"wy_VUDA2DU\",\n    \"file\": \"" KVHOST_PLUGIN_DIR
                         "/wy_VUDA2DU.so\",\n    \"id\": \"wy:VUDA2DU\",\n    \"kind\": \"DSP\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"deliverable\": \"jx_VecMul\",\n    \"file\": \"" KVHOST_PLUGIN_DIR
                         "/jx_VecMul.so\",\n    \"id\": \"jx_VecMul\",\n    \"kind\": \"both\""),
              std::string::npos)
        << r.out;
    const Result by_id = Kvhost("info wy:VUDA2DU");
    ASSERT_EQ(by_id.code, 0) << by_id.err;
    EXPECT_EQ(by_id.out, Kvhost("info wy_VUDA2DU").out);
    r = Kvhost("info wy:NOTHING");
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("no plug-in named \"wy:NOTHING\""), std::string::npos) << r.err;
}

TEST(KvhostTryOut, ASharedPinNameIsRefusedWithTheIndicesThatTellThemApart) {
    if (!Built({"jx_CsvFloats"})) GTEST_SKIP() << "jx_CsvFloats is not built";
    Result r = Kvhost("gui jx_CsvFloats --set FLOAT=3");
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.err,
              "kvhost: \"jx_CsvFloats\": pin name \"FLOAT\" is shared by 32 pins (#1-#32); "
              "name one as #N (--set '#1=3')\n");
    EXPECT_EQ(r.out, "");
    r = Kvhost("gui jx_CsvFloats --set '#2=3' --json");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\"index\": 2,\n    \"name\": \"FLOAT\",\n    \"value\": 3.0"),
              std::string::npos)
        << r.out;
}

TEST(KvhostTryOut, UnknownCommandsAndLongValuesAreNamedShortly) {
    Result r = Kvhost("rendr x.json");
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err,
              "kvhost: unknown command \"rendr\"; did you mean \"render\"? (kvhost --help "
              "tells more)\n");
    r = Kvhost("xyzzy");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("the commands are info, list, render, gui, demo, validate, plot"),
              std::string::npos)
        << r.err;

    const std::string digits(10000, '7');
    r = Kvhost("gui " + Plugin("test_panel") + " --set 'Value=" + digits + "'");
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.err,
              "kvhost: pin \"Value\": \"" + digits.substr(0, 60) + "...\" is out of range\n");
    r = Kvhost("render x.json --seconds " + digits + "x");
    EXPECT_EQ(r.code, 2);
    EXPECT_LT(r.err.size(), 200u) << r.err;
    const std::string dir = CleanDir();
    Write(dir + "/p.json",
          OnePinPatch(KVHOST_TEST_PLUGINS "/test_probe.so", "Mode", "\"" + digits + "\""));
    r = Kvhost("render p.json");
    EXPECT_EQ(r.code, 4);
    EXPECT_LT(r.err.size(), 200u) << r.err;
}

TEST(KvhostTryOut, ExitCodesAreOneTableForEveryCommand) {
    const Result help = Kvhost("--help");
    EXPECT_NE(help.out.find("  8  audio system unavailable ("), std::string::npos) << help.out;
    const std::string table = help.out.substr(help.out.find("Exit codes:"));
    for (const char* command : {"validate", "plot", "render", "play"}) {
        const Result r = Kvhost(std::string(command) + " --help");
        EXPECT_EQ(r.code, 0);
        EXPECT_NE(r.out.find(table), std::string::npos) << command;
    }
    const Result r = Kvhost("validate /nonexistent.so");
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kvhost: /nonexistent.so: no such file\n");
}

TEST(KvhostTryOut, PlotNamesItsPinWithPinAndSaysWhenSeveralNotesSound) {
    if (!Built({"wy_VUDA2DU", "ZOR Twin-Op"})) GTEST_SKIP() << "deliverables not built";
    CleanDir();
    const std::string example = "'" KVHOST_EXAMPLES "/twin_op_notes.json'";
    Result r = Kvhost("plot " + example + " --seconds 0 -o all.png");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("osc.Output, 7 notes in the stretch, no single fundamental (--note N "
                         "plots one)"),
              std::string::npos)
        << r.out;
    r = Kvhost("plot " + example + " --note 3 --pin osc.Output -o three.png");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("osc.Output, note 3 (key 64), fundamental 329.6"), std::string::npos)
        << r.out;
    r = Kvhost("plot " + example + " --note 8 -o x.png");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--note 8: "), std::string::npos);
    EXPECT_NE(r.err.find("plays 7 notes"), std::string::npos) << r.err;
    EXPECT_EQ(Kvhost("plot " + example + " --note 2 --from 1 -o x.png").code, 2);

    // The pin option's former name still works, for now, and says so.
    r = Kvhost("plot " + example + " --output osc.Output --note 1 -o one.png");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "kvhost: note: plot's --output is now --pin; --output will go\n");
    EXPECT_EQ(Kvhost("plot " + example + " --output osc.Output --pin osc.Output -o x.png").code, 2);
    EXPECT_EQ(Entries(Dir()), (std::vector<std::string>{"all.png", "one.png", "three.png"}));
}

}  // namespace
