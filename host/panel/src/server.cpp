// The panel's server on civetweb: the embedded page over HTTP, and one WebSocket per page.
// civetweb's threads only check, parse and queue what pages send; the thread that drives the
// model answers it in Pump and sends every page what changed.
#include <arpa/inet.h>
#include <civetweb.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "kvhost/panel.h"

namespace kvhost {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kFramePeriod = std::chrono::microseconds(1'000'000 / 30);
constexpr const char* kSocketPath = "/ws";
// Refusals of one page's surplus messages are told at most this often.
constexpr auto kRefusalPeriod = std::chrono::seconds(1);

const char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// A message as sent: a byte a module or a page wrote that is no UTF-8 becomes U+FFFD.
std::string Text(const json& message) {
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Volts for a page: four decimals are more than a scope or a read-out can show.
double Rounded(double v) {
    return std::isfinite(v) ? std::round(v * 1e4) / 1e4 : 0.0;
}

// "localhost", "127.0.0.1", "[::1]" (a port after them allowed): names of this machine.
bool IsLoopbackHost(std::string host) {
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        return close != std::string::npos && host.substr(1, close - 1) == "::1";
    }
    host = host.substr(0, host.find(':'));
    return host == "localhost" || host.rfind("127.", 0) == 0;
}

bool IsLoopbackAddress(const std::string& address) {
    return address.rfind("127.", 0) == 0;
}

json LayoutMessage(const PanelLayout& layout, const PanelOptions& options) {
    json modules = json::array();
    for (const PanelModule& m : layout.modules) {
        json pins = json::array();
        for (const PanelPin& p : m.pins) {
            json pin = {{"index", p.index},
                        {"name", p.name},
                        {"direction", DirectionName(p.direction)},
                        {"type", DataTypeName(p.datatype)},
                        {"flags", p.flags},
                        {"control", PinControlName(p.control)},
                        {"value", p.value}};
            if (!p.choices.empty()) {
                json choices = json::array();
                for (const auto& [label, value] : p.choices) choices.push_back({label, value});
                pin["choices"] = std::move(choices);
            }
            if (p.control == PinControl::kSlider) {
                pin["low"] = p.low;
                pin["high"] = p.high;
            }
            if (!p.note.empty()) pin["note"] = p.note;
            pins.push_back(std::move(pin));
        }
        modules.push_back(
            {{"name", m.name}, {"plugin", m.plugin}, {"about", m.about}, {"pins", pins}});
    }
    json wires = json::array();
    for (const PatchPlan::Wire& w : layout.wires) {
        wires.push_back({{"from", {w.from.module, w.from.pin}}, {"to", {w.to.module, w.to.pin}}});
    }
    return {{"type", "layout"},
            {"title", layout.title},
            {"mode", layout.mode},
            {"midi_input", layout.midi_input},
            {"sample_rate", layout.sample_rate},
            {"modules", modules},
            {"wires", wires},
            {"limits", {{"max_message", options.max_message}, {"max_rate", options.max_rate}}}};
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

}  // namespace

struct PanelServer::Impl {
    struct Page {
        uint64_t id = 0;
        mg_connection* conn = nullptr;
        bool ready = false;  // has its layout: takes changes from now on
        bool dead = false;   // a write failed: nothing more is sent
        double tokens = 0.0;
        Clock::time_point refilled;
        std::string partial;      // the fragments of a message not yet complete
        bool oversized = false;   // the message being received is past the limit
        std::size_t dropped = 0;  // messages refused for the rate since the last report
        Clock::time_point last_refusal{};
    };
    struct Inbound {
        uint64_t page;
        bool hello;  // a page connected: send it the layout
        json message;
    };

    PanelOptions options;
    mg_context* context = nullptr;
    int port = 0;
    std::string host;
    bool loopback = true;
    std::string start_error;  // what civetweb said while starting

    mutable std::mutex mutex;  // pages, inbound
    std::condition_variable arrived;
    std::map<uint64_t, std::unique_ptr<Page>> pages;
    std::deque<Inbound> inbound;
    uint64_t next_page = 1;
    Clock::time_point next_frames = Clock::now();

    // Sends to one page; call with the mutex held.
    void SendLocked(Page& page, const std::string& text) {
        if (page.dead) return;
        if (mg_websocket_write(page.conn, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size()) <=
            0) {
            page.dead = true;
        }
    }
    void Send(uint64_t id, const json& message) {
        const std::string text = Text(message);
        std::lock_guard lock(mutex);
        const auto it = pages.find(id);
        if (it != pages.end()) SendLocked(*it->second, text);
    }
    void Broadcast(const json& message) {
        const std::string text = Text(message);
        std::lock_guard lock(mutex);
        for (auto& [id, page] : pages) {
            if (page->ready) SendLocked(*page, text);
        }
    }
    static json Refusal(const std::string& why) { return {{"type", "error"}, {"message", why}}; }
    void RefuseLocked(Page& page, const std::string& why) { SendLocked(page, Text(Refusal(why))); }

    // ---- civetweb's threads ----

    static int Request(mg_connection* conn, void*) {
        const mg_request_info* info = mg_get_request_info(conn);
        const bool head = std::strcmp(info->request_method, "HEAD") == 0;
        if (!head && std::strcmp(info->request_method, "GET") != 0) {
            mg_send_http_error(conn, 405, "%s", "the panel serves its page only (GET)\n");
            return 405;
        }
        std::string path = info->local_uri != nullptr ? info->local_uri : "";
        if (path == "/") path = "/index.html";
        for (const PanelAsset& a : PanelAssets()) {
            if (path != a.path) continue;
            mg_printf(conn,
                      "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                      "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                      "Content-Security-Policy: %s\r\nConnection: close\r\n\r\n",
                      a.mime, a.size, kPolicy);
            if (!head) mg_write(conn, a.data, a.size);
            return 200;
        }
        mg_send_http_error(conn, 404, "%s", "not part of the panel\n");
        return 404;
    }

    static int Connect(const mg_connection* conn, void* data) {
        auto* self = static_cast<Impl*>(data);
        const char* host = mg_get_header(conn, "Host");
        const char* origin = mg_get_header(conn, "Origin");
        // Another site open in the same browser must not reach the patch: a page may connect
        // only from the panel's own origin, and (on loopback) by a loopback name, so a
        // rebound DNS name cannot pose as the panel either.
        if (host == nullptr || (self->loopback && !IsLoopbackHost(host))) return 1;
        if (origin != nullptr && std::string(origin) != "http://" + std::string(host)) return 1;
        std::lock_guard lock(self->mutex);
        return static_cast<int>(self->pages.size()) >= self->options.max_pages ? 1 : 0;
    }

    static void Ready(mg_connection* conn, void* data) {
        auto* self = static_cast<Impl*>(data);
        std::lock_guard lock(self->mutex);
        auto page = std::make_unique<Page>();
        page->id = self->next_page++;
        page->conn = conn;
        page->tokens = self->options.max_burst;
        page->refilled = Clock::now();
        mg_set_user_connection_data(conn, page.get());
        self->inbound.push_back({page->id, true, {}});
        self->pages.emplace(page->id, std::move(page));
        self->arrived.notify_one();
    }

    static int Data(mg_connection* conn, int bits, char* data, size_t length, void* self_data) {
        auto* self = static_cast<Impl*>(self_data);
        auto* page = static_cast<Page*>(mg_get_user_connection_data(conn));
        const int opcode = bits & 0x0F;
        const bool last = (bits & 0x80) != 0;
        if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
        if (page == nullptr || opcode > MG_WEBSOCKET_OPCODE_BINARY) return 1;  // ping, pong
        std::lock_guard lock(self->mutex);
        const std::size_t limit = self->options.max_message;
        if (opcode == MG_WEBSOCKET_OPCODE_BINARY) {
            page->partial.clear();
            page->oversized = false;
            if (last) self->RefuseLocked(*page, "binary messages are not understood");
            return 1;
        }
        if (!page->oversized) {
            if (page->partial.size() + length > limit) {
                page->oversized = true;
                page->partial.clear();
                page->partial.shrink_to_fit();
            } else {
                page->partial.append(data, length);
            }
        }
        if (!last) return 1;
        std::string text;
        text.swap(page->partial);
        if (page->oversized) {
            page->oversized = false;
            self->RefuseLocked(
                *page, "a message of more than " + std::to_string(limit) + " bytes is refused");
            return 1;
        }
        const Clock::time_point now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - page->refilled).count();
        page->refilled = now;
        page->tokens =
            std::min(self->options.max_burst, page->tokens + elapsed * self->options.max_rate);
        if (page->tokens < 1.0) {
            ++page->dropped;
            if (now - page->last_refusal >= kRefusalPeriod) {
                page->last_refusal = now;
                self->RefuseLocked(*page, "too many messages: " + std::to_string(page->dropped) +
                                              " refused (at most " +
                                              std::to_string(std::lround(self->options.max_rate)) +
                                              " a second)");
                page->dropped = 0;
            }
            return 1;
        }
        page->tokens -= 1.0;
        json message;
        try {
            message = json::parse(text);
        } catch (const json::exception& e) {
            std::string why = e.what();
            const auto tag = why.find("] ");
            if (tag != std::string::npos) why = why.substr(tag + 2);
            self->RefuseLocked(*page, "not JSON: " + why);
            return 1;
        }
        if (!message.is_object() || !message.contains("type") || !message["type"].is_string()) {
            self->RefuseLocked(*page, "a message is a JSON object with a \"type\"");
            return 1;
        }
        self->inbound.push_back({page->id, false, std::move(message)});
        self->arrived.notify_one();
        return 1;
    }

    static void Closed(const mg_connection* conn, void* data) {
        auto* self = static_cast<Impl*>(data);
        const auto* page = static_cast<const Page*>(mg_get_user_connection_data(conn));
        if (page == nullptr) return;
        std::lock_guard lock(self->mutex);
        self->pages.erase(page->id);
    }

    // The server being started on this thread: what civetweb says while starting is kept
    // for the message that names why it could not.
    static thread_local Impl* starting;
    static int Log(const mg_connection*, const char* message) {
        if (starting != nullptr && starting->start_error.empty()) starting->start_error = message;
        return 1;  // civetweb prints nothing of its own
    }

    // ---- the model's thread ----

    void Answer(PanelModel& model, uint64_t page, const json& m) {
        const std::string type = m["type"].get<std::string>();
        json reply = {{"type", "value"}};
        if (m.contains("id")) reply["id"] = m["id"];
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
                const auto on = m.find("on");
                if (on == m.end() || !on->is_boolean()) {
                    throw Error("a \"note\" message needs \"on\" as true or false");
                }
                const int32_t key = WholeField(m, "key", -1);
                if (key < 0) throw Error("a \"note\" message needs \"key\" (0 to 127)");
                model.Note(on->get<bool>(), key,
                           WholeField(m, "velocity", on->get<bool>() ? 100 : 0));
                return;
            } else if (type == "watch") {
                module = TextField(m, "module");
                pin = TextField(m, "pin");
                model.Watch(module, pin);
                return;
            } else {
                throw Error("unknown message type " + QuoteText(type) + " (set, get, note, watch)");
            }
        } catch (const std::exception& e) {
            json refusal = Refusal(e.what());
            if (m.contains("id")) refusal["id"] = m["id"];
            if (!module.empty() && !pin.empty()) {
                refusal.update({{"module", module}, {"pin", pin}});
                try {
                    refusal["value"] = model.Get(module, pin);  // for the page to put back
                } catch (const std::exception&) {
                }
            }
            Send(page, refusal);
            return;
        }
        Send(page, reply);
    }

    void Pump(PanelModel& model) {
        std::deque<Inbound> batch;
        {
            std::lock_guard lock(mutex);
            batch.swap(inbound);
        }
        for (const Inbound& in : batch) {
            if (in.hello) {
                const std::string text = Text(LayoutMessage(model.Layout(), options));
                std::lock_guard lock(mutex);
                const auto it = pages.find(in.page);
                if (it == pages.end()) continue;
                SendLocked(*it->second, text);
                it->second->ready = true;
            } else {
                Answer(model, in.page, in.message);
            }
        }
        const Clock::time_point now = Clock::now();
        const bool frames = now >= next_frames;
        if (frames) next_frames = std::max(next_frames + kFramePeriod, now);
        PanelUpdates updates;
        model.Collect(updates, frames);
        if (!updates.pins.empty()) {
            json changes = json::array();
            for (const PinChange& c : updates.pins) changes.push_back({c.module, c.pin, c.value});
            Broadcast({{"type", "pins"}, {"changes", changes}});
        }
        if (!updates.scopes.empty()) Broadcast(ScopeMessage(updates.scopes));
        if (updates.spectrum) Broadcast(SpectrumMessage(*updates.spectrum));
    }
};

thread_local PanelServer::Impl* PanelServer::Impl::starting = nullptr;

PanelServer::PanelServer(const PanelOptions& options) : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    s.options = options;
    if (options.port < 0 || options.port > 65535) {
        throw Error("port " + std::to_string(options.port) + " is not 0-65535");
    }
    // Debian's civetweb listens on IPv4 only.
    in_addr ipv4{};
    if (inet_pton(AF_INET, options.bind.c_str(), &ipv4) != 1) {
        throw Error("--panel-bind " + QuoteText(options.bind) +
                    " is not an IPv4 address (such as 127.0.0.1)");
    }
    s.loopback = IsLoopbackAddress(options.bind);
    const std::string listening = options.bind + ":" + std::to_string(options.port);
    const std::string threads = std::to_string(options.max_pages + 4);
    const char* config[] = {"listening_ports",
                            listening.c_str(),
                            "num_threads",
                            threads.c_str(),
                            "request_timeout_ms",
                            "10000",
                            "websocket_timeout_ms",
                            "5000",
                            "enable_websocket_ping_pong",
                            "yes",
                            nullptr};
    mg_init_library(0);
    mg_callbacks callbacks{};
    callbacks.log_message = &Impl::Log;
    char why[256] = "";
    mg_error_data error{};
    error.text = why;
    error.text_buffer_size = sizeof why;
    mg_init_data init{};
    init.callbacks = &callbacks;
    init.user_data = &s;
    init.configuration_options = config;
    Impl::starting = &s;
    s.context = mg_start2(&init, &error);
    Impl::starting = nullptr;
    if (s.context == nullptr) {
        mg_exit_library();
        std::string text = !s.start_error.empty() ? s.start_error : why;
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        throw Error("cannot serve the panel on " + listening + (text.empty() ? "" : ": " + text));
    }
    mg_server_port ports[4]{};
    const int n = mg_get_server_ports(s.context, 4, ports);
    s.port = n > 0 ? ports[0].port : options.port;
    s.host = options.bind + ":" + std::to_string(s.port);
    mg_set_request_handler(s.context, "/", &Impl::Request, &s);
    mg_set_websocket_handler(s.context, kSocketPath, &Impl::Connect, &Impl::Ready, &Impl::Data,
                             &Impl::Closed, &s);
}

PanelServer::~PanelServer() {
    mg_stop(impl_->context);  // closes every connection (their close handlers run) and waits
    mg_exit_library();
}

std::string PanelServer::Url() const {
    return "http://" + impl_->host + "/";
}

int PanelServer::Port() const {
    return impl_->port;
}

bool PanelServer::Loopback() const {
    return impl_->loopback;
}

void PanelServer::Pump(PanelModel& model) {
    impl_->Pump(model);
}

void PanelServer::Wait(int ms) {
    std::unique_lock lock(impl_->mutex);
    impl_->arrived.wait_for(lock, std::chrono::milliseconds(ms),
                            [&] { return !impl_->inbound.empty(); });
}

std::size_t PanelServer::Pages() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->pages.size();
}

}  // namespace kvhost
