// What the validator's checks found, per check: failures make a deliverable fail, notes are
// only reported. Each check keeps a count and its first few distinct messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvhost::validate {

// printf-style formatting for findings' messages (at most 511 characters).
std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

class Findings {
  public:
    void Fail(const std::string& check, const std::string& message);
    void Note(const std::string& check, const std::string& message);
    bool Failed() const { return failures_ > 0; }
    uint64_t Failures() const { return failures_; }
    struct Item {
        std::string check;
        bool failure;
        uint64_t count = 0;  // occurrences, each message kept once
        std::vector<std::string> messages;
    };
    const std::vector<Item>& Items() const { return items_; }
    void Merge(const Findings& other);
    void Add(const Item& item);

  private:
    void Record(const std::string& check, const std::string& message, bool failure);
    std::vector<Item> items_;
    uint64_t failures_ = 0;
};

}  // namespace kvhost::validate
