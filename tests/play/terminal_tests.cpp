// `kvhost play` on a real terminal (a tmux pane, read back as its screen): a control line
// typed slowly while the status line refreshes stays on the screen as typed, below the
// status, and runs when completed; the terminal is given back whichever way play ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jack_server.h"
#include "play_util.h"

namespace play_test {
namespace {

void Sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string Quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// `kvhost play ARGS` in a pane of a private tmux server (120 x 24), in Dir(); once it ends,
// the pane's shell writes the terminal's modes (`stty -a`) to Dir()/stty.txt.
class Pane {
  public:
    explicit Pane(const std::string& args) : socket_(Dir() + "/tmux.sock") {
        std::filesystem::remove(Dir() + "/stty.txt");
        const std::string shell = "cd " + Quoted(Dir()) + " && " KVHOST_TOOL " play " + args +
                                  "; stty -a > stty.txt; sleep 600";
        Tmux("-f /dev/null new-session -d -x 120 -y 24 " + Quoted(shell));
        server_ = std::atoi(Tmux("display-message -p '#{pid}'").c_str());
        shell_ = std::atoi(Tmux("display-message -p '#{pane_pid}'").c_str());
    }
    ~Pane() {
        Tmux("kill-server");
        if (server_ > 0) ::kill(server_, SIGKILL);
    }
    Pane(const Pane&) = delete;
    Pane& operator=(const Pane&) = delete;

    std::string Tmux(const std::string& command) const {
        return CommandOutput("tmux -S " + Quoted(socket_) + " " + command + " 2>&1");
    }
    // The screen, its trailing empty lines left out.
    std::vector<std::string> Screen() const {
        std::istringstream text(Tmux("capture-pane -p"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        while (!lines.empty() && lines.back().find_first_not_of(' ') == std::string::npos) {
            lines.pop_back();
        }
        return lines;
    }
    std::string Last(std::size_t from_end = 0) const {
        const std::vector<std::string> s = Screen();
        return s.size() > from_end ? s[s.size() - 1 - from_end] : std::string();
    }
    bool WaitFor(const std::string& text, double seconds) const {
        for (double waited = 0; waited < seconds; waited += 0.05) {
            if (Tmux("capture-pane -p").find(text) != std::string::npos) return true;
            Sleep(0.05);
        }
        return false;
    }
    void Type(const std::string& text, double gap) const {
        for (char c : text) {
            Tmux("send-keys -l " + Quoted(std::string(1, c)));
            Sleep(gap);
        }
    }
    void Key(const std::string& key) const { Tmux("send-keys " + key); }
    // kvhost, the child of the pane's shell.
    pid_t Kvhost() const {
        const std::string children = ReadFile("/proc/" + std::to_string(shell_) + "/task/" +
                                              std::to_string(shell_) + "/children");
        return std::atoi(children.c_str());
    }
    // The terminal's modes once play has ended ("" if it has not within `seconds`).
    std::string ModesAfter(double seconds) const {
        for (double waited = 0; waited < seconds; waited += 0.05) {
            const std::string modes = ReadFile(Dir() + "/stty.txt");
            if (!modes.empty()) return modes;
            Sleep(0.05);
        }
        return {};
    }

  private:
    std::string socket_;
    pid_t server_ = -1, shell_ = -1;
};

// Where each thread of a process that should have ended waits, for a failure's message.
std::string Waits(pid_t pid) {
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    if (!std::filesystem::exists(task)) return "\n(kvhost has ended)";
    std::string text = "\nkvhost still runs; its threads wait in:";
    for (const auto& t : std::filesystem::directory_iterator(task)) {
        text += " " + ReadFile(t.path().string() + "/wchan");
    }
    return text;
}

bool GivenBack(const std::string& modes) {
    return modes.find(" icanon") != std::string::npos && modes.find(" echo ") != std::string::npos;
}

void UseTmux() {
    ASSERT_EQ(std::system("tmux -V > /dev/null 2>&1"), 0) << "tmux is missing (./dev setup)";
}

TEST(PlayTerminal, TypedTextSurvivesTheStatusLineAndRunsWhenComplete) {
    UseTmux();
    JackServer server(256);
    WriteFile(Dir() + "/osc.json", TwinOpPatch("1->1", "", 48000));
    Pane pane("osc.json");
    ASSERT_TRUE(pane.WaitFor("DSP", 20)) << pane.Tmux("capture-pane -p");

    // Typed a key every 0.12 s: the status refreshes four times a second meanwhile.
    const std::string typed = "set osc.OP2 Pi";
    pane.Type(typed, 0.12);
    const std::string status = pane.Last(1);
    EXPECT_EQ(pane.Last(), "> " + typed) << pane.Tmux("capture-pane -p");
    EXPECT_NE(status.find(" s  DSP "), std::string::npos) << status;
    Sleep(0.6);
    EXPECT_EQ(pane.Last(), "> " + typed) << pane.Tmux("capture-pane -p");
    EXPECT_NE(pane.Last(1), status) << "the status line did not refresh";

    pane.Type("tch 6", 0.05);
    pane.Key("Enter");
    ASSERT_TRUE(pane.WaitFor("osc.OP2 Pitch = 6 from sample ", 10)) << pane.Tmux("capture-pane -p");
    const std::vector<std::string> screen = pane.Screen();
    EXPECT_NE(std::find(screen.begin(), screen.end(), "> set osc.OP2 Pitch 6"), screen.end());
    EXPECT_EQ(pane.Last(), ">");  // an empty line to type on (tmux drops the trailing space)

    pane.Type("quit", 0.02);
    pane.Key("Enter");
    const std::string modes = pane.ModesAfter(20);
    EXPECT_TRUE(GivenBack(modes)) << modes;
}

// Whatever ends play, with a half-typed line on the screen, echo and line editing are back.
TEST(PlayTerminal, TheTerminalIsGivenBackOnEveryWayOut) {
    UseTmux();
    WriteFile(Dir() + "/osc.json", TwinOpPatch("1->1", "", 48000));
    for (const char* way : {"SIGTERM", "SIGQUIT", "Ctrl-C", "server gone"}) {
        SCOPED_TRACE(way);
        auto server = std::make_unique<JackServer>(256);
        Pane pane("osc.json");
        ASSERT_TRUE(pane.WaitFor("DSP", 20)) << pane.Tmux("capture-pane -p");
        pane.Type("get osc", 0.02);
        ASSERT_TRUE(pane.WaitFor("> get osc", 5));
        const std::string w = way;
        const pid_t kvhost = pane.Kvhost();
        if (w == "SIGTERM") ::kill(pane.Kvhost(), SIGTERM);
        if (w == "SIGQUIT") ::kill(pane.Kvhost(), SIGQUIT);
        if (w == "Ctrl-C") pane.Key("C-c");
        if (w == "server gone") server->Stop();
        const std::string modes = pane.ModesAfter(20);
        EXPECT_TRUE(GivenBack(modes)) << modes << pane.Tmux("capture-pane -p") << Waits(kvhost);
    }
}

}  // namespace
}  // namespace play_test
