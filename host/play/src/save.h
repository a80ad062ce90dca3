// `save` while playing: the running patch written back as a patch file, atomically.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kvhost/patch.h"

namespace kvhost::play {

// One module's values as a patch keeps them.
struct SavedModule {
    struct Value {
        std::string key;   // pin name, or "#N" where names repeat
        std::string text;  // as a patch writes it
        bool is_text;      // a text pin: always a JSON string
    };
    std::string name;
    std::vector<Value> pins;    // "pins": the DSP settings render uses
    std::vector<Value> stored;  // "stored": GUI-side pins and stored outputs
};

// A controller mapping as "midi_map" keeps it.
struct SavedMapping {
    int32_t cc = 0, channel = 0;  // channel 0: any
    std::string pin;              // "module.pin" ("module.#N" where names repeat)
    double low = 0.0, high = 0.0;
};

// The played patch's JSON with each module's "pins" and "stored" replaced, its "midi_map"
// the mappings given (none: no "midi_map") and, when given,
// the rate it played at written in; file names relative to the patch are made to work from
// `out_path`'s folder. Everything else of the file (comments, wires, audio, MIDI) is kept as
// it was.
std::string SavedPatchText(const std::string& original, const PatchPlan& plan,
                           const std::string& original_path, std::optional<double> sample_rate,
                           const std::vector<SavedModule>& modules, const std::string& out_path,
                           const std::vector<SavedMapping>& midi_map = {});

}  // namespace kvhost::play
