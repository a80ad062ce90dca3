// Standard MIDI Files (formats 0 and 1) read into channel messages stamped with the exact
// sample at which each one falls, tempo changes included.
#pragma once

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
