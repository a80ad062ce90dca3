// kvhost play: a patch played live as a JACK client, with a MIDI input, live pin changes on
// standard input (or a control file), a status line and an optional recording.
#pragma once

#include <optional>
#include <string>

#include "kvhost/panel.h"

namespace kvhost {

class Tool;

struct PlayOptions {
    std::string patch;                   // patch file (JSON), as `render` takes it
    std::optional<std::string> midi;     // a MIDI file played in real time
    std::optional<std::string> record;   // the audio file that gets what the outputs played
    std::optional<std::string> control;  // control lines from this file or FIFO, not stdin
    std::optional<std::string> name;     // the JACK client name, had exactly
    std::optional<double> seconds;       // play this long, then stop; else until Ctrl-C, or
                                         // with a MIDI file its end plus one second
    bool loop = false;                   // the MIDI file again and again
    bool hold = false;                   // on after the MIDI file ends
    bool connect = false;                // to the playback ports and physical MIDI outputs
    bool json_status = false;            // one JSON object a second instead of a status line
    bool check_rt = false;               // count the audio thread's allocations and locks
    double record_buffer = 2.0;          // seconds of frames the recording ring holds
    PanelOptions panel;                  // --panel: the patch in a web page while it plays
};

// Runs the whole command; returns the tool's exit code, or throws Failure with it.
int Play(const PlayOptions& options);

// Adds the "play" subcommand to the kvhost tool.
void AddPlayCommand(Tool& tool);

}  // namespace kvhost
