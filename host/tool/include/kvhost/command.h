// The frame every kvhost subcommand runs in: one table of exit codes, one way to end (a
// returned code, or a thrown Failure), output files that replace their target only once
// complete, the plug-in search path's --plugin-path, and plug-ins found by path, deliverable
// name or id.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kvhost/host.h"

namespace CLI {
class App;
}

namespace kvhost {

// The exit codes of every kvhost subcommand.
enum Exit : int {
    kExitOk = 0,
    kExitInternal = 1,     // an unexpected failure inside kvhost; validate: a deliverable FAILED
    kExitUsage = 2,        // the command line is wrong
    kExitPlugin = 3,       // a plug-in cannot be loaded or has no such side
    kExitPatch = 4,        // the patch is malformed or names what does not exist
    kExitMidi = 5,         // the MIDI file cannot be read
    kExitOutput = 6,       // the output file cannot be written, or would replace an input
    kExitPin = 7,          // a pin name or value given on the command line is wrong
    kExitAudioSystem = 8,  // the audio system is unavailable
};

// The table as --help ends.
const char* ExitCodeHelp();

// How a subcommand fails: the exit code of its kind and a message naming the file, pin or
// value at fault. The tool prints "kvhost: <message>" on standard error.
struct Failure : Error {
    Failure(int exit_code, const std::string& message) : Error(message), code(exit_code) {}
    int code;
};

// The kvhost command line: subcommands, each with the work it does once the whole command
// line has been parsed.
class Tool {
  public:
    explicit Tool(const std::string& description);
    ~Tool();
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    CLI::App& App() { return *app_; }
    // A subcommand whose `run` returns its exit code (0, or a verdict such as validate's) and
    // throws Failure for every failure.
    CLI::App* Add(const std::string& name, const std::string& description,
                  std::function<int()> run);
    // Parses and runs the chosen subcommand; answers its exit code. Help goes to standard
    // output, every failure to standard error.
    int Main(int argc, const char* const* argv);

  private:
    std::unique_ptr<CLI::App> app_;
    std::vector<std::pair<CLI::App*, std::function<int()>>> commands_;
    std::vector<std::string> plugin_folders_;  // --plugin-path
};

// An output file written under a temporary name beside its target and renamed over it only
// once complete: a failed or interrupted write leaves an earlier file of that name as it was
// and nothing of its own behind. A target that is a symbolic link is written where it points.
class ReplacingFile {
  public:
    // Creates the temporary file; Failure(kExitOutput) naming `path` when the folder cannot
    // take it. `what` names the kind of file in messages ("audio file").
    ReplacingFile(const std::string& path, const std::string& what);
    ~ReplacingFile();  // removes the temporary file unless committed
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    const std::string& Path() const { return path_; }  // as the user gave it
    const std::string& TempPath() const { return temp_; }
    // Renames the finished temporary file over the target.
    void Commit();
    // A writer's message about the temporary file, naming the target instead.
    std::string Reworded(const std::string& message) const;

  private:
    std::string path_;    // as given
    std::string target_;  // where it lands (a link's destination)
    std::string temp_;
    std::string what_;
    int slot_ = -1;  // its place in the list removed on a fatal signal
    bool committed_ = false;
};

// Runs one stage of a command's work (reading a patch, opening it, reading its MIDI file):
// its failures leave with exit code `code`, except a plug-in that cannot be loaded
// (kExitPlugin); Failures pass through as they are.
template <class F>
auto Staged(int code, F&& stage) {
    try {
        return stage();
    } catch (const Failure&) {
        throw;
    } catch (const LoadError& e) {
        throw Failure(kExitPlugin, e.what());
    } catch (const Error& e) {
        throw Failure(code, e.what());
    }
}

// Refuses an output path that does not end in one of `extensions` (".png"), or that names one
// of `inputs` by any spelling: Failure(kExitOutput).
void CheckOutputPath(const std::string& path, const std::vector<std::string>& extensions,
                     const std::vector<std::string>& inputs, const std::string& what);

// A plug-in named as Plugin::Load takes it: the file of a deliverable name or id on the
// plug-in search path; paths, and names found nowhere, come back as they are.
std::string ResolvePluginName(const std::string& name);
// Loads a plug-in by path, deliverable name or id; Failure(kExitPlugin) when it cannot be.
std::shared_ptr<Plugin> LoadPluginNamed(const std::string& name);

}  // namespace kvhost
