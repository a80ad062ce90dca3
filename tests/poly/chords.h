// The chords of examples/poly_chords.mid: four bars of four-note chords under a tune, then an
// eight-note chord that a ninth key joins (on eight voices it takes the oldest note's copy).
#pragma once

#include <vector>

#include "kvhost/midi.h"

inline constexpr double kChordTempo = 100.0;

inline std::vector<kvhost::MidiNote> ChordNotes() {
    std::vector<kvhost::MidiNote> notes;
    const int chords[4][4] = {
        {60, 64, 67, 71}, {57, 60, 64, 69}, {62, 65, 69, 72}, {55, 59, 62, 65}};
    const int tune[4][2] = {{76, 74}, {72, 76}, {77, 74}, {71, 71}};
    for (int bar = 0; bar < 4; ++bar) {
        const double beat = 4.0 * bar;
        for (int key : chords[bar]) notes.push_back({beat, 3.9, static_cast<uint8_t>(key), 90});
        notes.push_back({beat, 1.9, static_cast<uint8_t>(tune[bar][0]), 100});
        notes.push_back({beat + 2.0, 1.9, static_cast<uint8_t>(tune[bar][1]), 100});
    }
    for (int key : {48, 55, 60, 64, 67, 72, 76, 79}) {
        notes.push_back({16.0, 3.5, static_cast<uint8_t>(key), 100});
    }
    notes.push_back({18.0, 1.5, 84, 110});
    return notes;
}
