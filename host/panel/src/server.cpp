// The panel's server, the side of the thread that drives the model: it answers what pages
// sent, in order, and queues what changed for every page. The network side (net.cpp) owns the
// sockets; this side never waits on one.
#include <chrono>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "kvhost/panel.h"
#include "kvhost/panel_layout.h"
#include "kvhost/patch_edit.h"
#include "net.h"

namespace kvhost {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using panel_net::Inbound;
using panel_net::PageLink;

namespace {

constexpr auto kFramePeriod = std::chrono::microseconds(1'000'000 / 30);
// One turn answers pages for at most this long; what is left waits for the next turn, so the
// thread that drives the model keeps its pace under a burst from every page.
constexpr auto kTurnBudget = std::chrono::milliseconds(20);

// A message as sent: a byte a module or a page wrote that is no UTF-8 becomes U+FFFD.
panel_net::Message Text(const json& message) {
    return std::make_shared<const std::string>(
        message.dump(-1, ' ', false, json::error_handler_t::replace));
}

// Volts for a page: four decimals are more than a scope or a read-out can show.
double Rounded(double v) {
    return std::isfinite(v) ? std::round(v * 1e4) / 1e4 : 0.0;
}

json LayoutMessage(const PanelLayout& layout, const PanelOptions& options) {
    json message = PanelLayoutMessage(layout);
    message["limits"] = {{"max_message", options.max_message}, {"max_rate", options.max_rate}};
    return message;
}

json MapsMessage(const PanelMaps& maps) {
    json list = json::array();
    for (const PanelMapping& m : maps.mappings) {
        list.push_back({{"cc", m.cc},
                        {"channel", m.channel},
                        {"module", m.module},
                        {"pin", m.pin},
                        {"min", m.low},
                        {"max", m.high}});
    }
    json learning = nullptr;
    if (maps.learn_module >= 0) learning = {maps.learn_module, maps.learn_pin};
    return {{"type", "maps"}, {"mappings", list}, {"learning", learning}};
}

// The layout, and for an editing model its structure under "edit".
json LayoutFor(PanelModel& model, const PanelLayout& layout, const PanelOptions& options) {
    json message = LayoutMessage(layout, options);
    if (PanelEditing* editing = model.Editing())
        message["edit"] = json::parse(editing->Structure());
    return message;
}

json ScopeMessage(const std::vector<ScopeFrame>& frames) {
    json list = json::array();
    for (const ScopeFrame& f : frames) {
        json volts = json::array();
        for (float v : f.volts) volts.push_back(Rounded(v));
        list.push_back({{"module", f.module},
                        {"pin", f.pin},
                        {"rate", f.sample_rate},
                        {"step", f.step},
                        {"volts", volts}});
    }
    return {{"type", "scope"}, {"frames", list}};
}

json SpectrumMessage(const SpectrumFrame& f) {
    json hz = json::array(), db = json::array();
    for (float v : f.hz) hz.push_back(std::round(v * 10.0) / 10.0);
    for (float v : f.level_db) db.push_back(std::round(v * 10.0) / 10.0);
    return {{"type", "spectrum"}, {"module", f.module},
            {"pin", f.pin},       {"rate", f.sample_rate},
            {"bin_hz", f.bin_hz}, {"fundamental_hz", f.fundamental_hz},
            {"hz", hz},           {"db", db}};
}

// A message field that must be a text.
std::string TextField(const json& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end() || !it->is_string()) {
        throw Error(std::string("a \"") + m["type"].get<std::string>() + "\" message needs \"" +
                    key + "\" as a text");
    }
    return it->get<std::string>();
}

int32_t WholeField(const json& m, const char* key, int32_t fallback) {
    const auto it = m.find(key);
    if (it == m.end()) return fallback;
    if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > 127) {
        throw Error(std::string("\"") + key + "\" must be a whole number from 0 to 127");
    }
    return static_cast<int32_t>(it->get<int64_t>());
}

// A request's "id" goes back in its answer when it is a plain value (a number or a text).
void EchoId(const json& request, json& answer) {
    const auto id = request.find("id");
    if (id != request.end() && id->is_primitive()) answer["id"] = *id;
}

}  // namespace

struct PanelServer::Impl {
    // A page as the model's thread sees it.
    struct Page {
        std::shared_ptr<PageLink> link;
        bool ready = false;      // has its layout
        std::set<int32_t> held;  // keys its `note` messages hold down
    };

    explicit Impl(const PanelOptions& o) : options(o), network(o, hub) {}

    PanelOptions options;
    panel_net::Hub hub;
    panel_net::Network network;  // after the hub: stopped before it goes
    std::map<uint64_t, Page> pages;
    std::deque<Inbound> waiting;  // taken from the hub, not yet answered
    Clock::time_point next_frames = Clock::now();
    uint64_t sent_layout = 0, sent_structure = 0;  // an editing model's revisions pages have

    void Send(uint64_t id, const json& message) {
        const auto it = pages.find(id);
        if (it != pages.end()) it->second.link->Push(PageLink::Kind::kState, Text(message));
    }
    void Broadcast(PageLink::Kind kind, const json& message) {
        const panel_net::Message text = Text(message);  // one copy, shared by every page
        for (auto& [id, page] : pages) {
            if (page.ready) page.link->Push(kind, text);
        }
    }

    // A page that closed or dropped keeps no note on: the keys it held are let go.
    static void Release(PanelModel& model, Page& page) {
        for (const int32_t key : page.held) {
            try {
                model.Note(false, key, 0);
            } catch (const std::exception&) {
                // a model that takes no notes held none
            }
        }
        page.held.clear();
    }

    void Note(PanelModel& model, Page& page, const json& m) {
        const auto on = m.find("on");
        if (on == m.end() || !on->is_boolean()) {
            throw Error("a \"note\" message needs \"on\" as true or false");
        }
        const int32_t key = WholeField(m, "key", -1);
        if (key < 0) throw Error("a \"note\" message needs \"key\" (0 to 127)");
        const bool down = on->get<bool>();
        model.Note(down, key, WholeField(m, "velocity", down ? 100 : 0));
        if (down) {
            page.held.insert(key);
        } else {
            page.held.erase(key);
        }
    }

    // An edit of the patch: a refusal goes back to the page that sent it, naming the module or
    // pin it concerns; what an accepted edit changed reaches every page at the end of the turn.
    void Edit(PanelModel& model, uint64_t id, const json& m) {
        PanelEditing* editing = model.Editing();
        if (editing == nullptr) {
            throw Error("this panel does not edit its patch (kvhost panel PATCH --edit does)");
        }
        try {
            editing->Edit(m.dump());
        } catch (const EditRefused& e) {
            json refusal = {{"type", "refused"}, {"subject", e.subject}, {"reason", e.what()}};
            EchoId(m, refusal);
            Send(id, refusal);
        }
    }

    // After edits: every page gets the new layout when modules, pins or wires changed, else
    // the new structure alone.
    void SendEdits(PanelModel& model) {
        PanelEditing* editing = model.Editing();
        if (editing == nullptr) return;
        if (editing->LayoutRevision() != sent_layout) {
            Broadcast(PageLink::Kind::kState, LayoutFor(model, model.Layout(), options));
        } else if (editing->StructureRevision() != sent_structure) {
            Broadcast(PageLink::Kind::kState,
                      {{"type", "structure"}, {"edit", json::parse(editing->Structure())}});
        }
        sent_layout = editing->LayoutRevision();
        sent_structure = editing->StructureRevision();
    }

    void Answer(PanelModel& model, uint64_t id, Page& page, const json& m) {
        const std::string type = m["type"].get<std::string>();
        json reply = {{"type", "value"}};
        EchoId(m, reply);
        std::string module, pin;
        try {
            if (type == "set") {
                module = TextField(m, "module");
                pin = TextField(m, "pin");
                const auto value = m.find("value");
                std::string text;
                if (value != m.end() && value->is_string()) {
                    text = value->get<std::string>();
                } else if (value != m.end() && value->is_number()) {
                    text = value->dump();
                } else {
                    throw Error("a \"set\" message needs \"value\" as a text or a number");
                }
                model.Set(module, pin, text);
                reply.update({{"module", module}, {"pin", pin}, {"value", model.Get(module, pin)}});
            } else if (type == "get") {
                module = TextField(m, "module");
                pin = TextField(m, "pin");
                reply.update({{"module", module}, {"pin", pin}, {"value", model.Get(module, pin)}});
            } else if (type == "note") {
                Note(model, page, m);
                return;
            } else if (type == "panic") {
                model.Panic();
                for (auto& [other, p] : pages) p.held.clear();  // every note is off now
                return;
            } else if (type == "learn") {
                module = TextField(m, "module");
                pin = TextField(m, "pin");
                model.Learn(module, pin);
                return;
            } else if (type == "controller") {
                const int32_t cc = WholeField(m, "cc", -1), value = WholeField(m, "value", -1);
                const int32_t channel = WholeField(m, "channel", 1);
                if (cc < 0 || value < 0 || channel < 1 || channel > 16) {
                    throw Error(
                        "a \"controller\" message needs \"cc\" and \"value\" (0 to 127) "
                        "and a \"channel\" 1 to 16");
                }
                model.Controller(channel, cc, value);
                return;
            } else if (type == "forget") {
                model.Forget();
                return;
            } else if (type == "unmap") {
                const int32_t cc = WholeField(m, "cc", -1);
                if (cc < 0) throw Error("an \"unmap\" message needs \"cc\" (0 to 127)");
                model.Unmap(cc, TextField(m, "module"), TextField(m, "pin"));
            } else if (type == "edit") {
                Edit(model, id, m);
                return;
            } else if (type == "watch") {
                module = TextField(m, "module");
                pin = TextField(m, "pin");
                model.Watch(module, pin);
                return;
            } else {
                throw Error(
                    "unknown message type " + QuoteText(type) +
                    " (set, get, note, panic, watch, learn, forget, unmap, controller, edit)");
            }
        } catch (const std::exception& e) {
            json refusal = {{"type", "error"}, {"message", e.what()}};
            EchoId(m, refusal);
            if (!module.empty() && !pin.empty()) {
                refusal.update({{"module", module}, {"pin", pin}});
                try {
                    refusal["value"] = model.Get(module, pin);  // for the page to put back
                } catch (const std::exception&) {
                }
            }
            Send(id, refusal);
            return;
        }
        Send(id, reply);
    }

    void Handle(PanelModel& model, Inbound& in) {
        switch (in.kind) {
            case Inbound::Kind::kHello: {
                Page& page = pages[in.page];
                page.link = std::move(in.link);
                if (PanelEditing* editing = model.Editing()) {
                    SendEdits(model);  // pages already open catch up first
                    page.link->Push(PageLink::Kind::kState,
                                    Text({{"type", "catalog"},
                                          {"deliverables", json::parse(editing->Catalog())}}));
                }
                const PanelLayout layout = model.Layout();
                page.link->Push(PageLink::Kind::kState, Text(LayoutFor(model, layout, options)));
                if (layout.learn)
                    page.link->Push(PageLink::Kind::kState, Text(MapsMessage(model.Maps())));
                page.ready = true;
                break;
            }
            case Inbound::Kind::kMessage: {
                const auto it = pages.find(in.page);
                if (it == pages.end()) break;
                Answer(model, in.page, it->second, in.message);
                it->second.link->Answered(in.bytes);
                break;
            }
            case Inbound::Kind::kBye: {
                const auto it = pages.find(in.page);
                if (it == pages.end()) break;
                Release(model, it->second);
                pages.erase(it);
                break;
            }
        }
    }

    void Pump(PanelModel& model) {
        for (Inbound& in : hub.Take()) waiting.push_back(std::move(in));
        const Clock::time_point until = Clock::now() + kTurnBudget;
        while (!waiting.empty() && Clock::now() < until) {
            Inbound in = std::move(waiting.front());
            waiting.pop_front();
            Handle(model, in);
        }
        SendEdits(model);
        const Clock::time_point now = Clock::now();
        const bool frames = now >= next_frames;
        if (frames) next_frames = std::max(next_frames + kFramePeriod, now);
        PanelUpdates updates;
        model.Collect(updates, frames);
        if (!updates.pins.empty()) {
            json changes = json::array();
            for (const PinChange& c : updates.pins) changes.push_back({c.module, c.pin, c.value});
            Broadcast(PageLink::Kind::kState, {{"type", "pins"}, {"changes", changes}});
        }
        if (updates.maps) Broadcast(PageLink::Kind::kState, MapsMessage(*updates.maps));
        if (!updates.scopes.empty()) {
            Broadcast(PageLink::Kind::kScope, ScopeMessage(updates.scopes));
        }
        if (updates.spectrum) {
            Broadcast(PageLink::Kind::kSpectrum, SpectrumMessage(*updates.spectrum));
        }
    }
};

PanelServer::PanelServer(const PanelOptions& options) {
    if (options.port < 0 || options.port > 65535) {
        throw Error("port " + std::to_string(options.port) + " is not 0-65535");
    }
    impl_ = std::make_unique<Impl>(options);
}

PanelServer::~PanelServer() = default;  // the network first: every page told, then closed

std::string PanelServer::Url() const {
    return "http://" + impl_->options.bind + ":" + std::to_string(Port()) + "/";
}

int PanelServer::Port() const {
    return impl_->network.Port();
}

bool PanelServer::Loopback() const {
    return panel_net::IsLoopbackHost(impl_->options.bind);
}

void PanelServer::Pump(PanelModel& model) {
    impl_->Pump(model);
}

void PanelServer::Wait(int ms) {
    if (impl_->waiting.empty()) impl_->hub.Wait(ms);
}

std::size_t PanelServer::Pages() const {
    return static_cast<std::size_t>(impl_->hub.pages.load());
}

}  // namespace kvhost
