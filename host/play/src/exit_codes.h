// The kvhost tool's exit codes that `play` ends with (the tool's one table lists them all).
#pragma once

namespace kvhost::play {

constexpr int kExitOk = 0;
constexpr int kExitInternal = 1;     // an unexpected failure, a module's included
constexpr int kExitUsage = 2;        // wrong command line
constexpr int kExitPlugin = 3;       // a plug-in cannot be loaded
constexpr int kExitPatch = 4;        // the patch is malformed or names what does not exist
constexpr int kExitMidi = 5;         // the MIDI file cannot be read
constexpr int kExitAudioFile = 6;    // the recording cannot be written, or frames were lost
constexpr int kExitAudioSystem = 8;  // audio system unavailable

}  // namespace kvhost::play
