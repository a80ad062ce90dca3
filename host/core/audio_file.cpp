// Writing rendered audio with libsndfile.
#include "kvhost/audio_file.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>

#include "kvhost/host.h"

namespace kvhost {

namespace {

std::string Extension(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

}  // namespace

SampleFormat FormatFor(const std::string& path, SampleFormat wanted) {
    return Extension(path) == "flac" ? SampleFormat::kPcm24 : wanted;
}

AudioWriter::AudioWriter(const std::string& path, int32_t channels, int32_t sample_rate,
                         SampleFormat format)
    : path_(path), channels_(channels) {
    if (channels < 1 || channels > 64) {
        throw Error(path + ": " + std::to_string(channels) + " channels cannot be written");
    }
    const std::string ext = Extension(path);
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = sample_rate;
    if (ext == "flac") {
        if (format == SampleFormat::kFloat) {
            throw Error(path + ": FLAC holds no float samples; use 24-bit or a .wav file");
        }
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    } else if (ext == "wav" || ext.empty()) {
        info.format =
            SF_FORMAT_WAV | (format == SampleFormat::kFloat ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_24);
    } else {
        throw Error(path + ": unknown audio file type \"." + ext + "\" (use .wav or .flac)");
    }
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr)
        throw Error(path + ": cannot write audio file (" + sf_strerror(nullptr) + ")");
    // Integer formats clip rather than wrap around.
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    file_ = f;
}

AudioWriter::~AudioWriter() {
    if (file_ != nullptr) sf_close(static_cast<SNDFILE*>(file_));
}

void AudioWriter::Write(const float* interleaved, uint32_t frames) {
    if (file_ == nullptr) throw Error(path_ + ": audio file already closed");
    auto* f = static_cast<SNDFILE*>(file_);
    const sf_count_t written = sf_writef_float(f, interleaved, frames);
    if (written != static_cast<sf_count_t>(frames)) {
        throw Error(path_ + ": writing audio failed (" + sf_strerror(f) + ")");
    }
}

void AudioWriter::Close() {
    if (file_ == nullptr) return;
    auto* f = static_cast<SNDFILE*>(file_);
    file_ = nullptr;
    sf_write_sync(f);
    if (sf_close(f) != 0) throw Error(path_ + ": closing the audio file failed");
}

}  // namespace kvhost
