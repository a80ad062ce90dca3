// Standard MIDI Files (formats 0 and 1) read into channel messages stamped with the exact
// sample at which each one falls, tempo changes included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvhost {

struct MidiEvent {
    uint32_t sample;  // sample clock of the message
    uint8_t status, d1, d2;
};

struct MidiSequence {
    std::vector<MidiEvent> events;  // channel messages in time order (file order at ties)
    uint32_t end_sample = 0;        // the last event of any kind, end-of-track included
};

// How messages reach a module. Many files, and keyboards under running status, end a note
// with a note-on of velocity 0: as a host, kvhost delivers that as a note-off (same channel,
// key and velocity 0). kRaw passes every message as it is.
enum class MidiDelivery { kHost, kRaw };

// A message as the host delivers it: a note-on of velocity 0 becomes a note-off.
inline MidiEvent AsDelivered(MidiEvent e) {
    if ((e.status & 0xF0) == 0x90 && e.d2 == 0) {
        e.status = static_cast<uint8_t>(0x80 | (e.status & 0x0F));
    }
    return e;
}

// A live MIDI byte stream (a port, a page's keyboard, an LV2 sequence) cut into the channel
// messages a module's MIDI input takes. Running status is expanded; system-exclusive
// messages, system common and real-time bytes are passed on to nobody (no MIDI input of this
// frame takes them) and counted, and a real-time byte inside a message leaves it whole. A
// message cut off by a new status byte is dropped. State lasts across calls, so a source's
// bytes may arrive in any pieces.
class MidiParser {
  public:
    // Calls `message(status, d1, d2)` for each complete channel message in `bytes` (d2 is 0
    // for the one-byte messages, program change and channel pressure).
    template <class F>
    void Feed(const uint8_t* bytes, std::size_t size, F&& message) {
        for (std::size_t i = 0; i < size; ++i) {
            const uint8_t b = bytes[i];
            if (b >= 0xF8) {  // real-time: between any two bytes, part of nothing
                ++ignored_;
            } else if (b >= 0x80) {
                Status(b);
            } else if (skip_ > 0) {
                --skip_;  // a system common message's data, or system exclusive
            } else if (running_ == 0) {
                ++ignored_;  // data with no status to belong to
            } else {
                data_[have_++] = b;
                if (have_ == Length(running_)) {
                    message(running_, data_[0], have_ > 1 ? data_[1] : uint8_t{0});
                    have_ = 0;
                }
            }
        }
    }
    // Messages and stray bytes passed on to nobody so far.
    std::size_t Ignored() const { return ignored_; }
    // Forgets a message in progress and the running status.
    void Reset() { running_ = have_ = skip_ = 0; }

  private:
    static int Length(uint8_t status) {
        const int type = status & 0xF0;
        return type == 0xC0 || type == 0xD0 ? 1 : 2;
    }
    void Status(uint8_t b);

    uint8_t running_ = 0;  // the status data bytes belong to; 0: none
    uint8_t data_[2] = {0, 0};
    int have_ = 0;
    int skip_ = 0;  // data bytes still to pass over (system exclusive: until the next status)
    std::size_t ignored_ = 0;
};

// Reads a file; errors (kvhost::Error) name the file and the byte offset at fault.
MidiSequence ReadMidiFile(const std::string& path, double sample_rate,
                          MidiDelivery delivery = MidiDelivery::kHost);
// The same from bytes in memory; `name` stands for the file in messages.
MidiSequence ParseMidi(const std::vector<uint8_t>& bytes, double sample_rate,
                       const std::string& name, MidiDelivery delivery = MidiDelivery::kHost);

// A format-0 file from notes: {start beat, length in beats, key, velocity} at `bpm`.
struct MidiNote {
    double start_beat, beats;
    uint8_t key, velocity;
};
std::vector<uint8_t> WriteMidiNotes(const std::vector<MidiNote>& notes, double bpm,
                                    uint16_t ticks_per_beat = 480);

}  // namespace kvhost
