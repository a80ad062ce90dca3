// A voice group's note bookkeeping: keys, the sustain pedal, stealing.
#include "kvhost/voices.h"

#include <algorithm>

namespace kvhost {

namespace {

constexpr uint8_t kSustain = 64;
constexpr uint8_t kAllSoundOff = 120;
constexpr uint8_t kResetControllers = 121;
constexpr uint8_t kAllNotesOff = 123;

}  // namespace

VoiceRouter::VoiceRouter(int32_t copies) : voices_(static_cast<std::size_t>(std::max(copies, 1))) {}

int32_t VoiceRouter::Key(int32_t copy) const {
    return voices_[static_cast<std::size_t>(copy)].key;
}

bool VoiceRouter::Sustained(int32_t copy) const {
    return voices_[static_cast<std::size_t>(copy)].sustained;
}

bool VoiceRouter::PedalDown(uint8_t channel) const {
    return (pedals_ >> (channel & 0x0F) & 1) != 0;
}

int32_t VoiceRouter::Holder(uint8_t channel, uint8_t key) const {
    for (std::size_t c = 0; c < voices_.size(); ++c) {
        if (voices_[c].key == key && voices_[c].channel == channel) return static_cast<int32_t>(c);
    }
    return -1;
}

void VoiceRouter::Free(Voice& v) {
    v.key = -1;
    v.sustained = false;
    v.since = ++count_;
}

VoiceRouter::Strike VoiceRouter::StrikeKey(uint8_t channel, uint8_t key) {
    Strike s{Holder(channel, key), -1, 0};
    if (s.copy < 0) {
        // The free copy released longest ago; else the one the pedal alone has held longest;
        // else the oldest note.
        const auto rank = [](const Voice& v) {
            return std::pair{v.key >= 0 ? (v.sustained ? 1 : 2) : 0, v.since};
        };
        const auto it =
            std::min_element(voices_.begin(), voices_.end(),
                             [&](const Voice& a, const Voice& b) { return rank(a) < rank(b); });
        s.copy = static_cast<int32_t>(it - voices_.begin());
    }
    Voice& v = voices_[static_cast<std::size_t>(s.copy)];
    if (v.key >= 0) {
        s.release_key = v.key;
        s.release_channel = v.channel;
    }
    v.key = key;
    v.channel = channel;
    v.sustained = false;
    v.since = ++count_;
    return s;
}

int32_t VoiceRouter::ReleaseKey(uint8_t channel, uint8_t key) {
    const int32_t c = Holder(channel, key);
    if (c < 0) return -1;
    Voice& v = voices_[static_cast<std::size_t>(c)];
    if (PedalDown(channel)) {
        v.sustained = true;
    } else if (!v.sustained) {
        Free(v);
    }
    return c;
}

void VoiceRouter::FreeChannel(uint8_t channel, bool sustained_only) {
    for (Voice& v : voices_) {
        if (v.key >= 0 && v.channel == channel && (v.sustained || !sustained_only)) Free(v);
    }
}

void VoiceRouter::Controller(uint8_t channel, uint8_t number, uint8_t value) {
    const auto bit = static_cast<uint16_t>(1u << channel);
    if (number == kSustain) {
        if (value >= 64) {
            pedals_ = static_cast<uint16_t>(pedals_ | bit);
        } else if ((pedals_ & bit) != 0) {
            pedals_ = static_cast<uint16_t>(pedals_ & ~bit);
            FreeChannel(channel, true);
        }
    } else if (number == kResetControllers) {
        pedals_ = static_cast<uint16_t>(pedals_ & ~bit);
        FreeChannel(channel, true);
    } else if ((number == kAllSoundOff && value == 0) || number >= kAllNotesOff) {
        FreeChannel(channel, false);
    }
}

void VoiceRouter::Clear() {
    for (Voice& v : voices_) {
        if (v.key >= 0) Free(v);
    }
    pedals_ = 0;
}

std::vector<RoutedNote> RouteNotes(const MidiSequence& sequence, int32_t copies, uint64_t end) {
    VoiceRouter router(copies);
    std::vector<RoutedNote> notes;
    std::vector<std::ptrdiff_t> sounding(static_cast<std::size_t>(router.Copies()), -1);
    const auto stop = [&](int32_t copy, uint64_t at) {
        std::ptrdiff_t& n = sounding[static_cast<std::size_t>(copy)];
        if (n >= 0) notes[static_cast<std::size_t>(n)].stop = at;
        n = -1;
    };
    for (const MidiEvent& e : sequence.events) {
        router.Route(
            e.status, e.d1, e.d2, [&](int32_t copy, uint8_t status, uint8_t d1, uint8_t d2) {
                if ((status & 0xF0) != 0x90 || d2 == 0) return;
                stop(copy, e.sample);
                sounding[static_cast<std::size_t>(copy)] =
                    static_cast<std::ptrdiff_t>(notes.size());
                notes.push_back({e.sample, end, static_cast<uint8_t>(status & 0x0F), d1, copy});
            });
        // Whatever freed a copy (its release, the pedal, all notes off) ended its note.
        for (int32_t c = 0; c < router.Copies(); ++c) {
            if (router.Key(c) < 0) stop(c, e.sample);
        }
    }
    for (RoutedNote& n : notes) n.stop = std::max(n.stop, n.start);
    return notes;
}

}  // namespace kvhost
