// The built-in demo: a patch (MIDI-to-CV converter driving the FM oscillator) and a melody,
// both compiled into kvhost so that `kvhost demo` needs no files.
#pragma once

#include <string>
#include <vector>

#include "kvhost/midi.h"

const std::string& DemoPatch();
const std::vector<kvhost::MidiNote>& DemoMelody();
double DemoTempo();  // beats per minute
