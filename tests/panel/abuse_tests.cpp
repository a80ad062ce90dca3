// The panel's server tried as an attacker on loopback would: names rebound to loopback, pages
// that never read, frames past the limit, protocol breaks, floods of idle and concurrent
// connections. In every case the patch stays as it was and the model's thread keeps its pace
// (it never waits on a socket), and a page's held notes end when its connection does.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "fake_engine.h"
#include "kvhost/panel.h"
#include "panel_client.h"

namespace {

using namespace kvpanel_test;
using kvhost::PanelOptions;
using Clock = std::chrono::steady_clock;

// A model whose calls are timed: the longest time between two turns of the model's thread.
class Timed : public kvhost::PanelModel {
  public:
    explicit Timed(kvhost::PanelModel& inner) : inner_(inner) {}
    kvhost::PanelLayout Layout() override { return inner_.Layout(); }
    void Set(const std::string& m, const std::string& p, const std::string& t) override {
        inner_.Set(m, p, t);
    }
    std::string Get(const std::string& m, const std::string& p) override {
        return inner_.Get(m, p);
    }
    void Note(bool on, int32_t key, int32_t velocity) override { inner_.Note(on, key, velocity); }
    void Panic() override { inner_.Panic(); }
    void Watch(const std::string& m, const std::string& p) override { inner_.Watch(m, p); }
    void Collect(kvhost::PanelUpdates& out, bool frames) override {
        const Clock::time_point now = Clock::now();
        if (last_ != Clock::time_point{}) {
            const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_);
            longest_.store(std::max(longest_.load(), gap.count()));
        }
        last_ = now;
        inner_.Collect(out, frames);
    }
    std::chrono::milliseconds Longest() const { return std::chrono::milliseconds(longest_); }

  private:
    kvhost::PanelModel& inner_;
    Clock::time_point last_{};
    std::atomic<int64_t> longest_{0};
};

// Sanitizers slow every call down and keep freed memory in quarantine.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
// The pace the model's thread keeps: 100 ms (more under sanitizers).
constexpr auto kPace = kSanitized ? 300ms : 100ms;

std::string Origin(int port) {
    return "http://127.0.0.1:" + std::to_string(port);
}

// Every pin value, as a page newly connected sees them.
std::vector<std::string> Values(int port) {
    PageClient page(port, Origin(port));
    std::vector<std::string> values;
    const json layout = page.TakeType("layout");
    for (const json& m : layout["modules"]) {
        for (const json& p : m["pins"]) values.push_back(p["value"].get<std::string>());
    }
    return values;
}

// The lists patch served with `options`, its model's thread timed. The destructor checks
// what every case must leave: the patch as it was, and no turn of the model's thread that
// waited 100 ms or more (kPace).
struct Served {
    explicit Served(PanelOptions options = PumpedServer::Loopback())
        : model(Patch("lists.json")), timed(model), server(timed, options) {
        before = Values(server.Port());
    }
    ~Served() {
        EXPECT_EQ(Values(server.Port()), before) << "the patch changed";
        EXPECT_LT(timed.Longest(), kPace) << "the model's thread was held up";
    }
    int Port() const { return server.Port(); }

    kvhost::GuiPatchModel model;
    Timed timed;
    PumpedServer server;
    std::vector<std::string> before;
};

// An answer to `get` still comes, to a page that connects now.
void StillServes(int port) {
    PageClient page(port, Origin(port));
    ASSERT_FALSE(page.TakeType("layout").is_null()) << "a new page got no layout";
    page.Send({{"type", "get"}, {"module", "scale"}, {"pin", "Add"}});
    EXPECT_EQ(page.TakeType("value")["value"], "0");
}

TEST(PanelAbuse, OnlyLiteralLoopbackNamesAndTheOwnOriginGetASocket) {
    Served s;
    const std::string port = std::to_string(s.Port());
    struct Case {
        std::string host, origin;
        bool admitted;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1:" + port, "http://127.0.0.1:" + port, true},
        {"127.0.0.1:" + port, "", true},
        {"127.3.2.1:" + port, "http://127.3.2.1:" + port, true},
        {"localhost:" + port, "http://localhost:" + port, true},
        {"localhost", "", true},
        {"[::1]:" + port, "http://[::1]:" + port, true},
        {"127.evil.example:" + port, "http://127.evil.example:" + port, false},
        {"127.0.0.1.nip.io:" + port, "http://127.0.0.1.nip.io:" + port, false},
        {"localhost.evil.example:" + port, "", false},
        {"evil.example:" + port, "http://evil.example:" + port, false},
        {"2130706433:" + port, "", false},
        {"0x7f.0.0.1:" + port, "", false},
        {"127.1:" + port, "", false},
        {"[::ffff:127.0.0.1]:" + port, "", false},
        {"127.0.0.1:" + port + "x", "", false},
        {"127.0.0.1:" + port, "http://localhost:" + port, false},
        {"127.0.0.1:" + port, "http://127.0.0.1:" + port + ".evil.example", false},
        {"127.0.0.1:" + port, "null", false},
        {"::1", "", false},
    };
    for (const Case& c : cases) {
        PageClient page(s.Port(), PageClient::Options{c.host, c.origin, true, 0});
        EXPECT_EQ(page.Connected(), c.admitted) << "Host " << c.host << ", Origin " << c.origin;
        if (!page.Connected()) continue;
        EXPECT_FALSE(page.TakeType("layout").is_null()) << c.host;
    }
}

TEST(PanelAbuse, PagesThatNeverReadStallNothingAndAreClosedWithAReason) {
    PanelOptions options = PumpedServer::Loopback();
    options.max_queue = 256 * 1024;
    options.max_rate = options.max_burst = 10000.0;
    Served s(options);
    std::vector<std::unique_ptr<PageClient>> stuck;
    for (int i = 0; i < 12; ++i) {
        stuck.push_back(std::make_unique<PageClient>(
            s.Port(), PageClient::Options{"", Origin(s.Port()), false, 4096}));
        ASSERT_TRUE(stuck.back()->Connected());
    }
    // A page that reads gets every answer while the others back up: each set, answered
    // before the next, puts about 25 KB of pin values in every page's queue (little work for
    // the model's thread each, so that its pace measures waiting, not working).
    PageClient reader(s.Port(), Origin(s.Port()));
    ASSERT_FALSE(reader.TakeType("layout").is_null());
    for (int i = 0; i < 80; ++i) {
        std::string list;
        for (int k = 0; k < 2000; ++k) list += std::to_string((i + k) % 1000) + ",";
        reader.Send({{"type", "set"},
                     {"module", "scale"},
                     {"pin", "Array In"},
                     {"value", list},
                     {"id", i}});
        const json answer = reader.TakeType("value");
        ASSERT_FALSE(answer.is_null()) << "answer " << i << " did not come";
        EXPECT_EQ(answer["id"], i);
    }
    reader.Send({{"type", "set"}, {"module", "scale"}, {"pin", "Array In"}, {"value", "1,2,3"}});
    ASSERT_FALSE(reader.TakeType("value").is_null());
    // A stuck page that reads again finds the reason it was closed for.
    stuck[0]->StartReading();
    EXPECT_EQ(stuck[0]->WaitClosed(5000ms), 1008);
    EXPECT_NE(stuck[0]->CloseReason().find("fell behind"), std::string::npos)
        << stuck[0]->CloseReason();
    // The others are let go once the timeout has passed.
    for (int i = 0; i < 160 && s.server.Pages() > 1; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(s.server.Pages(), 1u);
    EXPECT_FALSE(reader.Closed());
}

TEST(PanelAbuse, ProtocolBreaksCloseThePageWithTheirCodes) {
    Served s;
    const std::string big(40000, ' ');
    struct Case {
        const char* what;
        std::function<void(PageClient&)> send;
        int code;
    };
    const std::vector<Case> cases = {
        {"unmasked frame",
         [](PageClient& p) { p.SendFrame(0x1, R"({"type":"get"})", true, false); }, 1002},
        {"continuation with no start", [](PageClient& p) { p.SendFrame(0x0, "{}"); }, 1002},
        {"binary message", [](PageClient& p) { p.SendFrame(0x2, "\x01\x02"); }, 1003},
        {"fragmented binary message",
         [](PageClient& p) {
             p.SendFrame(0x2, "\x01", false);
             p.SendFrame(0x0, "\x02", true);
         },
         1003},
        {"reserved opcode", [](PageClient& p) { p.SendFrame(0x3, ""); }, 1002},
        {"long ping", [](PageClient& p) { p.SendFrame(0x9, std::string(200, 'p')); }, 1002},
        {"text that is no UTF-8", [](PageClient& p) { p.SendFrame(0x1, "\xff\xfe{}"); }, 1007},
        {"message past the limit in fragments",
         [&](PageClient& p) {
             p.SendFrame(0x1, big, false);
             p.SendFrame(0x0, big, true);
         },
         1009},
        {"frame announcing 20 MB, no payload",
         [](PageClient& p) {
             std::string header = "\x81\xff";
             for (int s = 56; s >= 0; s -= 8)
                 header += static_cast<char>((20'000'000ull >> s) & 0xFF);
             p.SendRaw(header + "\x12\x34\x56\x78");
         },
         1009},
    };
    for (const Case& c : cases) {
        PageClient page(s.Port(), Origin(s.Port()));
        ASSERT_FALSE(page.TakeType("layout").is_null()) << c.what;
        c.send(page);
        EXPECT_EQ(page.WaitClosed(), c.code) << c.what;
    }
    // A text message in fragments, within the limit, is one message.
    PageClient page(s.Port(), Origin(s.Port()));
    ASSERT_FALSE(page.TakeType("layout").is_null());
    page.SendFrame(0x1, R"({"type": "get", "module": )", false);
    page.SendFrame(0x0, R"("scale", "pin": "Add"})", true);
    EXPECT_EQ(page.TakeType("value")["value"], "0");
    StillServes(s.Port());
}

// Sockets to the server; each connects, and sends `sent` if any.
std::vector<int> Sockets(int port, int count, const std::string& sent = "") {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "connection " << i << " failed";
            if (fd >= 0) close(fd);
            break;
        }
        if (!sent.empty()) {
            EXPECT_EQ(send(fd, sent.data(), sent.size(), MSG_NOSIGNAL), ssize_t(sent.size()));
        }
        fds.push_back(fd);
    }
    return fds;
}

// How many of `fds` the server has closed (a read finds the end), waiting up to `timeout`
// for all of them.
std::size_t ClosedByServer(const std::vector<int>& fds, std::chrono::milliseconds timeout) {
    std::vector<bool> closed(fds.size(), false);
    std::size_t count = 0;
    const auto until = Clock::now() + timeout;
    while (count < fds.size() && Clock::now() < until) {
        for (std::size_t i = 0; i < fds.size(); ++i) {
            pollfd p{fds[i], POLLIN, 0};
            char c;
            if (!closed[i] && poll(&p, 1, 0) > 0 && recv(fds[i], &c, 1, MSG_DONTWAIT) <= 0) {
                closed[i] = true;
                ++count;
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    return count;
}

TEST(PanelAbuse, IdleAndSlowConnectionsNeitherLockPagesOutNorStay) {
    AllowFiles(4096);
    PanelOptions options = PumpedServer::Loopback();
    options.timeout_ms = 1000;
    Served s(options);
    std::vector<int> idle = Sockets(s.Port(), 1000);
    std::vector<int> slow = Sockets(s.Port(), 20, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    const Clock::time_point start = Clock::now();
    {
        PageClient page(s.Port(), Origin(s.Port()));
        ASSERT_FALSE(page.TakeType("layout").is_null());
        EXPECT_LT(Clock::now() - start, 1s) << "a new page waited behind idle connections";
    }
    for (int fd : slow) send(fd, "X", 1, MSG_NOSIGNAL);  // a header trickling in
    EXPECT_EQ(ClosedByServer(idle, 4s), idle.size()) << "idle connections stayed";
    EXPECT_EQ(ClosedByServer(slow, 1s), slow.size()) << "slow requests stayed";
    for (int fd : idle) close(fd);
    for (int fd : slow) close(fd);

    // With room for fewer, the oldest idle connections make way for a new page.
    PanelOptions few = options;
    few.max_connections = 50;
    Served t(few);
    std::vector<int> crowd = Sockets(t.Port(), 100);
    std::this_thread::sleep_for(100ms);
    {
        PageClient page(t.Port(), Origin(t.Port()));
        EXPECT_FALSE(page.TakeType("layout").is_null()) << "no room made for a page";
    }
    EXPECT_GE(ClosedByServer(crowd, 200ms), 50u);
    for (int fd : crowd) close(fd);
}

TEST(PanelAbuse, ConcurrentConnectsAdmitExactlyThePageLimit) {
    AllowFiles(4096);
    Served s;
    const std::string upgrade = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(s.Port()) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n";
    std::vector<int> fds = Sockets(s.Port(), 1000, upgrade);
    int upgraded = 0, answered = 0;
    const auto until = Clock::now() + 10s;
    std::vector<bool> done(fds.size(), false);
    while (answered < static_cast<int>(fds.size()) && Clock::now() < until) {
        for (std::size_t i = 0; i < fds.size(); ++i) {
            char head[16] = {};
            if (done[i] || recv(fds[i], head, 12, MSG_DONTWAIT | MSG_PEEK) < 12) continue;
            done[i] = true;
            ++answered;
            upgraded += std::string(head, 12) == "HTTP/1.1 101";
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(answered, 1000);
    EXPECT_EQ(upgraded, 16);
    EXPECT_EQ(s.server.Pages(), 16u);
    for (int fd : fds) close(fd);
    for (int i = 0; i < 200 && s.server.Pages() > 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(s.server.Pages(), 0u);
    StillServes(s.Port());
}

// The notes a page holds end with its connection, however it ends; a panic ends them all.
TEST(PanelAbuse, APageThatGoesLeavesNoNoteOn) {
    FakeEngine engine;
    PumpedServer server(engine);
    const auto note = [](bool on, int key) {
        return json{{"type", "note"}, {"on", on}, {"key", key}, {"velocity", on ? 90 : 0}};
    };
    std::size_t seen = 0;
    const auto since = [&] {
        for (int i = 0; i < 200 && engine.Notes().size() == seen; ++i)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(50ms);
        auto notes = engine.Notes();
        std::vector<std::array<int32_t, 3>> fresh(notes.begin() + static_cast<std::ptrdiff_t>(seen),
                                                  notes.end());
        seen = notes.size();
        return fresh;
    };
    using Notes = std::vector<std::array<int32_t, 3>>;
    {  // closes politely
        PageClient page(server.Port(), Origin(server.Port()));
        ASSERT_FALSE(page.TakeType("layout").is_null());
        for (const json& m : {note(true, 60), note(true, 64), note(false, 60), note(true, 67)})
            page.Send(m);
        EXPECT_EQ(since(), (Notes{{1, 60, 90}, {1, 64, 90}, {0, 60, 0}, {1, 67, 90}}));
    }
    EXPECT_EQ(since(), (Notes{{0, 64, 0}, {0, 67, 0}}));
    {  // drops without a close frame
        auto page = std::make_unique<PageClient>(
            server.Port(), PageClient::Options{"", Origin(server.Port()), false, 0});
        page->Send(note(true, 72));
        EXPECT_EQ(since(), (Notes{{1, 72, 90}}));
        page->SendRaw(std::string("\x88", 1));  // half a frame, then the socket goes
        page.reset();
    }
    EXPECT_EQ(since(), (Notes{{0, 72, 0}}));
    {  // a panic: nothing is held after it
        PageClient page(server.Port(), Origin(server.Port()));
        ASSERT_FALSE(page.TakeType("layout").is_null());
        page.Send(note(true, 48));
        page.Send({{"type", "panic"}});
        EXPECT_EQ(since(), (Notes{{1, 48, 90}, {-1, 0, 0}}));
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(engine.Notes().size(), seen) << "a note-off after the panic";
}

// kvhost panel itself under 16 pages sending their largest messages, 1,000 idle connections
// and a frame announcing 20 MB: its peak memory stays within the figure host/README.md gives.
long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

TEST(PanelAbuse, MemoryStaysWithinItsFigure) {
    AllowFiles(4096);
    Child panel({KVHOST_TOOL, "panel", PatchFile("lists.json"), "--panel", "0"});
    const std::string line = panel.ReadLine();
    ASSERT_EQ(line.rfind("kvhost panel: http://127.0.0.1:", 0), 0u) << line << panel.Err();
    const int port = std::stoi(line.substr(line.rfind(':') + 1));
    StillServes(port);
    const long idle_peak = PeakKiB(panel.Pid());

    {  // One frame announcing 20 MB, its payload sent after it: refused before it is read.
        PageClient page(port, Origin(port));
        ASSERT_FALSE(page.TakeType("layout").is_null());
        std::string header = "\x81\xff";
        for (int s = 56; s >= 0; s -= 8) header += static_cast<char>((20'000'000ull >> s) & 0xFF);
        page.SendRaw(header + "\x12\x34\x56\x78");
        const std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 20 && page.SendRaw(chunk); ++i) {
        }
        EXPECT_EQ(page.WaitClosed(), 1009);
    }
    EXPECT_LT(PeakKiB(panel.Pid()) - idle_peak, 4 * 1024) << "the 20 MB frame was held";

    std::vector<int> idle = Sockets(port, 1000);
    std::vector<std::unique_ptr<PageClient>> pages;
    std::string pad(65536 - 100, 'p');
    for (int i = 0; i < 16; ++i) {
        pages.push_back(std::make_unique<PageClient>(port, Origin(port)));
        ASSERT_FALSE(pages.back()->TakeType("layout").is_null());
    }
    for (int round = 0; round < 40; ++round) {
        for (auto& p : pages) {
            p->Send({{"type", "get"}, {"module", "scale"}, {"pin", "Add"}, {"pad", pad}});
        }
    }
    for (std::size_t i = 0; i < pages.size(); ++i) {
        for (int round = 0; round < 40; ++round) {
            const json v = pages[i]->TakeType("value", 10s);
            ASSERT_FALSE(v.is_null()) << "page " << i << ", answer " << round;
        }
    }
    const long peak = PeakKiB(panel.Pid());
    RecordProperty("peak_kib", std::to_string(peak));
    if (!kSanitized) {  // the figure is for the program as shipped
        EXPECT_LT(peak, 64 * 1024) << "peak " << peak << " KiB, idle " << idle_peak << " KiB";
    }
    pages.clear();
    for (int fd : idle) close(fd);
    EXPECT_EQ(panel.Stop(SIGINT), 0) << panel.Err();
}

}  // namespace
