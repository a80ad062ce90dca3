// What the panel tests drive the server with: a page's WebSocket and plain HTTP requests
// written byte for byte, a server pumped on a thread of its own, and kvhost started as a child
// process that is stopped by its pid.
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

namespace kvpanel_test {

using nlohmann::json;
using namespace std::chrono_literals;

// One page's WebSocket, spoken byte for byte over a plain socket (so tests can also break
// the protocol on purpose). Messages the server sends are kept in order by a reader thread.
class PageClient {
  public:
    struct Options {
        std::string host;        // the Host header; "" for 127.0.0.1:port
        std::string origin;      // "" sends none
        bool read = true;        // false: a page that never reads (nothing after the handshake)
        int receive_buffer = 0;  // SO_RCVBUF before connecting; 0 leaves the system's
    };
    // Connects to 127.0.0.1:port and asks for /ws; Connected() tells whether it was upgraded.
    explicit PageClient(int port, const std::string& origin = "");
    PageClient(int port, const Options& options);
    ~PageClient();
    PageClient(const PageClient&) = delete;
    PageClient& operator=(const PageClient&) = delete;

    bool Connected() const { return status_ == 101; }
    int Status() const { return status_; }  // of the upgrade's answer (0: none came)
    void Send(const json& message);
    void SendText(const std::string& text);
    // One frame as given: `masked` false breaks the rule that clients mask.
    void SendFrame(int opcode, const std::string& payload, bool fin = true, bool masked = true);
    // Bytes as they are, on the socket; false when the server no longer takes them.
    bool SendRaw(const std::string& bytes);
    // The first message not yet taken for which `match` holds (others stay), or null json
    // after `timeout`.
    json Take(const std::function<bool(const json&)>& match,
              std::chrono::milliseconds timeout = 3000ms);
    json TakeType(const std::string& type, std::chrono::milliseconds timeout = 3000ms);
    // Every message received so far and not taken.
    std::vector<json> Drain();
    bool Closed() const { return closed_.load(); }
    // A page made with `read` false starts reading now.
    void StartReading();
    // Waits for the connection to end; the close frame's code (1005 for none, -1 when the
    // connection still stands after `timeout`).
    int WaitClosed(std::chrono::milliseconds timeout = 3000ms);
    std::string CloseReason();

  private:
    void Reader();
    void Frame(int opcode, const std::string& payload);

    int fd_ = -1;
    int status_ = 0;
    std::string buffer_;   // read, not yet parsed
    std::string message_;  // fragments of a message not yet complete
    std::mutex write_mutex_, mutex_;
    std::condition_variable arrived_;
    std::deque<json> messages_;
    std::atomic<bool> closed_{false}, stop_{false};
    std::atomic<int> close_code_{1005};
    std::string close_reason_;
    std::thread reader_;
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
    std::size_t Pages() const { return server_.Pages(); }
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

// Raises this process's soft limit of open files to at least `files` (as far as allowed).
void AllowFiles(std::size_t files);

std::string PatchFile(const std::string& name);  // a patch under tests/panel/patches
kvhost::PatchPlan Patch(const std::string& name);

}  // namespace kvpanel_test
