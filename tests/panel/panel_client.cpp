// The panel tests' page client, raw HTTP, pumped server and child process.
#include "panel_client.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace kvpanel_test {

// ---- PageClient ----

PageClient::PageClient(int port, const std::string& origin) {
    mg_init_library(0);
    char error[256] = "";
    conn_ = mg_connect_websocket_client("127.0.0.1", port, 0, error, sizeof error, "/ws",
                                        origin.empty() ? nullptr : origin.c_str(), &OnData,
                                        &OnClose, this);
}

PageClient::~PageClient() {
    if (conn_ != nullptr) {
        // A close frame first: the server closes at once, and the client's thread ends
        // without waiting for its read to time out.
        if (!closed_.load()) {
            mg_websocket_client_write(conn_, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, "", 0);
            for (int i = 0; i < 200 && !closed_.load(); ++i) std::this_thread::sleep_for(5ms);
        }
        mg_close_connection(conn_);
    }
    mg_exit_library();
}

int PageClient::OnData(mg_connection*, int bits, char* data, size_t length, void* self_data) {
    auto* self = static_cast<PageClient*>(self_data);
    if ((bits & 0x0F) != MG_WEBSOCKET_OPCODE_TEXT) return 1;
    json message;
    try {
        message = json::parse(std::string(data, length));
    } catch (const json::exception&) {
        message = {{"type", "not-json"}, {"text", std::string(data, length)}};
    }
    std::lock_guard lock(self->mutex_);
    self->messages_.push_back(std::move(message));
    self->arrived_.notify_all();
    return 1;
}

void PageClient::OnClose(const mg_connection*, void* self) {
    static_cast<PageClient*>(self)->closed_.store(true);
}

void PageClient::Send(const json& message) {
    SendText(message.dump());
}

void PageClient::SendText(const std::string& text) {
    mg_websocket_client_write(conn_, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size());
}

json PageClient::Take(const std::function<bool(const json&)>& match,
                      std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto until = std::chrono::steady_clock::now() + timeout;
    std::size_t seen = 0;
    while (true) {
        for (std::size_t i = seen; i < messages_.size(); ++i) {
            if (match(messages_[i])) {
                json found = std::move(messages_[i]);
                messages_.erase(messages_.begin() + static_cast<std::ptrdiff_t>(i));
                return found;
            }
        }
        seen = messages_.size();
        if (arrived_.wait_until(lock, until) == std::cv_status::timeout) return nullptr;
    }
}

json PageClient::TakeType(const std::string& type, std::chrono::milliseconds timeout) {
    return Take([&](const json& m) { return m.value("type", "") == type; }, timeout);
}

std::vector<json> PageClient::Drain() {
    std::lock_guard lock(mutex_);
    std::vector<json> all(messages_.begin(), messages_.end());
    messages_.clear();
    return all;
}

// ---- HTTP ----

HttpReply RawHttp(int port, const std::string& request) {
    HttpReply reply;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return reply;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return reply;
    }
    std::string all;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        all.append(buffer, static_cast<size_t>(n));
        // A connection upgraded to a WebSocket stays open: its headers are the whole reply.
        if (all.rfind("HTTP/1.1 101", 0) == 0 && all.find("\r\n\r\n") != std::string::npos) break;
    }
    close(fd);
    const auto end = all.find("\r\n\r\n");
    reply.headers = all.substr(0, end);
    reply.body = end == std::string::npos ? "" : all.substr(end + 4);
    if (all.rfind("HTTP/1.", 0) == 0 && all.size() > 12) reply.status = std::stoi(all.substr(9, 3));
    return reply;
}

HttpReply Get(int port, const std::string& target) {
    return RawHttp(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                             "\r\nConnection: close\r\n\r\n");
}

// ---- PumpedServer ----

kvhost::PanelOptions PumpedServer::Loopback() {
    kvhost::PanelOptions options;
    options.port = 0;
    return options;
}

PumpedServer::PumpedServer(kvhost::PanelModel& model, kvhost::PanelOptions options)
    : server_(options), model_(model) {
    thread_ = std::thread([this] {
        while (!stop_.load()) {
            server_.Wait(5);
            server_.Pump(model_);
        }
    });
}

PumpedServer::~PumpedServer() {
    stop_.store(true);
    thread_.join();
}

// ---- Child ----

Child::Child(const std::vector<std::string>& args) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    fcntl(err_, F_SETFL, O_NONBLOCK);
}

Child::~Child() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
}

std::string Child::ReadLine(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto nl = out_buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = out_buffer_.substr(0, nl);
            out_buffer_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
        char buffer[1024];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) return "";
        out_buffer_.append(buffer, static_cast<size_t>(n));
    }
}

int Child::Wait(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

int Child::Stop(int sig, std::chrono::milliseconds timeout) {
    kill(pid_, sig);
    return Wait(timeout);
}

std::string Child::Err() {
    char buffer[1024];
    ssize_t n = 0;
    while ((n = read(err_, buffer, sizeof buffer)) > 0)
        err_buffer_.append(buffer, static_cast<size_t>(n));
    return err_buffer_;
}

std::string PatchFile(const std::string& name) {
    return std::string(KV_PANEL_PATCHES) + "/" + name;
}

kvhost::PatchPlan Patch(const std::string& name) {
    return kvhost::LoadPatch(PatchFile(name));
}

}  // namespace kvpanel_test
