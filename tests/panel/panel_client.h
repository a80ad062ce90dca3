// What the panel tests drive the server with: a page's WebSocket (civetweb's client), plain
// HTTP requests written byte for byte, a server pumped on a thread of its own, and kvhost
// started as a child process that is stopped by its pid.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "kvhost/panel.h"

struct mg_connection;

namespace kvpanel_test {

using nlohmann::json;
using namespace std::chrono_literals;

// One page's connection. Messages the server sends are kept in order.
class PageClient {
  public:
    // Connects to ws://127.0.0.1:port/ws; `origin` empty sends none. Connected() tells.
    explicit PageClient(int port, const std::string& origin = "");
    ~PageClient();
    PageClient(const PageClient&) = delete;
    PageClient& operator=(const PageClient&) = delete;

    bool Connected() const { return conn_ != nullptr; }
    void Send(const json& message);
    void SendText(const std::string& text);
    // The first message not yet taken for which `match` holds (others stay), or null json
    // after `timeout`.
    json Take(const std::function<bool(const json&)>& match,
              std::chrono::milliseconds timeout = 3000ms);
    json TakeType(const std::string& type, std::chrono::milliseconds timeout = 3000ms);
    // Every message received so far and not taken.
    std::vector<json> Drain();
    bool Closed() const { return closed_.load(); }

  private:
    static int OnData(mg_connection* conn, int bits, char* data, size_t length, void* self);
    static void OnClose(const mg_connection* conn, void* self);

    mg_connection* conn_ = nullptr;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<json> messages_;
    std::atomic<bool> closed_{false};
};

struct HttpReply {
    int status = 0;
    std::string headers, body;
};
// Sends `request` as it is (no normalising) to 127.0.0.1:port and reads the reply.
HttpReply RawHttp(int port, const std::string& request);
HttpReply Get(int port, const std::string& target);

// A server whose Pump runs on a thread of its own, as the main thread of kvhost runs it;
// the model is touched by that thread only while the server runs.
class PumpedServer {
  public:
    PumpedServer(kvhost::PanelModel& model, kvhost::PanelOptions options = Loopback());
    ~PumpedServer();
    int Port() const { return server_.Port(); }
    static kvhost::PanelOptions Loopback();

  private:
    kvhost::PanelServer server_;
    kvhost::PanelModel& model_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// kvhost run as a child with its standard output and error read through pipes; killed by
// its pid (SIGKILL) if it is still running when this goes.
class Child {
  public:
    explicit Child(const std::vector<std::string>& args);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t Pid() const { return pid_; }
    // The next line of standard output, or "" when none came within `timeout`.
    std::string ReadLine(std::chrono::milliseconds timeout = 10000ms);
    // Sends `sig` and waits for the exit; the exit code, or -1 when it did not end in time.
    int Stop(int sig, std::chrono::milliseconds timeout = 10000ms);
    int Wait(std::chrono::milliseconds timeout = 10000ms);
    std::string Err();  // standard error so far

  private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::string out_buffer_, err_buffer_;
    bool exited_ = false;
};

std::string PatchFile(const std::string& name);  // a patch under tests/panel/patches
kvhost::PatchPlan Patch(const std::string& name);

}  // namespace kvpanel_test
