// The panel tests' page client, raw HTTP, pumped server and child process.
#include "panel_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace kvpanel_test {

// ---- PageClient ----

namespace {

int ConnectLoopback(int port, int receive_buffer) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

PageClient::PageClient(int port, const std::string& origin)
    : PageClient(port, Options{"", origin, true, 0}) {}

PageClient::PageClient(int port, const Options& options) {
    fd_ = ConnectLoopback(port, options.receive_buffer);
    if (fd_ < 0) return;
    const std::string host =
        options.host.empty() ? "127.0.0.1:" + std::to_string(port) : options.host;
    std::string request = "GET /ws HTTP/1.1\r\nHost: " + host +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n";
    if (!options.origin.empty()) request += "Origin: " + options.origin + "\r\n";
    if (!WriteAll(fd_, request + "\r\n")) return;
    // The answer's headers, a byte at a time: what follows them is the reader's.
    timeval timeout{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string head;
    char c = 0;
    while (head.find("\r\n\r\n") == std::string::npos && read(fd_, &c, 1) == 1) head += c;
    if (head.rfind("HTTP/1.1 ", 0) == 0 && head.size() > 12) status_ = std::stoi(head.substr(9, 3));
    if (options.read) StartReading();
}

void PageClient::StartReading() {
    if (Connected() && !reader_.joinable()) reader_ = std::thread([this] { Reader(); });
}

PageClient::~PageClient() {
    if (reader_.joinable()) {
        // A close frame first, so the server ends the page at once.
        if (!closed_.load()) {
            SendFrame(0x8, std::string("\x03\xe8", 2));
            WaitClosed(1000ms);
        }
        stop_.store(true);
        reader_.join();
    }
    if (fd_ >= 0) close(fd_);
}

void PageClient::Reader() {
    while (!stop_.load() && !closed_.load()) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        char chunk[65536];
        const ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n <= 0) break;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        while (buffer_.size() >= 2) {
            const auto b0 = static_cast<unsigned char>(buffer_[0]);
            const auto b1 = static_cast<unsigned char>(buffer_[1]);
            std::size_t at = 2;
            uint64_t length = b1 & 0x7F;
            if (length >= 126) {
                const std::size_t bytes = length == 126 ? 2 : 8;
                if (buffer_.size() < at + bytes) break;
                length = 0;
                for (std::size_t i = 0; i < bytes; ++i)
                    length = (length << 8) | static_cast<unsigned char>(buffer_[at + i]);
                at += bytes;
            }
            if (buffer_.size() < at + length) break;
            const std::string payload = buffer_.substr(at, length);
            buffer_.erase(0, at + length);
            const int opcode = b0 & 0x0F;
            if (opcode == 0x0 || opcode == 0x1) {
                message_ += payload;
                if ((b0 & 0x80) != 0) {
                    Frame(0x1, message_);
                    message_.clear();
                }
            } else {
                Frame(opcode, payload);
            }
        }
    }
    std::lock_guard lock(mutex_);
    closed_.store(true);
    arrived_.notify_all();
}

void PageClient::Frame(int opcode, const std::string& payload) {
    if (opcode == 0x9) {
        SendFrame(0xA, payload);  // a ping is answered, as browsers do
        return;
    }
    if (opcode == 0x8) {
        std::lock_guard lock(mutex_);
        if (payload.size() >= 2) {
            close_code_.store((static_cast<unsigned char>(payload[0]) << 8) |
                              static_cast<unsigned char>(payload[1]));
            close_reason_ = payload.substr(2);
        }
        SendFrame(0x8, payload.substr(0, 2));  // answered, as browsers do; the server closes
        return;
    }
    if (opcode != 0x1) return;
    json message;
    try {
        message = json::parse(payload);
    } catch (const json::exception&) {
        message = {{"type", "not-json"}, {"text", payload}};
    }
    std::lock_guard lock(mutex_);
    messages_.push_back(std::move(message));
    arrived_.notify_all();
}

void PageClient::SendFrame(int opcode, const std::string& payload, bool fin, bool masked) {
    std::string frame;
    frame += static_cast<char>((fin ? 0x80 : 0) | opcode);
    const char mask_bit = masked ? static_cast<char>(0x80) : 0;
    const uint64_t n = payload.size();
    if (n < 126) {
        frame += static_cast<char>(mask_bit | static_cast<char>(n));
    } else if (n < 65536) {
        frame += static_cast<char>(mask_bit | 126);
        for (int s = 8; s >= 0; s -= 8) frame += static_cast<char>((n >> s) & 0xFF);
    } else {
        frame += static_cast<char>(mask_bit | 127);
        for (int s = 56; s >= 0; s -= 8) frame += static_cast<char>((n >> s) & 0xFF);
    }
    const char key[4] = {0x12, 0x34, 0x56, 0x78};
    if (masked) frame.append(key, 4);
    for (std::size_t i = 0; i < n; ++i) frame += masked ? payload[i] ^ key[i % 4] : payload[i];
    SendRaw(frame);
}

bool PageClient::SendRaw(const std::string& bytes) {
    std::lock_guard lock(write_mutex_);
    return fd_ >= 0 && WriteAll(fd_, bytes);
}

void PageClient::Send(const json& message) {
    SendText(message.dump());
}

void PageClient::SendText(const std::string& text) {
    SendFrame(0x1, text);
}

int PageClient::WaitClosed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, timeout, [&] { return closed_.load(); })) return -1;
    return close_code_.load();
}

std::string PageClient::CloseReason() {
    std::lock_guard lock(mutex_);
    return close_reason_;
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

void AllowFiles(std::size_t files) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= files) return;
    limit.rlim_cur = std::min<rlim_t>(files, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
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
