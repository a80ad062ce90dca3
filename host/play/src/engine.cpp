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
    PatchOptions options;
    options.real_time = true;
    options.live_events = 2 * kLiveMidiPerPeriod + kCommandsPerPeriod;
    options.start_clock = config_.start_clock;
    options.delivery = config_.delivery;
    options.observer = [this](std::size_t node, const DspInstance& module,
                              const DspInstance::StatusRecord& s) { OnStatus(node, module, s); };
    options.live_controller = [this](uint8_t channel, uint8_t cc, uint8_t) {
        OnController(channel, cc);
    };
    patch_ = std::make_unique<Patch>(plan, std::move(options));
    opened_ = true;
    start_ = config_.start_clock;
    for (int32_t n = 0; n < patch_->NodeCount(); ++n) nodes_.push_back(&patch_->Instance(n));
    channels_ = patch_->Channels();
    block_ = plan.block_size;
    carries_.resize(nodes_.size());
    sample_pins_.resize(nodes_.size());
    shadows_.resize(nodes_.size());
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        const DspInstance& dsp = *nodes_[n];
        carries_[n].resize(static_cast<std::size_t>(dsp.PinCount()));
        shadows_[n].resize(static_cast<std::size_t>(dsp.PinCount()));
        for (int32_t k = 0; k < dsp.PinCount(); ++k) {
            sample_pins_[n].push_back(dsp.DspPinInfo(k).datatype == DT_FSAMPLE);
        }
    }
    if (config_.midi) patch_->SetMidi(*config_.midi, config_.loop);

    // Live MIDI goes where a MIDI file would: the plan's target, or the first MIDI input.
    live_midi_ = plan.midi_live && patch_->HasMidiInput();
    if (channels_ > 1) {
        interleaved_.assign(
            static_cast<std::size_t>(kMaxPeriod) * static_cast<std::size_t>(channels_), 0.0f);
    }
    peaks_ = std::make_unique<std::atomic<float>[]>(static_cast<std::size_t>(channels_));
    for (int32_t c = 0; c < channels_; ++c) peaks_[static_cast<std::size_t>(c)] = 0.0f;
}

void Engine::SetCarries(int32_t node, std::vector<std::vector<int32_t>> carries) {
    carries.resize(carries_[static_cast<std::size_t>(node)].size());
    // A sample output carried to a GUI side is read once the block that holds its value has
    // run: only then does every block need a look.
    for (std::size_t pin = 0; pin < carries.size(); ++pin) {
        if (!carries[pin].empty() && sample_pins_[static_cast<std::size_t>(node)][pin]) {
            patch_->SetAfterBlock([this] { AfterBlock(); });
        }
    }
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

void Engine::OnController(uint8_t channel, uint8_t cc) {
    if (!learning_) return;
    learning_ = false;
    const Patch::Mapping m{cc, channel + 1, learn_.node, learn_.pin, learn_.value, learn_.high};
    // Mapped before the message takes effect: the controller that was learned moves the pin.
    const bool ok = patch_->Map(m);
    Report r{Report::kLearned, m.node, m.dsp_pin, patch_->RunClock(), m.low, ok ? learn_.id : 0};
    r.cc = cc;
    r.channel = static_cast<uint8_t>(m.channel);
    r.high = m.high;
    Tell(r);
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
    if (frames != stats_.period.load(std::memory_order_relaxed)) stats_.period.store(frames);
    const bool silent = frames > kMaxPeriod || stats_.failed.load(std::memory_order_relaxed) ||
                        stats_.finished.load(std::memory_order_relaxed);
    if (frames > kMaxPeriod) stats_.oversized.store(true);
    if (silent) {
        for (int32_t c = 0; c < channels_; ++c) std::fill_n(outputs[c], frames, 0.0f);
    } else {
        try {
            const uint64_t at = start_ + played_ + PeriodLatency(frames);
            ApplyCommands(at);
            PlaceLiveMidi(midi, midi_count, at, 0);
            if (sent_midi_.Size() > 0) {
                std::array<LiveMidi, kLiveMidiPerPeriod> sent;
                PlaceLiveMidi(sent.data(), sent_midi_.Read(sent.data(), sent.size()), at, 1);
            }
            if (end_notes_.load(std::memory_order_relaxed) && notes_end_at_ == UINT64_MAX) {
                notes_end_at_ = std::max(at, patch_->RunClock());
                patch_->Panic(notes_end_at_);
            }
            Emit(frames, outputs);
            const int32_t note = patch_->LastNote();
            if (note != last_note_) {
                last_note_ = note;
                stats_.last_note.store(note, std::memory_order_relaxed);
            }
            if (notes_end_at_ != UINT64_MAX &&
                patch_->Clock() >= notes_end_at_ + static_cast<uint64_t>(block_)) {
                notes_ended_.store(true);
            }
            if (question_count_ > 0) Answer();
            if ((stats_.periods.load(std::memory_order_relaxed) & 63) == 0) {
                // Now and then: the count is for the end's report and the JSON status.
                stats_.events_dropped.store(patch_->DroppedEvents(), std::memory_order_relaxed);
            }
        } catch (const std::exception& e) {
            Fail(e.what());
            for (int32_t c = 0; c < channels_; ++c) std::fill_n(outputs[c], frames, 0.0f);
        }
    }
    Bump(stats_.periods, 1);
}

void Engine::ApplyCommands(uint64_t at) {
    if (commands_.Size() == 0) return;
    Command c;
    for (std::size_t i = 0; i < kCommandsPerPeriod && commands_.Pop(c); ++i) {
        const auto node = static_cast<std::size_t>(c.node);
        const auto pin = static_cast<std::size_t>(c.pin);
        switch (c.kind) {
            case Command::kSet: {
                // A setting reaches every voice of a module in a voice group.
                const uint64_t when = std::max(at, patch_->RunClock());
                patch_->Set(c.node, c.pin, c.value, when);
                const PinInfo& info = nodes_[node]->DspPinInfo(c.pin);
                shadows_[node][pin] = {HeldValue(info.datatype, c.value), when, true};
                Bump(stats_.applied, 1);
                if (c.id != 0) Tell({Report::kApplied, c.node, c.pin, when, c.value, c.id});
                break;
            }
            case Command::kPanic: {
                const uint64_t when = std::max(at, patch_->RunClock());
                patch_->Panic(when);
                if (c.id != 0) Tell({Report::kApplied, c.node, c.pin, when, 0.0, c.id});
                break;
            }
            case Command::kMap: {
                const bool ok = patch_->Map({c.cc, c.channel, c.node, c.pin, c.value, c.high});
                if (c.id != 0) {
                    Tell({Report::kApplied, c.node, c.pin, patch_->RunClock(), ok ? 1.0 : 0.0,
                          c.id});
                }
                break;
            }
            case Command::kUnmap: {
                const std::size_t removed = patch_->Unmap(c.cc, c.node, c.pin);
                if (c.id != 0) {
                    Tell({Report::kApplied, c.node, c.pin, patch_->RunClock(),
                          static_cast<double>(removed), c.id});
                }
                break;
            }
            case Command::kLearn:
                learn_ = c;
                learning_ = true;
                break;
            case Command::kForget:
                learning_ = false;
                break;
            case Command::kGet:
                if (!nodes_[node]->DspPinInfo(c.pin).IsOutput()) {
                    // An input holds what the lines before gave it: answered now, in order.
                    Tell({Report::kValue, c.node, c.pin, patch_->RunClock(), InputValue(c), c.id});
                    break;
                }
                [[fallthrough]];
            case Command::kSync:
                questions_[question_count_++] = c;
                break;
        }
    }
}

double Engine::InputValue(const Command& c) const {
    const Shadow& s = shadows_[static_cast<std::size_t>(c.node)][static_cast<std::size_t>(c.pin)];
    // Until the modules have run past its clock, the input still holds the value before it.
    if (s.set && patch_->RunClock() <= s.at) return s.value;
    return nodes_[static_cast<std::size_t>(c.node)]->ReadValue(c.pin);
}

void Engine::Answer() {
    for (std::size_t i = 0; i < question_count_; ++i) {
        const Command& c = questions_[i];
        const DspInstance& dsp = *nodes_[static_cast<std::size_t>(c.node)];
        const double value = c.kind == Command::kGet ? dsp.ReadValue(c.pin) : 0.0;
        Tell({Report::kValue, c.node, c.pin, patch_->RunClock(), value, c.id});
    }
    question_count_ = 0;
}

void Engine::PlaceLiveMidi(const LiveMidi* midi, std::size_t count, uint64_t at, int source) {
    if (count == 0) return;
    if (!live_midi_) {
        Bump(stats_.midi_ignored, count);
        return;
    }
    const std::size_t taken = std::min(count, kLiveMidiPerPeriod);
    if (taken < count) Bump(stats_.midi_dropped, count - taken);
    for (std::size_t i = 0; i < taken; ++i) {
        const LiveMidi& m = midi[i];
        const uint8_t bytes[3] = {m.status, m.d1, m.d2};
        std::size_t size = m.size;
        if (size == 0) size = m.status >= 0xF0 ? 1 : (m.status & 0xE0) == 0xC0 ? 2 : 3;
        patch_->LiveMidi(at + m.offset, bytes, std::min<std::size_t>(size, 3), source);
    }
}

void Engine::AfterBlock() {
    // Sample outputs carried to a GUI side: their values at the announced clocks.
    const uint64_t end = patch_->RunClock();
    const auto block = static_cast<uint64_t>(block_);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pending_count_; ++i) {
        const PendingCarry& p = pending_[i];
        if (p.clock >= end) {
            pending_[kept++] = p;  // not produced yet
            continue;
        }
        const float* buffer = nodes_[static_cast<std::size_t>(p.node)]->Buffer(p.dsp_pin);
        const float value = p.clock + block >= end ? buffer[p.clock + block - end] : buffer[0];
        Tell({Report::kCarry, p.node, p.gui_index, p.clock, value, 0});
    }
    pending_count_ = kept;
}

void Engine::Emit(uint32_t frames, float* const* outputs) {
    uint32_t audible = frames;
    if (config_.length > 0) {
        audible = static_cast<uint32_t>(std::min<uint64_t>(frames, config_.length - played_));
    }
    const auto channels = static_cast<std::size_t>(channels_);
    const float* interleaved = outputs[0];
    if (channels == 1) {
        patch_->Render(outputs[0], audible);
    } else {
        patch_->Render(interleaved_.data(), audible);
        interleaved = interleaved_.data();
        for (std::size_t c = 0; c < channels; ++c) {
            float* out = outputs[c];
            for (uint32_t i = 0; i < audible; ++i) out[i] = interleaved[i * channels + c];
        }
    }
    for (std::size_t c = 0; c < channels; ++c)
        std::fill(outputs[c] + audible, outputs[c] + frames, 0.0f);
    Played(audible, outputs, interleaved);
    if (audible < frames) {
        played_ += frames - audible;
        stats_.frames.store(played_, std::memory_order_relaxed);
    }
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
