// `--record`: the frames the outputs played, written to an audio file by a disk thread that
// empties a lock-free ring the audio thread fills. The file is written under a temporary name
// beside the target (ReplacingFile) and renamed over it only once complete: an earlier file
// of that name survives a failed or killed recording.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "kvhost/audio_file.h"
#include "kvhost/command.h"
#include "spsc_queue.h"

namespace kvhost::play {

class Recorder {
  public:
    // Opens the temporary file (kvhost::Error naming the target when it cannot be written);
    // the ring holds `seconds` of frames, at least two of the largest periods.
    Recorder(const std::string& path, int32_t channels, int32_t sample_rate, SampleFormat format,
             double seconds);
    ~Recorder();  // stops the disk thread; an unfinished file is removed
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    SpscQueue<float>& Ring() { return *ring_; }
    void Start();
    // Once nothing more is put in the ring: writes the rest, completes the file and renames
    // it over the target. Throws kvhost::Error naming the target when a write failed, now or
    // on the disk thread; the temporary file is then removed, the target left as it was.
    void Finish();
    // A write failed on the disk thread (it stops writing; the ring then fills).
    bool Failed() const { return failed_.load(); }
    uint64_t FramesWritten() const { return written_.load(); }
    const std::string& Path() const { return path_; }

  private:
    void Run();
    void WriteSome(std::size_t most);

    void Abandon();                                      // the temporary file removed
    [[noreturn]] void Fail(const std::string& message);  // Abandon, then throw

    std::string path_;
    std::optional<ReplacingFile> file_;
    std::unique_ptr<AudioWriter> writer_;
    int32_t channels_;
    std::unique_ptr<SpscQueue<float>> ring_;
    std::unique_ptr<float[]> chunk_;
    std::size_t chunk_values_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::atomic<uint64_t> written_{0};
    std::string error_;  // the disk thread's failure, read after it is joined
};

}  // namespace kvhost::play
