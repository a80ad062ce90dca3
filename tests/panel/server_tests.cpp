// The panel's server over real sockets: the page and nothing else served, the WebSocket
// protocol (set, get, pin changes, scope frames, spectra, notes), refusals that change
// nothing, limits, foreign pages kept out, and `kvhost panel` started and stopped by signal.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <map>
#include <mutex>

#include "fake_engine.h"
#include "kvhost/panel.h"
#include "panel_client.h"

namespace {

using namespace kvpanel_test;
using kvhost::GuiPatchModel;
using kvhost::PanelOptions;

// The origin a page served by the panel connects from (the client's Host is 127.0.0.1:port).
std::string Origin(int port) {
    return "http://127.0.0.1:" + std::to_string(port);
}

// The value of every pin of a freshly connected page's layout.
std::vector<std::string> LayoutValues(int port) {
    PageClient page(port, Origin(port));
    const json layout = page.TakeType("layout");
    std::vector<std::string> values;
    for (const json& m : layout["modules"]) {
        for (const json& p : m["pins"]) values.push_back(p["value"].get<std::string>());
    }
    return values;
}

json Error(PageClient& page) {
    return page.TakeType("error");
}

TEST(PanelServer, ServesItsPageAndNothingElse) {
    GuiPatchModel model(Patch("lists.json"));
    PumpedServer server(model);
    const int port = server.Port();

    const HttpReply page = Get(port, "/");
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.headers.find("text/html"), std::string::npos);
    EXPECT_NE(page.headers.find("Content-Security-Policy: default-src 'none'; script-src 'self'"),
              std::string::npos);
    EXPECT_NE(page.body.find("<script type=\"module\" src=\"panel.js\""), std::string::npos);
    for (const kvhost::PanelAsset& a : kvhost::PanelAssets()) {
        const HttpReply r = Get(port, a.path);
        EXPECT_EQ(r.status, 200) << a.path;
        EXPECT_EQ(r.body, std::string(reinterpret_cast<const char*>(a.data), a.size)) << a.path;
        EXPECT_EQ(r.body.find("https://"), std::string::npos)
            << a.path << " loads from the network";
        EXPECT_EQ(r.body.find("http://"), std::string::npos) << a.path << " loads from the network";
    }
    const HttpReply head = RawHttp(port, "HEAD /panel.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());

    for (const std::string target :
         {"/../CMakeLists.txt", "/../../../../../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd",
          "/..%2f..%2f..%2fetc%2fpasswd", "//etc/passwd", "/panel.js/../../../../etc/passwd",
          "/assets/panel.js", "/ws", "/index.html%00.txt", "/.git/config", "/panel.css/"}) {
        const HttpReply r = Get(port, target);
        bool asset = false;  // a path that comes down to one of the page's files may get it
        for (const kvhost::PanelAsset& a : kvhost::PanelAssets()) {
            asset |= r.body == std::string(reinterpret_cast<const char*>(a.data), a.size);
        }
        EXPECT_TRUE(r.status != 200 || asset) << target;
        EXPECT_EQ(r.body.find("root:"), std::string::npos) << target;
        EXPECT_EQ(r.body.find("cmake_minimum_required"), std::string::npos) << target;
    }
    EXPECT_EQ(
        RawHttp(port, "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n").status,
        405);
}

TEST(PanelServer, SetGetAndPinChangesRoundTrip) {
    GuiPatchModel model(Patch("lists.json"));
    PumpedServer server(model);
    PageClient page(server.Port(), Origin(server.Port()));
    ASSERT_TRUE(page.Connected());
    const json layout = page.TakeType("layout");
    ASSERT_FALSE(layout.is_null());
    EXPECT_EQ(layout["modules"][0]["name"], "csv");
    EXPECT_EQ(layout["modules"][0]["pins"][0]["control"], "text");
    EXPECT_EQ(layout["modules"][0]["pins"][33]["choices"][1], json::array({"Float --> Text", 1}));
    EXPECT_EQ(layout["modules"][1]["pins"][3]["value"], "1.000000,2.000000,3.000000");

    page.Send({{"type", "set"}, {"module", "csv"}, {"pin", "#0"}, {"value", "1,2,3"}, {"id", 7}});
    const json reply = page.TakeType("value");
    EXPECT_EQ(reply["id"], 7);
    EXPECT_EQ(reply["value"], "1,2,3");
    std::map<int, std::string> fields;
    while (fields.size() < 4) {
        const json pins = page.TakeType("pins");
        ASSERT_FALSE(pins.is_null()) << "pin changes did not come";
        for (const json& c : pins["changes"]) {
            if (c[0] == 0) fields[c[1].get<int>()] = c[2].get<std::string>();
        }
    }
    EXPECT_EQ(fields[1], "1");
    EXPECT_EQ(fields[2], "2");
    EXPECT_EQ(fields[3], "3");

    page.Send({{"type", "set"}, {"module", "scale"}, {"pin", "Multiply by"}, {"value", 2.5}});
    EXPECT_EQ(page.TakeType("value")["value"], "2.5") << "a number is taken as its text";
    page.Send({{"type", "get"}, {"module", "scale"}, {"pin", "Array Out"}, {"id", "a"}});
    const json got = page.Take([](const json& m) { return m.value("id", json()) == "a"; });
    EXPECT_EQ(got["value"], "2.500000,5.000000,7.500000");
}

TEST(PanelServer, SeveralPagesStayInStep) {
    GuiPatchModel model(Patch("lists.json"));
    PumpedServer server(model);
    PageClient a(server.Port(), Origin(server.Port()));
    PageClient b(server.Port(), Origin(server.Port()));
    ASSERT_FALSE(a.TakeType("layout").is_null());
    ASSERT_FALSE(b.TakeType("layout").is_null());
    a.Send({{"type", "set"}, {"module", "scale"}, {"pin", "#1"}, {"value", "2"}});
    const json seen = b.Take([](const json& m) {
        if (m.value("type", "") != "pins") return false;
        for (const json& c : m["changes"]) {
            if (c[0] == 1 && c[1] == 3) return true;
        }
        return false;
    });
    ASSERT_FALSE(seen.is_null()) << "the other page never saw Array Out change";
    for (const json& c : seen["changes"]) {
        if (c[0] == 1 && c[1] == 3) {
            EXPECT_EQ(c[2], "2.000000,4.000000,6.000000");
        }
    }
    EXPECT_TRUE(b.TakeType("value", 300ms).is_null()) << "replies go to the asking page only";
}

TEST(PanelServer, BadMessagesAreRefusedAndLeaveThePatchAsItWas) {
    GuiPatchModel model(Patch("lists.json"));
    PumpedServer server(model);
    const int port = server.Port();
    const std::vector<std::string> before = LayoutValues(port);
    PageClient page(port, Origin(port));
    ASSERT_FALSE(page.TakeType("layout").is_null());

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\"type\": \"set\", \"module\": ", "not JSON"},
        {"[1, 2, 3]", "a JSON object with a \"type\""},
        {"{\"type\": \"set\", \"module\": \"csv\"}", "needs \"pin\" as a text"},
        {"{\"type\": \"set\", \"module\": \"csv\", \"pin\": \"Nope\", \"value\": \"1\"}",
         "has no pin \"Nope\""},
        {"{\"type\": \"set\", \"module\": \"synth\", \"pin\": \"#0\", \"value\": \"1\"}",
         "no module \"synth\""},
        {"{\"type\": \"set\", \"module\": \"scale\", \"pin\": \"Add\", \"value\": {\"v\": 1}}",
         "\"value\" as a text or a number"},
        {"{\"type\": \"set\", \"module\": \"scale\", \"pin\": \"Add\", \"value\": true}",
         "\"value\" as a text or a number"},
        {"{\"type\": \"set\", \"module\": \"csv\", \"pin\": \"Mode\", \"value\": \"Both\"}",
         "is not one of"},
        {"{\"type\": \"note\", \"on\": true, \"key\": 300}", "from 0 to 127"},
        {"{\"type\": \"launch\"}", "unknown message type \"launch\""},
    };
    for (const auto& [text, why] : cases) {
        page.SendText(text);
        const json refusal = Error(page);
        ASSERT_FALSE(refusal.is_null()) << "no refusal for " << text.substr(0, 80);
        EXPECT_NE(refusal["message"].get<std::string>().find(why), std::string::npos)
            << refusal["message"] << " for " << text.substr(0, 80);
    }
    // A refused value comes back with the pin's value, for the page to put back.
    page.Send({{"type", "set"},
               {"module", "scale"},
               {"pin", "Multiply by"},
               {"value", "abc"},
               {"id", 3}});
    const json refusal = Error(page);
    EXPECT_EQ(refusal["id"], 3);
    EXPECT_EQ(refusal["value"], "1");
    EXPECT_NE(refusal["message"].get<std::string>().find("\"abc\" is not a number"),
              std::string::npos);

    EXPECT_EQ(LayoutValues(port), before);
    page.Send({{"type", "get"}, {"module", "csv"}, {"pin", "Mode"}});
    EXPECT_EQ(page.TakeType("value")["value"], "0") << "the connection still serves";
    EXPECT_FALSE(page.Closed());
}

TEST(PanelServer, MessagesBeyondTheRateAreRefused) {
    GuiPatchModel model(Patch("lists.json"));
    PanelOptions options = PumpedServer::Loopback();
    options.max_rate = 20.0;
    options.max_burst = 10.0;
    PumpedServer server(model, options);
    PageClient page(server.Port(), Origin(server.Port()));
    ASSERT_FALSE(page.TakeType("layout").is_null());
    for (int i = 0; i < 100; ++i) {
        page.Send({{"type", "set"}, {"module", "csv"}, {"pin", "#1"}, {"value", i}, {"id", i}});
    }
    const json refusal = Error(page);
    ASSERT_FALSE(refusal.is_null());
    EXPECT_NE(refusal["message"].get<std::string>().find("too many messages"), std::string::npos);
    std::this_thread::sleep_for(300ms);
    int answered = 0;
    for (const json& m : page.Drain()) answered += m.value("type", "") == "value";
    EXPECT_GE(answered, 10);
    EXPECT_LT(answered, 100);
    page.Send({{"type", "get"}, {"module", "csv"}, {"pin", "#1"}});
    EXPECT_FALSE(page.TakeType("value").is_null()) << "served again once the rate allows";
}

TEST(PanelServer, PagesFromOtherSitesAreKeptOut) {
    GuiPatchModel model(Patch("lists.json"));
    PumpedServer server(model);
    const int port = server.Port();
    {
        PageClient foreign(port, "http://elsewhere.example");
        EXPECT_TRUE(!foreign.Connected() || foreign.TakeType("layout", 500ms).is_null());
    }
    const std::string upgrade =
        "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    EXPECT_NE(RawHttp(port, upgrade + "Host: rebound.example:" + std::to_string(port) + "\r\n\r\n")
                  .status,
              101)
        << "a rebound name reached the patch";
    const std::string host = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(
        RawHttp(port, upgrade + "Host: " + host + "\r\nOrigin: http://" + host + "\r\n\r\n").status,
        101);
    EXPECT_NE(
        RawHttp(port, upgrade + "Host: " + host + "\r\nOrigin: http://" + host + ".evil\r\n\r\n")
            .status,
        101);
    PageClient own(port, Origin(port));
    EXPECT_FALSE(own.TakeType("layout").is_null());
}

TEST(PanelServer, ScopeFramesSpectraAndNotesReachTheirEnds) {
    FakeEngine engine;
    PumpedServer server(engine);
    PageClient page(server.Port(), Origin(server.Port()));
    const json layout = page.TakeType("layout");
    ASSERT_FALSE(layout.is_null());
    EXPECT_TRUE(layout["midi_input"].get<bool>());
    EXPECT_EQ(layout["modules"][0]["pins"][1]["control"], "scope");

    int frames = 0;
    float top = 0.0f;
    while (frames < 10) {
        const json scope = page.TakeType("scope");
        ASSERT_FALSE(scope.is_null()) << "scope frames stopped after " << frames;
        const json& f = scope["frames"][0];
        EXPECT_EQ(f["pin"], 1);
        EXPECT_EQ(f["rate"], 48000.0);
        for (const json& v : f["volts"]) top = std::max(top, v.get<float>());
        ++frames;
    }
    EXPECT_NEAR(top, 5.0, 0.2);

    page.Send({{"type", "note"}, {"on", true}, {"key", 81}, {"velocity", 90}});
    page.Send({{"type", "watch"}, {"module", "osc"}, {"pin", "#1"}});
    const json spectrum = page.Take(
        [](const json& m) {
            return m.value("type", "") == "spectrum" &&
                   std::fabs(m["fundamental_hz"].get<double>() - 880.0) < 5.0;
        },
        5000ms);
    ASSERT_FALSE(spectrum.is_null()) << "no spectrum marked the played note's 880 Hz";
    EXPECT_EQ(spectrum["hz"].size(), kvhost::SignalWindow::kSpectrumBands);
    page.Send({{"type", "note"}, {"on", false}, {"key", 81}});
    page.Send({{"type", "watch"}, {"module", "osc"}, {"pin", "Hz"}});
    EXPECT_NE(Error(page)["message"].get<std::string>().find("not a sample output"),
              std::string::npos);
    const auto notes = engine.Notes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0], (std::array<int32_t, 3>{1, 81, 90}));
    EXPECT_EQ(notes[1], (std::array<int32_t, 3>{0, 81, 0}));
}

TEST(PanelServer, StartFailuresNameTheAddress) {
    GuiPatchModel model(Patch("lists.json"));
    kvhost::PanelServer first(PumpedServer::Loopback());
    PanelOptions taken = PumpedServer::Loopback();
    taken.port = first.Port();
    try {
        kvhost::PanelServer second(taken);
        FAIL() << "two servers on one port";
    } catch (const kvhost::Error& e) {
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(first.Port())),
                  std::string::npos)
            << e.what();
    }
    PanelOptions nonsense = PumpedServer::Loopback();
    nonsense.bind = "not an address";
    EXPECT_THROW(kvhost::PanelServer bad(nonsense), kvhost::Error);
}

TEST(PanelCommand, ServesUntilInterruptedAndEndsCleanly) {
    for (const int sig : {SIGINT, SIGTERM}) {
        Child panel({KVHOST_TOOL, "panel", PatchFile("lists.json"), "--panel", "0"});
        const std::string line = panel.ReadLine();
        ASSERT_EQ(line.rfind("kvhost panel: http://127.0.0.1:", 0), 0u) << line << panel.Err();
        const int port = std::stoi(line.substr(line.rfind(':') + 1));
        EXPECT_EQ(Get(port, "/").status, 200);
        PageClient page(port, Origin(port));
        ASSERT_FALSE(page.TakeType("layout").is_null());
        page.Send({{"type", "set"}, {"module", "csv"}, {"pin", "OUTPUT"}, {"value", "4,5"}});
        EXPECT_EQ(page.TakeType("value")["value"], "4,5");
        EXPECT_EQ(panel.Stop(sig), 0) << panel.Err();
        EXPECT_EQ(panel.ReadLine(), "kvhost panel: stopped");
        for (int i = 0; i < 100 && !page.Closed(); ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(page.Closed());
    }
}

TEST(PanelCommand, FailuresHaveTheirExitCodes) {
    kvhost::PanelServer holder(PumpedServer::Loopback());
    const std::string port = std::to_string(holder.Port());
    Child taken({KVHOST_TOOL, "panel", PatchFile("lists.json"), "--panel", port});
    EXPECT_EQ(taken.Wait(), 2);
    EXPECT_NE(taken.Err().find("127.0.0.1:" + port), std::string::npos) << taken.Err();

    Child no_gui({KVHOST_TOOL, "panel", PatchFile("no_gui.json"), "--panel", "0"});
    EXPECT_EQ(no_gui.Wait(), 3);
    EXPECT_NE(no_gui.Err().find("has no GUI side"), std::string::npos) << no_gui.Err();

    Child missing({KVHOST_TOOL, "panel", PatchFile("missing.json"), "--panel", "0"});
    EXPECT_EQ(missing.Wait(), 4);

    Child bad_port({KVHOST_TOOL, "panel", PatchFile("lists.json"), "--panel", "70000"});
    EXPECT_EQ(bad_port.Wait(), 2);

    Child six({KVHOST_TOOL, "panel", PatchFile("lists.json"), "--panel-bind", "::1"});
    EXPECT_EQ(six.Wait(), 2);
    EXPECT_NE(six.Err().find("\"::1\" is not an IPv4 address"), std::string::npos) << six.Err();
}

}  // namespace
