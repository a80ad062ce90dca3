// A voice group's note bookkeeping: which copy of the group's MIDI input hears each channel
// message, following keys, the sustain pedal and stealing. Pure bookkeeping, no instances:
// the patch delivers what it decides, and plot replays it to find which copy played a note.
#pragma once

#include <cstdint>
#include <vector>

#include "kvhost/midi.h"

namespace kvhost {

class VoiceRouter {
  public:
    explicit VoiceRouter(int32_t copies);

    // One channel message (status 0x80-0xEF) for the group; `deliver(copy, status, d1, d2)`
    // is called for each copy that hears it, in order.
    // - A note-on goes to the copy holding that key (which first hears the key's release:
    //   every copy plays one key at a time), else to the free copy released longest ago,
    //   else it steals: the copy held longest by the pedal alone, else the copy whose note is
    //   oldest; a stolen copy first hears its own key's release.
    // - A note-off (or a note-on of velocity 0, whatever the module is given) and key
    //   pressure go to the copy holding the key, and nowhere when none does. A released key
    //   stays held while its channel's sustain pedal is down, and is freed when it comes up.
    // - Every other message goes to every copy. All notes off, all sound off and the other
    //   channel mode messages free the channel's copies; reset all controllers lifts its pedal.
    template <class F>
    void Route(uint8_t status, uint8_t d1, uint8_t d2, F&& deliver) {
        const auto channel = static_cast<uint8_t>(status & 0x0F);
        switch (status & 0xF0) {
            case 0x90:
                if (d2 > 0) {
                    const Strike s = StrikeKey(channel, d1);
                    if (s.release_key >= 0) {
                        deliver(s.copy, static_cast<uint8_t>(0x80 | s.release_channel),
                                static_cast<uint8_t>(s.release_key), uint8_t{0x40});
                    }
                    deliver(s.copy, status, d1, d2);
                    return;
                }
                [[fallthrough]];
            case 0x80:
                if (const int32_t c = ReleaseKey(channel, d1); c >= 0) deliver(c, status, d1, d2);
                return;
            case 0xA0:
                if (const int32_t c = Holder(channel, d1); c >= 0) deliver(c, status, d1, d2);
                return;
            default:
                for (int32_t c = 0; c < Copies(); ++c) deliver(c, status, d1, d2);
                if ((status & 0xF0) == 0xB0) Controller(channel, d1, d2);
                return;
        }
    }
    // Every copy free and every pedal up (after all notes and sound off went to every copy).
    void Clear();

    int32_t Copies() const { return static_cast<int32_t>(voices_.size()); }
    int32_t Key(int32_t copy) const;     // the key a copy holds, -1 when free
    bool Sustained(int32_t copy) const;  // held by the pedal alone
    bool PedalDown(uint8_t channel) const;

  private:
    struct Voice {
        int32_t key = -1;        // the key held, -1 when free
        uint8_t channel = 0;     // the held key's channel
        bool sustained = false;  // its key was released while the pedal was down
        uint64_t since = 0;      // when (in keys taken and freed) it took its key or was freed
    };
    struct Strike {
        int32_t copy;
        int32_t release_key;  // -1: nothing to release first
        uint8_t release_channel;
    };
    Strike StrikeKey(uint8_t channel, uint8_t key);
    int32_t ReleaseKey(uint8_t channel, uint8_t key);  // the copy that hears it, or -1
    int32_t Holder(uint8_t channel, uint8_t key) const;
    void Controller(uint8_t channel, uint8_t number, uint8_t value);
    void Free(Voice& v);
    void FreeChannel(uint8_t channel, bool sustained_only);

    std::vector<Voice> voices_;
    uint16_t pedals_ = 0;  // one bit per channel: sustain pedal down
    uint64_t count_ = 0;   // keys taken and freed so far
};

// One note of a MIDI sequence as a group of copies plays it: from its note-on to whatever
// ends it on its copy (its release, the pedal coming up, a channel mode message, or the copy
// taken for another note).
struct RoutedNote {
    uint64_t start, stop;
    uint8_t channel, key;
    int32_t copy;
};
// The notes in the order of their note-ons, routed over `copies` copies as VoiceRouter does;
// one still sounding at the sequence's end lasts until `end`.
std::vector<RoutedNote> RouteNotes(const MidiSequence& sequence, int32_t copies, uint64_t end);

}  // namespace kvhost
