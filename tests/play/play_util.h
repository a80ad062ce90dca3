// Helpers of the play tests: `kvhost play` run as a child process (lines in, output kept),
// `kvhost render`, patch files written for the test, audio files read back.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace play_test {

// A folder of the running test's own (ctest runs tests in parallel processes).
std::string Dir();
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);

// A patch of the MIDI-to-CV converter playing ZOR Twin-Op's operator 1: `algorithm` "1->1"
// gives a plain sine, "2->1" with the gate as operator 1's level a note only while its key
// is down. `midi`: "live", a file name, or "" for none; `rate` 0 leaves it unset.
std::string TwinOpPatch(const std::string& algorithm, const std::string& midi, int rate);

struct Finished {
    int code = -1;  // exit code; -1: killed by a signal or did not end in time
    std::string out, err;
};

// `kvhost ARGS...` running in Dir(), its standard input a pipe.
class Kvhost {
  public:
    explicit Kvhost(const std::vector<std::string>& args);
    ~Kvhost();  // kills it if it still runs
    Kvhost(const Kvhost&) = delete;
    Kvhost& operator=(const Kvhost&) = delete;

    void Send(const std::string& line);  // one control line
    void CloseInput();
    void Signal(int signal);
    // Waits until its standard output (or error) holds `text`; false after `seconds`.
    bool WaitForOutput(const std::string& text, double seconds);
    bool WaitForError(const std::string& text, double seconds);
    std::string Out() const;
    std::string Err() const;
    // Waits for the end (killing it after `seconds`).
    Finished Wait(double seconds = 60.0);
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::string out_path_, err_path_;
    int code_ = -1;
    bool done_ = false;
};

// `kvhost ARGS...` to its end.
Finished RunKvhost(const std::vector<std::string>& args, double seconds = 120.0);

// What a shell command prints on standard output.
std::string CommandOutput(const std::string& command);

struct Audio {
    int channels = 0, rate = 0;
    std::vector<float> samples;  // interleaved
};
Audio ReadAudio(const std::string& path);

// Frequency of a steady periodic stretch, from its rising zero crossings.
double Frequency(const float* samples, std::size_t count, double rate);

}  // namespace play_test
