// The audio side of `kvhost play`: whole blocks into the output FIFO, changes at their clocks,
// values carried out through the report queue.
#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <numeric>

#if defined(__SSE__)
#include <immintrin.h>
#endif

#include "rt_check.h"

namespace kvhost::play {

namespace {

// Counters the audio thread alone writes: a plain load and store, no locked instruction.
template <class T, class N>
void Bump(std::atomic<T>& counter, N n) {
    counter.store(counter.load(std::memory_order_relaxed) + static_cast<T>(n),
                  std::memory_order_relaxed);
}

// The largest magnitude among `count` samples: four lanes at a time where the processor has
// them, in four running maxima so that the compares overlap.
float Peak(const float* samples, uint32_t count) {
    uint32_t i = 0;
    float peak = 0.0f;
#if defined(__SSE__)
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    __m128 m[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    for (; i + 16 <= count; i += 16) {
        for (int k = 0; k < 4; ++k) {
            m[k] = _mm_max_ps(m[k], _mm_and_ps(_mm_loadu_ps(samples + i + 4 * k), magnitude));
        }
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, _mm_max_ps(_mm_max_ps(m[0], m[1]), _mm_max_ps(m[2], m[3])));
    peak = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
#endif
    for (; i < count; ++i) peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

// As many of `frames` interleaved frames as `ring` has room for, whole; how many it took.
std::size_t WholeFrames(SpscQueue<float>& ring, const float* interleaved, uint32_t frames,
                        std::size_t channels) {
    const std::size_t room = (ring.Capacity() - ring.Size()) / channels;
    const std::size_t fit = std::min<std::size_t>(frames, room);
    ring.Write(interleaved, fit * channels);
    return fit;
}

}  // namespace

Engine::Engine(const PatchPlan& plan, Config config) : config_(std::move(config)) {
    patch_ = std::make_unique<Patch>(
        plan, [this](std::size_t node, const DspInstance& module,
                     const DspInstance::StatusRecord& s) { OnStatus(node, module, s); });
    opened_ = true;
    for (const std::string& name : patch_->Order()) {
        nodes_.push_back(&patch_->Instance(name));
        std::vector<DspInstance*>& copies = copies_.emplace_back();
        for (int32_t k = 0; k < patch_->Copies(name); ++k) {
            copies.push_back(&patch_->Instance(name, k));
        }
    }
    channels_ = patch_->Channels();
    block_ = plan.block_size;
    carries_.resize(nodes_.size());
    sample_pins_.resize(nodes_.size());
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        const DspInstance& dsp = *nodes_[n];
        carries_[n].resize(static_cast<std::size_t>(dsp.PinCount()));
        for (int32_t k = 0; k < dsp.PinCount(); ++k) {
            sample_pins_[n].push_back(dsp.DspPinInfo(k).datatype == DT_FSAMPLE);
        }
    }
    if (config_.midi) patch_->SetMidi(*config_.midi);

    // Live MIDI goes where a MIDI file would: the plan's target, or the first MIDI input.
    live_midi_ = plan.midi_live && patch_->HasMidiInput();
    fifo_.assign(static_cast<std::size_t>(kMaxPeriod + static_cast<uint32_t>(block_)) *
                     static_cast<std::size_t>(std::max(channels_, 1)),
                 0.0f);
    peaks_ = std::make_unique<std::atomic<float>[]>(static_cast<std::size_t>(channels_));
    for (int32_t c = 0; c < channels_; ++c) peaks_[static_cast<std::size_t>(c)] = 0.0f;
}

void Engine::SetCarries(int32_t node, std::vector<std::vector<int32_t>> carries) {
    carries.resize(carries_[static_cast<std::size_t>(node)].size());
    carries_[static_cast<std::size_t>(node)] = std::move(carries);
}

void Engine::CarryOpeningStatuses() {
    for (const OpeningStatus& o : opening_) {
        for (int32_t gui : carries_[o.node][static_cast<std::size_t>(o.status.pin)]) {
            Tell({Report::kCarry, static_cast<int32_t>(o.node), gui, o.status.clock, o.value, 0});
        }
    }
    opening_.clear();
    opening_.shrink_to_fit();
}

void Engine::OnStatus(std::size_t node, const DspInstance& module,
                      const DspInstance::StatusRecord& s) {
    if (!opened_) {
        // While the patch opens nothing is known yet about the GUI sides: keep everything,
        // with the value as it is now.
        opening_.push_back({node, s, module.ReadValue(s.pin)});
        return;
    }
    const auto& targets = carries_[node][static_cast<std::size_t>(s.pin)];
    if (targets.empty()) return;
    if (sample_pins_[node][static_cast<std::size_t>(s.pin)]) {
        // A sample output's value at the announced clock exists once the block is run.
        for (int32_t gui : targets) {
            if (pending_count_ == pending_.size()) {
                Bump(stats_.reports_lost, 1);
                continue;
            }
            pending_[pending_count_++] = {static_cast<int32_t>(node), s.pin, gui, s.clock};
        }
        return;
    }
    const double value = module.ReadValue(s.pin);
    for (int32_t gui : targets) {
        Tell({Report::kCarry, static_cast<int32_t>(node), gui, s.clock, value, 0});
    }
}

void Engine::Tell(const Report& r) {
    if (!reports_.Push(r)) {
        Bump(stats_.reports_lost, 1);
    } else if (r.kind == Report::kCarry) {
        Bump(stats_.carried, 1);
    }
}

uint32_t Engine::Latency(uint32_t period) const {
    const auto block = static_cast<uint32_t>(block_);
    if (period == 0) return 0;
    return block - std::gcd(period, block);
}

uint32_t Engine::PeriodLatency(uint32_t period) {
    if (period != latency_period_) {
        latency_period_ = period;
        latency_ = Latency(period);
    }
    return latency_;
}

void Engine::Process(uint32_t frames, float* const* outputs, const LiveMidi* midi,
                     std::size_t midi_count) {
    rt::Watch watch;  // what this thread allocates and locks until the period ends
    {
        if (frames != stats_.period.load(std::memory_order_relaxed)) stats_.period.store(frames);
        const bool silent = frames > kMaxPeriod || stats_.failed.load(std::memory_order_relaxed) ||
                            stats_.finished.load(std::memory_order_relaxed);
        if (frames > kMaxPeriod) stats_.oversized.store(true);
        if (silent) {
            for (int32_t c = 0; c < channels_; ++c) std::fill_n(outputs[c], frames, 0.0f);
        } else {
            try {
                const uint32_t at = static_cast<uint32_t>(played_) + PeriodLatency(frames);
                ApplyCommands(at);
                PlaceLiveMidi(midi, midi_count, at);
                if (sent_midi_.Size() > 0) {
                    std::array<LiveMidi, kLiveMidiPerPeriod> sent;
                    PlaceLiveMidi(sent.data(), sent_midi_.Read(sent.data(), sent.size()), at);
                }
                const auto block = static_cast<uint32_t>(block_);
                const bool whole = config_.length == 0 || played_ + frames <= config_.length;
                if (channels_ == 1 && fill_ == 0 && frames % block == 0 && whole) {
                    // Whole blocks straight into the port: the FIFO would hold them for nothing.
                    for (uint32_t done = 0; done < frames; done += block) {
                        RenderBlock(outputs[0] + done);
                    }
                    if (question_count_ > 0) Answer();
                    Played(frames, outputs, outputs[0]);
                } else {
                    while (fill_ < frames) {
                        RenderBlock(fifo_.data() + static_cast<std::size_t>(fill_) * channels_);
                        fill_ += block;
                    }
                    if (question_count_ > 0) Answer();
                    Emit(frames, outputs);
                }
            } catch (const std::exception& e) {
                Fail(e.what());
                for (int32_t c = 0; c < channels_; ++c) std::fill_n(outputs[c], frames, 0.0f);
            }
        }
        Bump(stats_.periods, 1);
    }
}

void Engine::ApplyCommands(uint32_t at) {
    at = std::max(at, patch_->Clock());
    Command c;
    for (std::size_t i = 0; i < kCommandsPerPeriod && commands_.Pop(c); ++i) {
        if (c.kind != Command::kSet) {
            questions_[question_count_++] = c;
            continue;
        }
        // A setting reaches every voice of a module in a voice group.
        const bool sample =
            sample_pins_[static_cast<std::size_t>(c.node)][static_cast<std::size_t>(c.pin)];
        for (DspInstance* dsp : copies_[static_cast<std::size_t>(c.node)]) {
            if (sample) {
                dsp->SetConstant(c.pin, static_cast<float>(c.value), at);
            } else {
                dsp->SetValue(c.pin, c.value, at);
            }
        }
        Bump(stats_.applied, 1);
        if (c.id != 0) Tell({Report::kApplied, c.node, c.pin, at, c.value, c.id});
    }
}

void Engine::Answer() {
    for (std::size_t i = 0; i < question_count_; ++i) {
        const Command& c = questions_[i];
        const DspInstance& dsp = *nodes_[static_cast<std::size_t>(c.node)];
        const double value = c.kind == Command::kGet ? dsp.ReadValue(c.pin) : 0.0;
        Tell({Report::kValue, c.node, c.pin, dsp.Clock(), value, c.id});
    }
    question_count_ = 0;
}

void Engine::PlaceLiveMidi(const LiveMidi* midi, std::size_t count, uint32_t at) {
    if (count == 0) return;
    if (!live_midi_) {
        Bump(stats_.midi_ignored, count);
        return;
    }
    const std::size_t taken = std::min(count, kLiveMidiPerPeriod);
    if (taken < count) Bump(stats_.midi_dropped, count - taken);
    const uint32_t now = patch_->Clock();
    for (std::size_t i = 0; i < taken; ++i) {
        // A keyboard's note-on of velocity 0 ends its note, as in a MIDI file.
        const MidiEvent m = AsDelivered({0, midi[i].status, midi[i].d1, midi[i].d2});
        patch_->SendMidi(std::max(at + midi[i].offset, now), m.status, m.d1, m.d2);
        if ((m.status & 0xF0) == 0x90 && m.d2 > 0) {
            stats_.last_note.store(m.d1, std::memory_order_relaxed);
        }
    }
}

void Engine::RenderBlock(float* into) {
    patch_->Render(into, static_cast<uint32_t>(block_));
    const uint32_t end = patch_->Clock();
    if (config_.midi) {
        const auto& events = config_.midi->events;
        while (next_file_event_ < events.size() && events[next_file_event_].sample < end) {
            const MidiEvent& e = events[next_file_event_++];
            if ((e.status & 0xF0) == 0x90 && e.d2 > 0) {
                stats_.last_note.store(e.d1, std::memory_order_relaxed);
            }
        }
    }
    // Sample outputs carried to a GUI side: their values at the announced clocks.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pending_count_; ++i) {
        const PendingCarry& p = pending_[i];
        DspInstance& dsp = *nodes_[static_cast<std::size_t>(p.node)];
        const uint32_t start = dsp.BlockStart();
        if (p.clock >= end) {
            pending_[kept++] = p;  // not produced yet
            continue;
        }
        const float value =
            p.clock >= start ? dsp.Buffer(p.dsp_pin)[p.clock - start] : dsp.Buffer(p.dsp_pin)[0];
        Tell({Report::kCarry, p.node, p.gui_index, p.clock, value, 0});
    }
    pending_count_ = kept;
}

void Engine::Emit(uint32_t frames, float* const* outputs) {
    const auto channels = static_cast<std::size_t>(channels_);
    uint32_t audible = frames;
    if (config_.length > 0) {
        audible = static_cast<uint32_t>(std::min<uint64_t>(frames, config_.length - played_));
    }
    for (std::size_t c = 0; c < channels; ++c) {
        float* out = outputs[c];
        const float* in = fifo_.data() + c;
        if (channels == 1) {
            std::memcpy(out, in, audible * sizeof(float));
        } else {
            for (uint32_t i = 0; i < audible; ++i) out[i] = in[i * channels];
        }
        std::fill(out + audible, out + frames, 0.0f);
    }
    Played(audible, outputs, fifo_.data());
    if (fill_ > frames) {
        const std::size_t rest = static_cast<std::size_t>(fill_ - frames) * channels;
        std::memmove(fifo_.data(), fifo_.data() + static_cast<std::size_t>(frames) * channels,
                     rest * sizeof(float));
    }
    fill_ -= frames;
    if (audible < frames) played_ += frames - audible;
    stats_.frames.store(played_, std::memory_order_relaxed);
}

void Engine::Played(uint32_t frames, float* const* outputs, const float* interleaved) {
    const auto channels = static_cast<std::size_t>(channels_);
    for (std::size_t c = 0; c < channels; ++c) {
        const float peak = Peak(outputs[c], frames);
        float seen = peaks_[c].load(std::memory_order_relaxed);
        while (peak > seen && !peaks_[c].compare_exchange_weak(seen, peak)) {
        }
    }
    if (record_ != nullptr && frames > 0) {
        const std::size_t fit = WholeFrames(*record_, interleaved, frames, channels);
        Bump(stats_.recorded, fit);
        if (fit < frames) Bump(stats_.lost, frames - fit);
    }
    if (monitor_ != nullptr && frames > 0) WholeFrames(*monitor_, interleaved, frames, channels);
    played_ += frames;
    stats_.frames.store(played_, std::memory_order_relaxed);
    if (config_.length > 0 && played_ >= config_.length) stats_.finished.store(true);
}

void Engine::Fail(const char* what) {
    std::size_t n = 0;
    while (what[n] != '\0' && n + 1 < failure_.size()) {
        failure_[n] = what[n];
        ++n;
    }
    failure_[n] = '\0';
    stats_.failed.store(true);
}

uint64_t Engine::Allocations() {
    return rt::Allocations();
}
uint64_t Engine::Locks() {
    return rt::Locks();
}

std::string Engine::Failure() const {
    return failure_.data();
}

void Engine::Submit(const Command& command) {
    outbox_.push_back(command);
    Flush();
}

void Engine::Flush() {
    while (!outbox_.empty() && commands_.Push(outbox_.front())) outbox_.pop_front();
}

std::vector<float> Engine::TakePeaks() {
    std::vector<float> out(static_cast<std::size_t>(channels_));
    for (std::size_t c = 0; c < out.size(); ++c) out[c] = peaks_[c].exchange(0.0f);
    return out;
}

}  // namespace kvhost::play
