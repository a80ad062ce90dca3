// The panel's network side on Boost.Beast over Asio: one thread runs every connection as
// events. HTTP connections get the embedded page; /ws becomes a page's WebSocket once its
// Host, Origin and the page count allow. What a page sends is checked (size before the
// payload is read, rate, JSON) and handed to the Hub; what goes out comes from its PageLink.
#include "net.h"

#include <arpa/inet.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <list>
#include <optional>

namespace kvhost::panel_net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// ---- PageLink and Hub ------------------------------------------------------------------

void PageLink::WakeLocked(std::unique_lock<std::mutex>& lock) {
    if (woken_ || gone_) return;
    woken_ = true;
    lock.unlock();
    wake_();
}

void PageLink::Push(Kind kind, Message text) {
    std::unique_lock lock(mutex_);
    if (gone_ || overflowed_) return;
    if (kind == Kind::kScope) {
        scope_ = std::move(text);
    } else if (kind == Kind::kSpectrum) {
        spectrum_ = std::move(text);
    } else if (bytes_ + text->size() > limit_) {
        overflowed_ = true;
        state_.clear();
        scope_.reset();
        spectrum_.reset();
    } else {
        bytes_ += text->size();
        state_.push_back(std::move(text));
    }
    WakeLocked(lock);
}

void PageLink::Answered(std::size_t bytes) {
    std::unique_lock lock(mutex_);
    unanswered_ -= std::min(unanswered_, bytes);
    WakeLocked(lock);
}

Message PageLink::Next() {
    std::lock_guard lock(mutex_);
    Message next;
    if (overflowed_) return next;
    if (!state_.empty()) {
        next = std::move(state_.front());
        state_.pop_front();
        bytes_ -= next->size();
    } else if (scope_) {
        next = std::move(scope_);
    } else if (spectrum_) {
        next = std::move(spectrum_);
    }
    return next;
}

bool PageLink::Overflowed() {
    std::lock_guard lock(mutex_);
    return overflowed_;
}

void PageLink::Received(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    unanswered_ += bytes;
}

bool PageLink::Readable(std::size_t allowance) {
    std::lock_guard lock(mutex_);
    return unanswered_ < allowance;
}

void PageLink::Woken() {
    std::lock_guard lock(mutex_);
    woken_ = false;
}

void PageLink::Gone() {
    std::lock_guard lock(mutex_);
    gone_ = true;
    state_.clear();
    scope_.reset();
    spectrum_.reset();
}

void Hub::Put(Inbound in) {
    {
        std::lock_guard lock(mutex_);
        inbound_.push_back(std::move(in));
    }
    arrived_.notify_one();
}

std::deque<Inbound> Hub::Take() {
    std::deque<Inbound> taken;
    std::lock_guard lock(mutex_);
    taken.swap(inbound_);
    return taken;
}

void Hub::Wait(int ms) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !inbound_.empty(); });
}

bool IsLoopbackHost(const std::string& host) {
    if (host.empty()) return false;
    std::string name = host, port;
    if (!name.empty() && name.front() == '[') {
        const auto close = name.find(']');
        if (close == std::string::npos) return false;
        port = name.substr(close + 1);
        name = name.substr(1, close - 1);
    } else if (const auto colon = name.find(':'); colon != std::string::npos) {
        port = name.substr(colon);
        name = name.substr(0, colon);
    }
    if (!port.empty()) {
        if (port.size() < 2 || port.size() > 6 || port.front() != ':') return false;
        for (std::size_t i = 1; i < port.size(); ++i) {
            if (port[i] < '0' || port[i] > '9') return false;
        }
    }
    if (name == "localhost") return true;
    in_addr v4{};
    if (host.front() != '[' && inet_pton(AF_INET, name.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return host.front() == '[' && inet_pton(AF_INET6, name.c_str(), &v6) == 1 &&
           IN6_IS_ADDR_LOOPBACK(&v6);
}

// ---- The connections -------------------------------------------------------------------

namespace {

constexpr const char* kSocketPath = "/ws";
constexpr std::size_t kHeaderLimit = 8192;  // bytes of one request's headers
constexpr std::size_t kBodyLimit = 1024;    // bytes of a request's body (the panel takes none)
constexpr auto kAcceptRetry = std::chrono::milliseconds(50);
// What the kernel holds for a page beyond its queue: a page that falls this far behind has
// its queue fill, and is closed, instead of hiding megabytes in the socket.
constexpr int kPageSendBuffer = 256 * 1024;
// Stopping, pages get this long to answer the close frame.
constexpr auto kStopWait = std::chrono::milliseconds(500);
// Refusals of one page's surplus messages are told at most this often.
constexpr auto kRefusalPeriod = std::chrono::seconds(1);

const char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

Message Refusal(const std::string& why) {
    return std::make_shared<const std::string>(json{{"type", "error"}, {"message", why}}.dump(
        -1, ' ', false, json::error_handler_t::replace));
}

class HttpSession;
class PageSession;

}  // namespace

struct Network::Impl : std::enable_shared_from_this<Network::Impl> {
    Impl(const PanelOptions& o, Hub& h) : options(o), hub(h), acceptor(io), retry(io) {}

    PanelOptions options;
    Hub& hub;
    bool loopback = true;
    int port = 0;
    asio::io_context io{1};
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    std::thread thread;
    bool stopping = false;
    uint64_t next_page = 1;
    // Connections not (yet) pages, oldest first: the first to go when there are too many.
    std::list<std::weak_ptr<HttpSession>> waiting;
    std::list<std::weak_ptr<PageSession>> pages;
    std::size_t connections = 0;

    void Accept();
    void Admit(tcp::socket socket);
    bool EvictOldest();
    void Stop();
    std::chrono::milliseconds Timeout() const {
        return std::chrono::milliseconds(options.timeout_ms);
    }
};

namespace {

// A page's WebSocket: reads one message at a time (within the page's allowance), writes
// what its PageLink holds one message at a time, and ends by telling the Hub.
class PageSession : public std::enable_shared_from_this<PageSession> {
  public:
    PageSession(std::shared_ptr<Network::Impl> net, beast::tcp_stream stream)
        : net_(std::move(net)), ws_(std::move(stream)), closer_(net_->io) {}

    ~PageSession() {
        if (link_) {
            link_->Gone();
            net_->hub.Put({Inbound::Kind::kBye, id_, nullptr, {}, 0});
        }
        --net_->hub.pages;
        --net_->connections;
        net_->pages.erase(at_);
    }

    void Start(http::request<http::string_body> request) {
        at_ = net_->pages.insert(net_->pages.end(), weak_from_this());
        beast::get_lowest_layer(ws_).expires_never();  // the WebSocket's own timeouts from here
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = net_->Timeout();
        timeout.idle_timeout = net_->Timeout() * 3;  // pinged halfway; browsers answer
        timeout.keep_alive_pings = true;
        ws_.set_option(timeout);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& r) { r.set(http::field::server, "kvhost panel"); }));
        ws_.read_message_max(net_->options.max_message);
        ws_.text(true);
        tokens_ = net_->options.max_burst;
        refilled_ = Clock::now();
        ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
            if (!ec) self->Opened();
        });
    }

    // The panel stops, or the page broke a rule: a close frame with the reason, and the
    // socket closed after `within` whatever the page does.
    void CloseWith(websocket::close_code code, const std::string& reason,
                   std::chrono::milliseconds within) {
        if (closing_) return;
        closing_ = true;
        close_reason_ = websocket::close_reason(code, reason);
        closer_.expires_after(within);
        closer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) self->Abort();
        });
        if (!writing_) SendClose();
    }

    // Ends the connection now: pending reads and writes complete with an error, and the
    // session goes once they have.
    void Abort() {
        const auto keep = std::move(held_);  // lets it go once the socket is closed
        closer_.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    void Resume() {
        if (!link_) return;
        link_->Woken();
        WriteNext();
        if (!reading_) Read();
    }

  private:
    void Opened() {
        id_ = net_->next_page++;
        std::weak_ptr<PageSession> weak = weak_from_this();
        auto net = net_;
        link_ = std::make_shared<PageLink>(net_->options.max_queue, [weak, net] {
            asio::post(net->io, [weak] {
                if (auto self = weak.lock()) self->Resume();
            });
        });
        net_->hub.Put({Inbound::Kind::kHello, id_, link_, {}, 0});
        if (net_->stopping) {
            CloseWith(websocket::close_code::going_away, "the panel stopped", kStopWait);
        }
        Read();
    }

    void Read() {
        if (reading_ || closing_) return;
        // Past its allowance, a page waits for the model's thread before it is read again
        // (held meanwhile: no read or write may be pending to keep it).
        if (!link_->Readable(2 * net_->options.max_message)) {
            held_ = shared_from_this();
            return;
        }
        held_.reset();
        reading_ = true;
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->reading_ = false;
            if (ec) {
                // The page closed or left; or it broke the protocol (an unmasked frame, a
                // continuation with no start, a message past the limit announced in a frame's
                // header), and the close frame with the code the fault calls for has gone.
                self->Abort();
                return;
            }
            self->Received();
            self->Read();
        });
    }

    void Received() {
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        if (ws_.got_binary()) {
            CloseWith(websocket::close_code::unknown_data, "binary messages are not understood",
                      net_->Timeout());
            return;
        }
        if (!Allowed()) return;
        json message;
        try {
            message = json::parse(text);
        } catch (const json::exception& e) {
            std::string why = e.what();
            const auto tag = why.find("] ");
            if (tag != std::string::npos) why = why.substr(tag + 2);
            link_->Push(PageLink::Kind::kState, Refusal("not JSON: " + why));
            return;
        }
        if (!message.is_object() || !message.contains("type") || !message["type"].is_string()) {
            link_->Push(PageLink::Kind::kState,
                        Refusal("a message is a JSON object with a \"type\""));
            return;
        }
        link_->Received(text.size());
        net_->hub.Put({Inbound::Kind::kMessage, id_, nullptr, std::move(message), text.size()});
    }

    // The page's rate: a bucket of max_burst messages refilled at max_rate a second.
    bool Allowed() {
        const PanelOptions& o = net_->options;
        const Clock::time_point now = Clock::now();
        tokens_ =
            std::min(o.max_burst,
                     tokens_ + std::chrono::duration<double>(now - refilled_).count() * o.max_rate);
        refilled_ = now;
        if (tokens_ >= 1.0) {
            tokens_ -= 1.0;
            return true;
        }
        ++dropped_;
        if (now - last_refusal_ >= kRefusalPeriod) {
            last_refusal_ = now;
            link_->Push(
                PageLink::Kind::kState,
                Refusal("too many messages: " + std::to_string(dropped_) + " refused (at most " +
                        std::to_string(std::lround(o.max_rate)) + " a second)"));
            dropped_ = 0;
        }
        return false;
    }

    void WriteNext() {
        // A page that fell behind is closed even while a write to it hangs: the close frame
        // follows that write, or the timeout ends the connection.
        if (!closing_ && link_->Overflowed()) {
            CloseWith(websocket::close_code::policy_error,
                      "this page fell behind reading what the panel sent; reload it",
                      net_->Timeout());
            return;
        }
        if (writing_) return;
        if (closing_) {
            SendClose();
            return;
        }
        Message next = link_->Next();
        if (!next) return;
        writing_ = true;
        ws_.async_write(asio::buffer(*next),
                        [self = shared_from_this(), next](beast::error_code ec, std::size_t) {
                            self->writing_ = false;
                            if (ec) {
                                self->Abort();
                                return;
                            }
                            self->WriteNext();
                        });
    }

    void SendClose() {
        if (close_sent_ || writing_) return;
        close_sent_ = true;
        writing_ = true;
        ws_.async_close(close_reason_, [self = shared_from_this()](beast::error_code) {
            self->writing_ = false;
            self->Abort();
        });
    }

    std::shared_ptr<Network::Impl> net_;
    websocket::stream<beast::tcp_stream> ws_;
    asio::steady_timer closer_;
    std::list<std::weak_ptr<PageSession>>::iterator at_;
    std::shared_ptr<PageLink> link_;
    std::shared_ptr<PageSession> held_;  // itself, while reading waits for the model's thread
    uint64_t id_ = 0;
    beast::flat_buffer buffer_;
    bool reading_ = false, writing_ = false, closing_ = false, close_sent_ = false;
    websocket::close_reason close_reason_;
    double tokens_ = 0.0;
    Clock::time_point refilled_, last_refusal_{};
    std::size_t dropped_ = 0;
};

// A connection before it is a page: one request, answered from memory, then closed; or an
// upgrade to a page's WebSocket. A request must arrive whole within the timeout.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(std::shared_ptr<Network::Impl> net, tcp::socket socket)
        : net_(std::move(net)), stream_(std::move(socket)), buffer_(kHeaderLimit + kBodyLimit) {}

    ~HttpSession() {
        net_->waiting.erase(at_);
        if (!upgraded_) --net_->connections;
    }

    void Start() {
        at_ = net_->waiting.insert(net_->waiting.end(), weak_from_this());
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kBodyLimit);
        stream_.expires_after(net_->Timeout());
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (!ec) self->Answer(self->parser_->release());
                         });
    }

    void Close() {
        closed_ = true;
        beast::error_code ignored;
        stream_.socket().close(ignored);
    }
    bool Closed() const { return closed_; }

  private:
    void Answer(http::request<http::string_body> request) {
        std::string target(request.target());
        target = target.substr(0, target.find('?'));
        if (websocket::is_upgrade(request) && target == kSocketPath) {
            Upgrade(std::move(request));
            return;
        }
        const bool head = request.method() == http::verb::head;
        if (!head && request.method() != http::verb::get) {
            Reply(request, http::status::method_not_allowed,
                  "the panel serves its page only (GET)\n");
            return;
        }
        if (target == "/") target = "/index.html";
        for (const PanelAsset& a : PanelAssets()) {
            if (target != a.path) continue;
            if (head) {
                auto response = Asset<http::empty_body>(request, a);
                response->content_length(a.size);
                Send(response);
            } else {
                auto response = Asset<http::span_body<const char>>(request, a);
                response->body() = {reinterpret_cast<const char*>(a.data), a.size};
                response->prepare_payload();
                Send(response);
            }
            return;
        }
        Reply(request, http::status::not_found, "not part of the panel\n");
    }

    // Another site open in the same browser must not reach the patch: a page may connect
    // only from the panel's own origin, and (on loopback) under a literal loopback name, so
    // a DNS name rebound to this machine cannot pose as the panel either.
    void Upgrade(http::request<http::string_body> request) {
        const std::string host(request[http::field::host]);
        const auto origin = request.find(http::field::origin);
        if (host.empty() || (net_->loopback && !IsLoopbackHost(host))) {
            Reply(request, http::status::forbidden, "the panel answers to its own address only\n");
            return;
        }
        if (origin != request.end() && origin->value() != "http://" + host) {
            Reply(request, http::status::forbidden, "pages from other sites are not served\n");
            return;
        }
        if (net_->hub.pages.load() >= net_->options.max_pages || net_->stopping) {
            Reply(
                request, http::status::service_unavailable,
                "the panel serves " + std::to_string(net_->options.max_pages) + " pages at once\n");
            return;
        }
        ++net_->hub.pages;  // counted here, on the one network thread: the limit is exact
        upgraded_ = true;
        beast::error_code ignored;
        stream_.socket().set_option(asio::socket_base::send_buffer_size(kPageSendBuffer), ignored);
        auto page = std::make_shared<PageSession>(net_, std::move(stream_));
        page->Start(std::move(request));
    }

    template <class Body>
    static std::shared_ptr<http::response<Body>> Asset(
        const http::request<http::string_body>& request, const PanelAsset& a) {
        auto response = std::make_shared<http::response<Body>>(http::status::ok, request.version());
        response->set(http::field::content_type, a.mime);
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        response->set("Content-Security-Policy", kPolicy);
        response->keep_alive(false);
        return response;
    }

    void Reply(const http::request<http::string_body>& request, http::status status,
               const std::string& text) {
        auto response =
            std::make_shared<http::response<http::string_body>>(status, request.version());
        response->set(http::field::content_type, "text/plain; charset=utf-8");
        response->keep_alive(false);
        if (request.method() != http::verb::head) response->body() = text;
        response->prepare_payload();
        Send(response);
    }

    template <class Response>
    void Send(std::shared_ptr<Response> response) {
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response](beast::error_code, std::size_t) {
                              beast::error_code ignored;
                              self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                              self->Close();
                          });
    }

    std::shared_ptr<Network::Impl> net_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::list<std::weak_ptr<HttpSession>>::iterator at_;
    bool upgraded_ = false, closed_ = false;
};

}  // namespace

void Network::Impl::Accept() {
    acceptor.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
        if (self->stopping) return;
        if (ec && ec != asio::error::no_descriptors && ec != asio::error::no_buffer_space &&
            ec != asio::error::no_memory) {
            self->Accept();  // a connection gone before it was taken
            return;
        }
        if (ec) {
            // Out of file descriptors: make room by the oldest connection that is not a page,
            // and try again shortly.
            self->EvictOldest();
            self->retry.expires_after(kAcceptRetry);
            self->retry.async_wait([self](beast::error_code e) {
                if (!e && !self->stopping) self->Accept();
            });
            return;
        }
        self->Admit(std::move(socket));
        self->Accept();
    });
}

void Network::Impl::Admit(tcp::socket socket) {
    // At the limit, the oldest connection that is not a page makes room (it is counted until
    // its handlers have run, so the count may pass the limit by the few taken meanwhile).
    if (connections >= options.max_connections && !EvictOldest()) return;  // all pages
    ++connections;
    std::make_shared<HttpSession>(shared_from_this(), std::move(socket))->Start();
}

bool Network::Impl::EvictOldest() {
    // A closed connection completes its read with an error and leaves the list when it is
    // destroyed.
    for (auto& weak : waiting) {
        auto oldest = weak.lock();
        if (oldest && !oldest->Closed()) {
            oldest->Close();
            return true;
        }
    }
    return false;
}

void Network::Impl::Stop() {
    stopping = true;
    beast::error_code ignored;
    acceptor.close(ignored);
    retry.cancel();
    for (auto& weak : waiting) {
        if (auto s = weak.lock()) s->Close();
    }
    for (auto& weak : pages) {
        if (auto p = weak.lock()) {
            p->CloseWith(websocket::close_code::going_away, "the panel stopped", kStopWait);
        }
    }
}

Network::Network(const PanelOptions& options, Hub& hub)
    : impl_(std::make_shared<Impl>(options, hub)) {
    Impl& n = *impl_;
    const std::string listening = options.bind + ":" + std::to_string(options.port);
    beast::error_code ec;
    const auto address = asio::ip::make_address_v4(options.bind, ec);
    if (ec) {
        throw Error("--panel-bind " + QuoteText(options.bind) +
                    " is not an IPv4 address (such as 127.0.0.1)");
    }
    n.loopback = (address.to_uint() >> 24) == 127;
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(options.port));
    const auto fail = [&](const char* what) {
        throw Error("cannot serve the panel on " + listening + ": " + what + " (" + ec.message() +
                    ")");
    };
    if (n.acceptor.open(endpoint.protocol(), ec); ec) fail("cannot open a socket");
    if (n.acceptor.set_option(asio::socket_base::reuse_address(true), ec); ec) fail("socket");
    if (n.acceptor.bind(endpoint, ec); ec) {
        fail(ec == asio::error::address_in_use ? "the port is in use" : "cannot bind");
    }
    if (n.acceptor.listen(asio::socket_base::max_listen_connections, ec); ec) fail("cannot listen");
    n.port = n.acceptor.local_endpoint().port();
    n.Accept();
    n.thread = std::thread([&n] { n.io.run(); });
}

Network::~Network() {
    Impl& n = *impl_;
    asio::post(n.io, [&n] { n.Stop(); });
    n.thread.join();  // run() returns once every connection has ended
    n.io.restart();
    n.io.poll();  // the handlers left destroy what they hold on this thread
}

int Network::Port() const {
    return impl_->port;
}

}  // namespace kvhost::panel_net
