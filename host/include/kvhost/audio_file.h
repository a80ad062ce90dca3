// Audio files written through libsndfile: WAV or FLAC (by file name), float or 24-bit.
#pragma once

#include <cstdint>
#include <string>

namespace kvhost {

enum class SampleFormat { kFloat, kPcm24 };

class AudioWriter {
  public:
    // WAV (".wav") takes either format; FLAC (".flac") only 24-bit. Errors name the file.
    AudioWriter(const std::string& path, int32_t channels, int32_t sample_rate,
                SampleFormat format);
    ~AudioWriter();
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    void Write(const float* interleaved, uint32_t frames);
    void Close();  // flushes; errors from the last write are raised here
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    void* file_ = nullptr;  // SNDFILE*
    int32_t channels_;
};

// Chooses the format from a file name: ".flac" gives 24-bit, anything else `wanted`.
SampleFormat FormatFor(const std::string& path, SampleFormat wanted);

}  // namespace kvhost
