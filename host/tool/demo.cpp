// The built-in demo patch and melody. examples/demo.json and examples/melody.mid hold the
// same patch and notes as files.
#include "demo.h"

const std::string& DemoPatch() {
    static const std::string patch = R"({
  "sample_rate": 44100,
  "block_size": 64,
  "modules": [
    {"name": "keys", "plugin": "wy_VUDA2DU", "pins": {"Retrigger": "On"}},
    {"name": "voice", "plugin": "ZOR Twin-Op",
     "pins": {"On/Off": "On", "Algorithm": "2->1", "OP2 Level": 0.6}}
  ],
  "wires": [
    {"from": "keys.Pitch", "to": "voice.OP1 Pitch"},
    {"from": "keys.Pitch", "to": "voice.OP2 Pitch"},
    {"from": "keys.Gate", "to": "voice.OP1 FB/Level"}
  ],
  "midi": {"to": "keys.MIDI In"},
  "audio": {"outputs": ["voice.Output"]}
}
)";
    return patch;
}

const std::vector<kvhost::MidiNote>& DemoMelody() {
    // Four bars of rising broken chords, then a held C.
    static const std::vector<kvhost::MidiNote> notes = [] {
        const int keys[] = {60, 64, 67, 72, 71, 67, 64, 67, 65, 69, 72, 77, 76, 72, 69, 72,
                            67, 71, 74, 79, 77, 74, 71, 67, 64, 67, 72, 76, 79, 76, 72, 67};
        std::vector<kvhost::MidiNote> v;
        double beat = 0.0;
        for (int k : keys) {
            v.push_back({beat, 0.45, static_cast<uint8_t>(k), 100});
            beat += 0.5;
        }
        v.push_back({beat, 1.8, 72, 110});
        return v;
    }();
    return notes;
}

double DemoTempo() {
    return 120.0;
}
