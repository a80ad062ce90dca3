// The panel's network side and what it shares with the thread that drives the model: the
// messages pages sent, waiting to be answered in order, and each page's bounded queue of what
// goes out to it. The network thread alone touches sockets; the model's thread only queues.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "kvhost/panel.h"

namespace kvhost::panel_net {

using Message = std::shared_ptr<const std::string>;

// One page's link between the two threads: its outgoing queue, and how many bytes of what
// it sent still wait for the model's thread (the network thread reads no more from a page
// past its allowance, so a page cannot make the server hold more than that).
class PageLink {
  public:
    enum class Kind { kState, kScope, kSpectrum };
    PageLink(std::size_t queue_limit, std::function<void()> wake)
        : limit_(queue_limit), wake_(std::move(wake)) {}

    // Queues a message for the page. State messages (layout, pin values, answers, refusals)
    // are kept in order; past the queue's limit the page is closed instead (Overflowed). A
    // scope or spectrum replaces the one not yet sent, so a slow page misses frames only.
    void Push(Kind kind, Message text);
    // The model's thread answered a message of `bytes` bytes from this page.
    void Answered(std::size_t bytes);

    // ---- the network thread ----
    // The next message to write, or null when none waits. Overflowed() tells why a page is
    // to be closed.
    Message Next();
    bool Overflowed();
    // Counts a message read from the page; false once the page is past its allowance.
    void Received(std::size_t bytes);
    bool Readable(std::size_t allowance);
    // Called when the network thread handles a wake-up: later pushes wake it again.
    void Woken();
    void Gone();  // the connection ended: pushes are dropped

  private:
    void WakeLocked(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::deque<Message> state_;
    std::size_t bytes_ = 0;  // of state_
    std::size_t limit_;
    Message scope_, spectrum_;
    std::size_t unanswered_ = 0;  // bytes of messages from the page not yet answered
    bool overflowed_ = false, gone_ = false, woken_ = false;
    std::function<void()> wake_;  // asks the network thread to write and read again
};

// What the network thread hands the model's thread, in the order it happened per page.
struct Inbound {
    enum class Kind { kHello, kMessage, kBye };
    Kind kind = Kind::kMessage;
    uint64_t page = 0;
    std::shared_ptr<PageLink> link;  // kHello
    nlohmann::json message;          // kMessage: an object with a "type"
    std::size_t bytes = 0;           // kMessage: its size as sent
};

class Hub {
  public:
    void Put(Inbound in);
    std::deque<Inbound> Take();
    void Wait(int ms);          // until something was put, at most `ms` milliseconds
    std::atomic<int> pages{0};  // open pages, counted where they are admitted

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Inbound> inbound_;
};

// Which Host headers name this machine: a literal loopback address (127.0.0.0/8, [::1]) or
// exactly "localhost", with or without a port. A name that merely resolves to loopback
// (a rebound DNS name) is not one.
bool IsLoopbackHost(const std::string& host);

// The listening socket and every connection, on one thread of its own (event-driven: no
// thread per connection, no thread waits on a socket).
class Network {
  public:
    // Listens on options.bind:options.port; Error naming the address when it cannot.
    Network(const PanelOptions& options, Hub& hub);
    ~Network();  // every page told the panel stopped, every connection closed, thread joined
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;
    int Port() const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace kvhost::panel_net
