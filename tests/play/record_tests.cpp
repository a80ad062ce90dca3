// `kvhost play --record` over an earlier file of the same name: the recording goes under a
// temporary name and replaces the target only once complete. A closed terminal (SIGHUP) or
// SIGTERM completes it; SIGKILL or a full disk leave the earlier file as it was, and no half
// file carries its name.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "jack_server.h"
#include "play_util.h"

namespace play_test {
namespace {

const std::string kEarlier = "an earlier file of that name, to be kept\n";

// A small tmpfs mounted on `dir` for the test's lifetime, where the machine allows it.
class SmallDisk {
  public:
    explicit SmallDisk(const std::string& dir) : dir_(dir) {
        std::filesystem::create_directories(dir);
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") == 0;
        if (!mounted_) why_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }

  private:
    std::string dir_, why_;
    bool mounted_ = false;
};

// The files of `dir` other than `keep` whose names hold `name`: a recording's leftovers.
std::vector<std::string> Others(const std::string& dir, const std::string& name,
                                const std::string& keep) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string file = entry.path().filename().string();
        if (file != keep && file.find(name) != std::string::npos) found.push_back(file);
    }
    return found;
}

struct Ending {
    const char* name;
    int signal;      // sent once a second has been recorded; 0: the disk fills up instead
    bool completes;  // the recording replaces the earlier file
};

void PrintTo(const Ending& end, std::ostream* os) {
    *os << end.name;
}

class RecordingEnds : public ::testing::TestWithParam<Ending> {};

TEST_P(RecordingEnds, ReplacesTheEarlierFileOnlyWhenComplete) {
    const Ending& end = GetParam();
    JackServer server(256);
    WriteFile(Dir() + "/osc.json", TwinOpPatch("1->1", "", 48000));
    std::unique_ptr<SmallDisk> disk;
    std::string folder = Dir() + "/out";
    std::filesystem::create_directories(folder);
    if (end.signal == 0) {
        folder = Dir() + "/disk";
        disk = std::make_unique<SmallDisk>(folder);
        if (!disk->Mounted()) {
            GTEST_SKIP() << "a tmpfs cannot be mounted here (" << disk->Why()
                         << "): the full-disk case is not run";
        }
    }
    const std::string target = folder + "/rec.wav";
    WriteFile(target, kEarlier);

    Kvhost play({"play", "osc.json", "--record", target, "--json-status"});
    ASSERT_TRUE(play.WaitForError("playing", 20)) << play.Err();
    if (end.signal != 0) {
        ASSERT_TRUE(play.WaitForOutput("\"frames\":", 20));  // a second has played
        EXPECT_EQ(ReadFile(target), kEarlier) << "the target was written while recording";
        play.Signal(end.signal);
    }
    const Finished f = play.Wait(30);

    const std::vector<std::string> others = Others(folder, "rec.wav", "rec.wav");
    if (end.completes) {
        ASSERT_EQ(f.code, 0) << f.err;
        const uint64_t frames = std::stoull(f.err.substr(f.err.find("recorded ") + 9));
        const Audio rec = ReadAudio(target);
        EXPECT_EQ(rec.rate, 48000);
        EXPECT_GE(frames, 24000u);
        ASSERT_EQ(rec.samples.size(), frames);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.17g", static_cast<double>(frames) / 48000.0);
        ASSERT_EQ(RunKvhost({"render", "osc.json", "--seconds", seconds, "-o", "r.wav"}).code, 0);
        EXPECT_EQ(rec.samples, ReadAudio(Dir() + "/r.wav").samples);
        EXPECT_TRUE(others.empty()) << others.front();
        return;
    }
    EXPECT_EQ(ReadFile(target), kEarlier);
    if (end.signal == SIGKILL) {
        // The temporary file may stay, under its own hidden name.
        for (const std::string& o : others) EXPECT_EQ(o.rfind(".rec.wav-", 0), 0u) << o;
    } else {
        EXPECT_EQ(f.code, 6) << f.err;
        EXPECT_NE(f.err.find(target + ": writing audio failed"), std::string::npos) << f.err;
        EXPECT_NE(f.err.find("nothing recorded: " + target + " is as it was"), std::string::npos)
            << f.err;
        EXPECT_TRUE(others.empty()) << others.front();
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, RecordingEnds,
                         ::testing::Values(Ending{"Sighup", SIGHUP, true},
                                           Ending{"Sigterm", SIGTERM, true},
                                           Ending{"Sigkill", SIGKILL, false},
                                           Ending{"FullDisk", 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace play_test
