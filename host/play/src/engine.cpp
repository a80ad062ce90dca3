// The audio side of `kvhost play`: whole blocks into the output FIFO, changes at their clocks,
// values carried out through the report queue.
#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <numeric>

#include "rt_check.h"

namespace kvhost::play {

Engine::Engine(const PatchPlan& plan, Config config) : config_(std::move(config)) {
    patch_ = std::make_unique<Patch>(
        plan, [this](std::size_t node, const DspInstance& module,
                     const DspInstance::StatusRecord& s) { OnStatus(node, module, s); });
    opened_ = true;
    for (const std::string& name : patch_->Order()) nodes_.push_back(&patch_->Instance(name));
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
    if (plan.midi_live) {
        for (std::size_t n = 0; n < nodes_.size() && live_target_ == nullptr; ++n) {
            if (plan.midi_to && patch_->Order()[n] != plan.midi_to->module) continue;
            for (const PinInfo& p : nodes_[n]->Pins()) {
                if (p.dsp_index >= 0 && !p.IsOutput() && p.datatype == DT_MIDI_STREAM &&
                    (!plan.midi_to || p.name == plan.midi_to->pin)) {
                    live_target_ = nodes_[n];
                    live_pin_ = p.dsp_index;
                    break;
                }
            }
        }
    }
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
                stats_.reports_lost.fetch_add(1, std::memory_order_relaxed);
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
        stats_.reports_lost.fetch_add(1, std::memory_order_relaxed);
    } else if (r.kind == Report::kCarry) {
        stats_.carried.fetch_add(1, std::memory_order_relaxed);
    }
}

uint32_t Engine::Latency(uint32_t period) const {
    const auto block = static_cast<uint32_t>(block_);
    if (period == 0) return 0;
    return block - std::gcd(period, block);
}

void Engine::Process(uint32_t frames, float* const* outputs, const LiveMidi* midi,
                     std::size_t midi_count) {
    const uint64_t allocations_before = rt::Allocations(), locks_before = rt::Locks();
    {
        rt::Watch watch;
        stats_.period.store(frames, std::memory_order_relaxed);
        const bool silent = frames > kMaxPeriod || stats_.failed.load(std::memory_order_relaxed) ||
                            stats_.finished.load(std::memory_order_relaxed);
        if (frames > kMaxPeriod) stats_.oversized.store(true);
        if (silent) {
            for (int32_t c = 0; c < channels_; ++c) std::fill_n(outputs[c], frames, 0.0f);
        } else {
            try {
                const uint32_t at = static_cast<uint32_t>(played_) + Latency(frames);
                ApplyCommands(at);
                PlaceLiveMidi(midi, midi_count, at);
                while (fill_ < frames) RenderBlock();
                Answer();
                Emit(frames, outputs);
            } catch (const std::exception& e) {
                Fail(e.what());
                for (int32_t c = 0; c < channels_; ++c) std::fill_n(outputs[c], frames, 0.0f);
            }
        }
        stats_.periods.fetch_add(1, std::memory_order_relaxed);
    }
    stats_.allocations.fetch_add(rt::Allocations() - allocations_before, std::memory_order_relaxed);
    stats_.locks.fetch_add(rt::Locks() - locks_before, std::memory_order_relaxed);
}

void Engine::ApplyCommands(uint32_t at) {
    at = std::max(at, patch_->Clock());
    Command c;
    for (std::size_t i = 0; i < kCommandsPerPeriod && commands_.Pop(c); ++i) {
        if (c.kind != Command::kSet) {
            questions_[question_count_++] = c;
            continue;
        }
        DspInstance& dsp = *nodes_[static_cast<std::size_t>(c.node)];
        if (sample_pins_[static_cast<std::size_t>(c.node)][static_cast<std::size_t>(c.pin)]) {
            dsp.SetConstant(c.pin, static_cast<float>(c.value), at);
        } else {
            dsp.SetValue(c.pin, c.value, at);
        }
        stats_.applied.fetch_add(1, std::memory_order_relaxed);
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
    if (live_target_ == nullptr) {
        stats_.midi_ignored.fetch_add(count, std::memory_order_relaxed);
        return;
    }
    const std::size_t taken = std::min(count, kLiveMidiPerPeriod);
    if (taken < count) stats_.midi_dropped.fetch_add(count - taken, std::memory_order_relaxed);
    const uint32_t now = patch_->Clock();
    for (std::size_t i = 0; i < taken; ++i) {
        const LiveMidi& m = midi[i];
        live_target_->SendMidi(live_pin_, std::max(at + m.offset, now), m.status, m.d1, m.d2);
        if ((m.status & 0xF0) == 0x90 && m.d2 > 0) {
            stats_.last_note.store(m.d1, std::memory_order_relaxed);
        }
    }
}

void Engine::RenderBlock() {
    const auto block = static_cast<uint32_t>(block_);
    patch_->Render(fifo_.data() + static_cast<std::size_t>(fill_) * channels_, block);
    fill_ += block;
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
        float peak = 0.0f;
        for (uint32_t i = 0; i < audible; ++i) {
            out[i] = in[i * channels];
            peak = std::max(peak, std::fabs(out[i]));
        }
        std::fill(out + audible, out + frames, 0.0f);
        float seen = peaks_[c].load(std::memory_order_relaxed);
        while (peak > seen && !peaks_[c].compare_exchange_weak(seen, peak)) {
        }
    }
    if (record_ != nullptr && audible > 0) {
        SpscQueue<float>& ring = *record_;
        const std::size_t room = (ring.Capacity() - ring.Size()) / channels;
        const std::size_t fit = std::min<std::size_t>(audible, room);
        ring.Write(fifo_.data(), fit * channels);
        stats_.recorded.fetch_add(fit, std::memory_order_relaxed);
        if (fit < audible) stats_.lost.fetch_add(audible - fit, std::memory_order_relaxed);
    }
    const std::size_t rest = static_cast<std::size_t>(fill_ - frames) * channels;
    std::memmove(fifo_.data(), fifo_.data() + static_cast<std::size_t>(frames) * channels,
                 rest * sizeof(float));
    fill_ -= frames;
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
