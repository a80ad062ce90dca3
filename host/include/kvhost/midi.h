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

// Reads a file; errors (kvhost::Error) name the file and the byte offset at fault.
MidiSequence ReadMidiFile(const std::string& path, double sample_rate);
// The same from bytes in memory; `name` stands for the file in messages.
MidiSequence ParseMidi(const std::vector<uint8_t>& bytes, double sample_rate,
                       const std::string& name);

// A format-0 file from notes: {start beat, length in beats, key, velocity} at `bpm`.
struct MidiNote {
    double start_beat, beats;
    uint8_t key, velocity;
};
std::vector<uint8_t> WriteMidiNotes(const std::vector<MidiNote>& notes, double bpm,
                                    uint16_t ticks_per_beat = 480);

}  // namespace kvhost
