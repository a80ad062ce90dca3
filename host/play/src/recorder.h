// `--record`: the frames the outputs played, written to an audio file by a disk thread that
// empties a lock-free ring the audio thread fills.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "kvhost/audio_file.h"
#include "spsc_queue.h"

namespace kvhost::play {

class Recorder {
  public:
    // Opens the file (kvhost::Error naming it when it cannot be written); the ring holds
    // `seconds` of frames, at least two of the largest periods.
    Recorder(const std::string& path, int32_t channels, int32_t sample_rate, SampleFormat format,
             double seconds);
    ~Recorder();  // stops the disk thread (Finish is what completes the file)
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    SpscQueue<float>& Ring() { return *ring_; }
    void Start();
    // Once nothing more is put in the ring: writes the rest, completes the file. Throws
    // kvhost::Error when a write failed, now or on the disk thread.
    void Finish();
    // A write failed on the disk thread (it stops writing; the ring then fills).
    bool Failed() const { return failed_.load(); }
    uint64_t FramesWritten() const { return written_.load(); }
    const std::string& Path() const { return writer_.Path(); }

  private:
    void Run();
    void WriteSome(std::size_t most);

    AudioWriter writer_;
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
