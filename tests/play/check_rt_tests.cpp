// Real-time checks are opt-in: a plain `kvhost play` has no counting allocation or lock
// function in it (the counter library is not mapped, the executable defines none, the
// report says "not checked"), `--check-rt` loads the counters and counts what a module's
// process function allocates on the audio thread, and `kvhost validate` loads them for its
// allocation checks. These tests link the counters, so the engine's zero counts mean
// something.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <filesystem>
#include <string>

#include "jack_server.h"
#include "play_util.h"
#include "rt_check.h"

namespace play_test {
namespace {

namespace rt = kvhost::play::rt;

void* volatile g_kept;  // what the counting test allocates escapes, so it is really allocated

nlohmann::json FinalStatus(const std::string& out) {
    std::istringstream lines(out);
    std::string line;
    nlohmann::json last;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '{') last = nlohmann::json::parse(line);
    }
    return last;
}

TEST(PlayCheckRt, TheTestsCountOnAWatchedThreadOnly) {
    ASSERT_TRUE(rt::Checking());
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    const uint64_t allocations = rt::Allocations(), locks = rt::Locks();
    auto outside = std::make_unique<int>(1);  // not watched: not counted
    g_kept = outside.get();
    {
        rt::Watch watch;
        auto inside = std::make_unique<int>(2);
        g_kept = inside.get();
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
    }
    EXPECT_EQ(rt::Allocations() - allocations, 1u);
    EXPECT_EQ(rt::Locks() - locks, 1u);
}

// The kvhost executable itself defines no allocation or lock function; the counter library
// does (under AddressSanitizer it counts through the sanitizer's hooks instead of malloc).
TEST(PlayCheckRt, TheToolDefinesNoCountingFunctions) {
    const std::string tool = CommandOutput("nm -D --defined-only " KVHOST_TOOL);
    const std::string counters = CommandOutput("nm -D --defined-only " KV_COUNTERS_LIBRARY);
#if defined(__SANITIZE_ADDRESS__)
    const bool counts_malloc = false;
#else
    const bool counts_malloc = true;
#endif
    for (const char* name : {" malloc\n", " free\n", " calloc\n", " pthread_mutex_lock\n"}) {
        const bool lock = std::string(name) == " pthread_mutex_lock\n";
        EXPECT_EQ(counters.find(name) != std::string::npos, lock || counts_malloc) << name;
        EXPECT_EQ(tool.find(name), std::string::npos) << name;
    }
}

// A module allocating in every process call, played with and without --check-rt: only the
// checked process has the counter library mapped, and only it counts and warns.
TEST(PlayCheckRt, OnlyACheckedPlayLoadsTheCountersAndCounts) {
    JackServer server(256);
    WriteFile(Dir() + "/alloc.json", R"({"modules": [{"name": "a", "plugin": ")" KV_ALLOCATING
                                     R"("}], "audio": {"outputs": ["a.Out"]}})");
    for (const bool checked : {false, true}) {
        SCOPED_TRACE(checked ? "--check-rt" : "default");
        // The module lies beside the tests: a patch may name it once its folder is searched.
        std::vector<std::string> args = {"play", "alloc.json", "--json-status", "--plugin-path",
                                         std::filesystem::path(KV_ALLOCATING).parent_path()};
        if (checked) args.push_back("--check-rt");
        Kvhost play(args);
        ASSERT_TRUE(play.WaitForError("playing", 20)) << play.Err();
        ASSERT_TRUE(play.WaitForOutput("\"frames\":", 20));  // a second has played
        const std::string maps = ReadFile("/proc/" + std::to_string(play.Pid()) + "/maps");
        ASSERT_NE(maps.find("libc.so"), std::string::npos);
        EXPECT_EQ(maps.find("libkvhost_counters.so") != std::string::npos, checked);
        play.Send("quit");
        const Finished f = play.Wait();
        ASSERT_EQ(f.code, 0) << f.err;
        const nlohmann::json thread = FinalStatus(f.out).at("audio_thread");
        EXPECT_EQ(thread.at("checked"), checked) << thread;
        EXPECT_GT(thread.at("periods").get<int>(), 0);
        EXPECT_EQ(thread.contains("allocations"), checked) << thread;
        if (checked) {
            EXPECT_GT(thread.at("allocations").get<int>(), 0) << thread;
        }
        EXPECT_EQ(f.err.find("warning: the audio thread allocated") != std::string::npos, checked)
            << f.err;
    }
}

// `kvhost validate` loads the counters itself (the tool is not linked with them): the module
// that allocates fails the audio-path check, one that does not passes.
TEST(PlayCheckRt, ValidateThroughTheToolCountsAllocations) {
    const std::string run = KVHOST_TOOL " validate --json --seed 3 --iterations 50 --cycles 3 ";
    const nlohmann::json failed = nlohmann::json::parse(CommandOutput(run + KV_ALLOCATING));
    EXPECT_NE(failed.dump().find("audio-path allocations"), std::string::npos) << failed.dump(2);
    EXPECT_FALSE(failed.at("passed").get<bool>());
    const nlohmann::json passed = nlohmann::json::parse(CommandOutput(run + "wy_VUDA2DU"));
    EXPECT_TRUE(passed.at("passed").get<bool>()) << passed.dump(2);
}

}  // namespace
}  // namespace play_test
