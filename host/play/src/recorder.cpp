// The disk thread of `--record`: empties the ring every few milliseconds into the temporary
// file, which becomes the target once complete.
#include "recorder.h"

#include <algorithm>
#include <chrono>

#include "engine.h"

namespace kvhost::play {

Recorder::Recorder(const std::string& path, int32_t channels, int32_t sample_rate,
                   SampleFormat format, double seconds)
    : path_(path), channels_(channels) {
    file_.emplace(path, "audio file");
    try {
        writer_ = std::make_unique<AudioWriter>(file_->TempPath(), channels, sample_rate, format);
    } catch (const Error& e) {
        throw Error(file_->Reworded(e.what()));
    }
    const auto frames = std::max<std::size_t>(static_cast<std::size_t>(seconds * sample_rate),
                                              2 * Engine::kMaxPeriod);
    ring_ = std::make_unique<SpscQueue<float>>(frames * static_cast<std::size_t>(channels));
    chunk_values_ = 4096 * static_cast<std::size_t>(channels);
    chunk_ = std::make_unique<float[]>(chunk_values_);
}

Recorder::~Recorder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Recorder::Start() {
    thread_ = std::thread([this] { Run(); });
}

void Recorder::WriteSome(std::size_t most) {
    const std::size_t n = ring_->Read(chunk_.get(), std::min(most, chunk_values_));
    const auto frames = static_cast<uint32_t>(n / static_cast<std::size_t>(channels_));
    writer_->Write(chunk_.get(), frames);
    written_ += frames;
}

void Recorder::Run() {
    try {
        while (!stop_) {
            // Whole frames only: the audio thread puts in whole frames, this takes them out.
            const std::size_t ready = ring_->Size() / static_cast<std::size_t>(channels_) *
                                      static_cast<std::size_t>(channels_);
            if (ready == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            WriteSome(ready);
        }
    } catch (const std::exception& e) {
        error_ = file_->Reworded(e.what());
        failed_ = true;
    }
}

void Recorder::Finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (failed_) Fail(error_);
    try {
        while (ring_->Size() > 0) WriteSome(ring_->Size());
        writer_->Close();
        file_->Commit();
    } catch (const Error& e) {
        Fail(file_->Reworded(e.what()));
    }
}

void Recorder::Abandon() {
    writer_.reset();
    file_.reset();
}

void Recorder::Fail(const std::string& message) {
    Abandon();
    throw Error(message);
}

}  // namespace kvhost::play
