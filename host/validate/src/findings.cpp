// Findings of the validator's checks, and the formatting of their messages. Recording a
// finding is the validator's own work: it never counts as an allocation of the module.
#include "findings.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "alloc_count.h"

namespace kvhost::validate {

namespace {
constexpr size_t kMessagesPerCheck = 5;
}  // namespace

std::string Fmt(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

void Findings::Record(const std::string& check, const std::string& message, bool failure) {
    if (failure) ++failures_;
    for (Item& item : items_) {
        if (item.check == check && item.failure == failure) {
            ++item.count;
            if (item.messages.size() < kMessagesPerCheck &&
                std::find(item.messages.begin(), item.messages.end(), message) ==
                    item.messages.end()) {
                item.messages.push_back(message);
            }
            return;
        }
    }
    items_.push_back(Item{check, failure, 1, {message}});
}
void Findings::Fail(const std::string& check, const std::string& message) {
    alloc::Pause pause;
    Record(check, message, true);
}
void Findings::Note(const std::string& check, const std::string& message) {
    alloc::Pause pause;
    Record(check, message, false);
}
void Findings::Add(const Item& item) {
    for (const std::string& m : item.messages) Record(item.check, m, item.failure);
    for (Item& mine : items_) {
        if (mine.check == item.check && mine.failure == item.failure) {
            const uint64_t extra =
                item.count > item.messages.size() ? item.count - item.messages.size() : 0;
            mine.count += extra;
            if (item.failure) failures_ += extra;
        }
    }
}
void Findings::Merge(const Findings& other) {
    for (const Item& item : other.items_) Add(item);
}

}  // namespace kvhost::validate
