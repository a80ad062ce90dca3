// The bridge's instance: LV2 ports read and written around the host library's DSP instance,
// whose blocks lie on one grid of the block size whatever lengths the host's run() calls
// have; the host library does the rest (events at their samples, dormancy, held outputs).
#include "bridge.h"

#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace kvhost::lv2 {

namespace {

constexpr int32_t kMaxBlockSize = 1 << 20;

// Whether a control port holds another value than the one last acted on, bit for bit (an
// integer comparison, the cheapest on the audio thread).
bool Differs(float value, float last) {
    return std::bit_cast<uint32_t>(value) != std::bit_cast<uint32_t>(last);
}

// An integer option's value, or an Error naming the option.
int64_t OptionInteger(const LV2_Options_Option& o, LV2_URID_Map* map, const char* what) {
    if (o.value != nullptr && o.type == map->map(map->handle, LV2_ATOM__Int) &&
        o.size == sizeof(int32_t)) {
        return *static_cast<const int32_t*>(o.value);
    }
    if (o.value != nullptr && o.type == map->map(map->handle, LV2_ATOM__Long) &&
        o.size == sizeof(int64_t)) {
        return *static_cast<const int64_t*>(o.value);
    }
    throw Error(std::string("the host's ") + what + " option is not an atom:Int or atom:Long");
}

}  // namespace

BlockChoice ChooseBlockSize(const LV2_Options_Option* options, LV2_URID_Map* map) {
    BlockChoice choice;
    if (options == nullptr || map == nullptr) {
        choice.note = std::string("the host gave no ") +
                      (options == nullptr ? "options" : "urid:map to read its options with") +
                      ", so the block size is " + std::to_string(kDefaultBlockSize);
        return choice;
    }
    const LV2_URID nominal = map->map(map->handle, LV2_BUF_SIZE__nominalBlockLength);
    const LV2_URID maximum = map->map(map->handle, LV2_BUF_SIZE__maxBlockLength);
    std::optional<int64_t> nominal_value, max_value;
    for (const LV2_Options_Option* o = options; o->key != 0 || o->value != nullptr; ++o) {
        if (o->context != LV2_OPTIONS_INSTANCE) continue;
        if (o->key == nominal)
            nominal_value = OptionInteger(*o, map, "buf-size:nominalBlockLength");
        if (o->key == maximum) max_value = OptionInteger(*o, map, "buf-size:maxBlockLength");
    }
    for (const auto& [value, name] :
         {std::pair{nominal_value, "nominalBlockLength"}, std::pair{max_value, "maxBlockLength"}}) {
        if (value && (*value <= 0 || *value > kMaxBlockSize)) {
            throw Error(std::string("the host's buf-size:") + name + " is " +
                        std::to_string(*value) + ", not between 1 and " +
                        std::to_string(kMaxBlockSize));
        }
    }
    if (nominal_value) {
        choice.block = static_cast<int32_t>(*nominal_value);
        choice.nominal = true;
    } else if (max_value) {
        choice.block = static_cast<int32_t>(*max_value);
    } else {
        choice.note =
            "the host named no block length (buf-size:nominalBlockLength or "
            "maxBlockLength), so the block size is " +
            std::to_string(kDefaultBlockSize);
    }
    return choice;
}

uint32_t RunLatency(int32_t block, bool nominal_multiple_of_block, bool fixed_or_power_of_two) {
    if (nominal_multiple_of_block && fixed_or_power_of_two) return 0;
    return static_cast<uint32_t>(block - 1);
}

Bridge::Bridge(std::shared_ptr<Plugin> plugin, double sample_rate, int32_t block_size,
               MidiUrids urids, uint32_t latency, bool keep_logs)
    : plugin_(std::move(plugin)),
      sample_rate_(sample_rate),
      block_size_(block_size),
      urids_(urids),
      latency_(latency),
      keep_logs_(keep_logs) {
    {
        // The ports come from a probe: constructed, described, never opened.
        const DspInstance probe(plugin_, sample_rate_, block_size_);
        layout_ = MakeLayout(probe);
    }
    if (latency_ >= static_cast<uint32_t>(block_size_)) {
        throw Error("a latency of " + std::to_string(latency_) +
                    " frames is not below the block size");
    }
    if (layout_.has_midi && (urids_.sequence == 0 || urids_.midi_event == 0)) {
        throw Error(
            "it reads MIDI, which needs the host's urid:map feature, and the host "
            "gave none");
    }
    data_.assign(layout_.ports.size(), nullptr);
    control_of_.assign(layout_.ports.size(), -1);
    for (const Port& p : layout_.ports) {
        switch (p.kind) {
            case PortKind::kControlIn:
                control_of_[p.index] = static_cast<int32_t>(controls_.size());
                controls_.push_back({&p, nullptr, p.default_value, -1});
                break;
            case PortKind::kAudioIn:
                signals_.push_back({&p, -1});
                break;
            case PortKind::kAudioOut:
                outputs_.push_back({&p, static_cast<int32_t>(outputs_.size()), nullptr, 0.0f, true,
                                    std::vector<float>(static_cast<std::size_t>(block_size_))});
                break;
            case PortKind::kControlOut:
                (p.role == Role::kLatency ? latency_port_ : control_out_.emplace_back()) = &p;
                break;
            case PortKind::kMidiIn:
                midi_in_.push_back(&p);
                break;
        }
    }
    for (Control& c : controls_) c.data = &c.last;  // unconnected until the host connects it
    quiet_ = midi_in_.empty() && control_out_.empty();
    for (std::size_t s = 0; s < signals_.size(); ++s) {
        const int32_t c = control_of_[signals_[s].port->volts_port];
        signals_[s].volts = c;
        controls_[static_cast<std::size_t>(c)].signal = static_cast<int32_t>(s);
    }
}

Bridge::~Bridge() = default;

// The module alone, its sample outputs the patch's outputs in pin order, its MIDI input the
// patch's live MIDI.
PatchPlan Bridge::OnePatch(const std::string& module_path) const {
    PatchPlan plan;
    plan.source = "(LV2 bundle of " + plugin_->Name() + ")";
    plan.sample_rate = sample_rate_;
    plan.sample_rate_given = true;
    plan.block_size = block_size_;
    plan.modules.push_back({"module", module_path, {}, {}});
    for (const Output& o : outputs_) plan.outputs.push_back({"module", o.port->name});
    plan.midi_live = !midi_in_.empty();
    if (!midi_in_.empty()) plan.midi_to = PatchPin{"module", midi_in_.front()->name};
    return plan;
}

void Bridge::ConnectPort(uint32_t port, void* data) {
    if (port >= data_.size()) return;
    data_[port] = data;
    if (control_of_[port] >= 0) {  // an unconnected control reads its own last value
        Control& c = controls_[static_cast<std::size_t>(control_of_[port])];
        c.data = data != nullptr ? static_cast<const float*>(data) : &c.last;
    }
    if (layout_.ports[port].kind == PortKind::kAudioIn) rewired_ = true;
    if (latency_port_ != nullptr && port == latency_port_->index && data != nullptr) {
        *static_cast<float*>(data) = static_cast<float>(latency_);
    }
}

void Bridge::Activate() {
    PatchOptions options;
    options.real_time = true;
    options.live_events = 1024;
    options.load_plugin = [this](const std::string&) { return plugin_; };
    patch_ = std::make_unique<Patch>(OnePatch(plugin_->Path()), std::move(options));
    DspInstance& dsp = patch_->Instance(0);
    if (keep_logs_) dsp.SetLogging(true);
    for (Output& o : outputs_) {  // straight into the host's buffer where the pin allows it
        o.current = nullptr;
        o.direct = dsp.UseOutputBuffer(o.port->dsp_pin, nullptr);
        std::fill(o.pending.begin(), o.pending.end(), 0.0f);
    }
    for (Control& c : controls_) c.last = c.port->default_value;
    for (Signal& s : signals_) {
        s.fed = patch_->FeedInput(0, s.port->dsp_pin);
        s.constant = s.fed[0];  // the pin's default, as the host library holds it
        s.streaming = false;
        s.filled = true;
    }
    streaming_ = false;
    rewired_ = true;
    failure_.clear();
    frames_ = 0;
    pending_at_ = 0;
    pending_count_ = 0;
    opened_ = true;
}

void Bridge::Deactivate() {
    if (patch_) dropped_events_ += patch_->DroppedEvents();
    patch_.reset();
    opened_ = false;
}

void Bridge::ApplyControl(Control& c, float v, uint64_t now) {
    if (!std::isfinite(v)) return;
    c.last = v;
    const Port& p = *c.port;
    if (p.role == Role::kVolts) {
        Signal& s = signals_[static_cast<std::size_t>(c.signal)];
        s.constant = static_cast<float>(static_cast<double>(v) * 0.1);
        s.filled = false;
        if (!s.streaming) {
            patch_->Instance(0).PostStatus(p.dsp_pin, PS_STILL, static_cast<uint32_t>(now));
        }
        return;
    }
    double value = v;
    if (p.toggled) {
        value = v > 0.0f ? 1.0 : 0.0;
    } else if (p.integer) {
        value = std::nearbyint(value);
    }
    if (p.has_range) value = std::clamp(value, double{p.minimum}, double{p.maximum});
    patch_->Set(0, p.dsp_pin, value, now, PS_STILL);
}

// Signal ports that became connected stream from now on (before the controls are read,
// so a volts port that changes with them is only noted); those that became unconnected
// hold their volts port's latest value (after the controls are read).
void Bridge::Rewire(uint64_t now, bool connecting) {
    streaming_ = false;
    for (Signal& s : signals_) {
        const bool connected = data_[s.port->index] != nullptr;
        if (connected != s.streaming && connected == connecting) {
            s.streaming = connected;
            s.filled = false;
            patch_->Instance(0).PostStatus(s.port->dsp_pin, connected ? PS_STREAM : PS_STILL,
                                           static_cast<uint32_t>(now));
        }
        streaming_ = streaming_ || s.streaming;
    }
}

void Bridge::Feed(uint32_t done, uint32_t pos, uint32_t count) {
    for (Signal& s : signals_) {
        if (s.streaming) {
            const auto* in = static_cast<const float*>(data_[s.port->index]);
            std::memcpy(s.fed + pos, in + done, count * sizeof(float));
        } else if (!s.filled) {
            std::fill(s.fed + pos, s.fed + pos + count, s.constant);
            s.filled = pos == 0 && count == static_cast<uint32_t>(block_size_);
        }
    }
}

void Bridge::QueueMidi(const Port& port, uint32_t frames, uint64_t now) {
    // The bytes as a stream: running status expanded, system messages passed over.
    ForEachMidiEvent(data_[port.index], urids_, frames,
                     [&](uint32_t frame, const uint8_t* bytes, uint32_t size) {
                         patch_->LiveMidi(now + frame, bytes, size);
                     });
}

void Bridge::Silence(uint32_t frames) {
    for (const Output& o : outputs_) {
        if (auto* out = static_cast<float*>(data_[o.port->index]))
            std::fill(out, out + frames, 0.0f);
    }
}

void Bridge::ZeroTo(uint64_t end, uint64_t now) {
    if (end <= written_) return;
    // Before the latency has passed, silence is what the outputs hold; later it is a frame
    // the module had not produced in time.
    const uint64_t due = std::max<uint64_t>(written_, latency_);
    if (end > due) late_frames_ += static_cast<std::size_t>(end - due);
    for (const Output& o : outputs_) {
        if (auto* out = static_cast<float*>(data_[o.port->index])) {
            std::fill(out + (written_ - now), out + (end - now), 0.0f);
        }
    }
    written_ = end;
}

void Bridge::TakePending(uint64_t now, uint32_t frames) {
    if (pending_count_ == 0) return;
    const uint64_t first = std::max(pending_at_, now);
    const uint64_t last = std::min(pending_at_ + pending_count_, now + frames);
    if (first < last) {
        ZeroTo(first, now);
        for (const Output& o : outputs_) {
            if (auto* out = static_cast<float*>(data_[o.port->index])) {
                std::copy(o.pending.data() + (first - pending_at_),
                          o.pending.data() + (last - pending_at_), out + (first - now));
            }
        }
        written_ = last;
    }
    // What lies beyond this run moves to the front.
    const uint64_t keep_from = std::max(pending_at_, now + frames);
    const uint64_t keep_to = pending_at_ + pending_count_;
    if (keep_from < keep_to) {
        for (Output& o : outputs_) {
            std::copy(o.pending.data() + (keep_from - pending_at_),
                      o.pending.data() + (keep_to - pending_at_), o.pending.data());
        }
        pending_at_ = keep_from;
        pending_count_ = static_cast<uint32_t>(keep_to - keep_from);
    } else {
        pending_count_ = 0;
    }
}

// The block's frames go to host frames `at` on: into this run's buffers, or kept for the
// next run. Outputs the module wrote straight into the host's buffer are already there.
void Bridge::Place(uint64_t at, uint64_t now, uint32_t frames) {
    const auto block = static_cast<uint64_t>(block_size_);
    const uint64_t end = now + frames;
    const uint64_t first = std::max(at, now);
    const uint64_t last = std::min(at + block, end);
    if (first < last) ZeroTo(first, now);
    for (Output& o : outputs_) {
        const float* produced = patch_->OutputBlock(o.channel);
        auto* out = static_cast<float*>(data_[o.port->index]);
        if (first < last && out != nullptr && produced != out + (first - now)) {
            std::copy(produced + (first - at), produced + (last - at), out + (first - now));
        }
        if (at + block > end) {  // the rest waits for the next run
            const uint64_t from = std::max(at, end);
            std::copy(produced + (from - at), produced + block, o.pending.data());
        }
    }
    if (first < last) written_ = last;
    if (at + block > end) {
        pending_at_ = std::max(at, end);
        pending_count_ = static_cast<uint32_t>(at + block - pending_at_);
    }
    late_frames_ += at < now ? static_cast<std::size_t>(std::min(now, at + block) - at) : 0;
}

// A whole block whose output lands inside this run is written straight into the host's
// buffers where the module allows it (each buffer's end first gets the output's last sample,
// where holding starts from); others go through the host library's own buffers.
void Bridge::RunBlock(uint64_t now, uint32_t frames) {
    const auto block = static_cast<uint64_t>(block_size_);
    const uint64_t at = patch_->RunClock() + latency_;
    const bool inside = at >= now && at + block <= now + frames && at == written_;
    DspInstance& dsp = patch_->Instance(0);
    for (Output& o : outputs_) {
        auto* data = static_cast<float*>(data_[o.port->index]);
        float* target = inside && data != nullptr && o.direct ? data + (at - now) : nullptr;
        if (target != o.current) {
            if (o.current == nullptr) o.last = dsp.Buffer(o.port->dsp_pin)[block - 1];
            dsp.UseOutputBuffer(o.port->dsp_pin, target, o.last);
            o.current = target;
        }
        if (target != nullptr) target[block - 1] = o.last;
    }
    patch_->RunBlock();
    for (Output& o : outputs_) {
        if (o.current != nullptr) o.last = o.current[block - 1];
    }
    Place(at, now, frames);
}

void Bridge::Run(uint32_t frames) {
    // The usual run, kept short: one whole block on the grid, nothing changed, no MIDI,
    // nothing waiting. Signals streaming in are fed as the block's whole input.
    if (frames == static_cast<uint32_t>(block_size_) && quiet_ && opened_ && !rewired_ &&
        failure_.empty() && pending_count_ == 0 && latency_ == 0) {
        bool changed = false;
        for (const Control& c : controls_) changed |= Differs(*c.data, c.last);
        if (!changed && patch_->RunClock() == frames_) [[likely]] {
            try {
                written_ = frames_;
                Feed(0, 0, frames);
                RunBlock(frames_, frames);
                frames_ += frames;
            } catch (const std::exception& e) {
                failure_ = e.what();
                Silence(frames);
            }
            return;
        }
    }
    RunAny(frames);
}

void Bridge::RunAny(uint32_t frames) {
    if (!opened_ || !failure_.empty()) {
        Silence(frames);
        return;
    }
    try {
        const uint64_t now = frames_;
        written_ = now;
        const bool rewired = rewired_;
        if (rewired) {
            rewired_ = false;
            Rewire(now, true);
        }
        for (Control& c : controls_) {
            if (Differs(*c.data, c.last)) ApplyControl(c, *c.data, now);
        }
        if (rewired) Rewire(now, false);
        for (const Port* p : midi_in_) QueueMidi(*p, frames, now);
        TakePending(now, frames);
        const auto block = static_cast<uint64_t>(block_size_);
        for (uint32_t done = 0; done < frames;) {
            const auto pos = static_cast<uint32_t>(now + done - patch_->RunClock());
            const auto count =
                static_cast<uint32_t>(std::min<uint64_t>(frames - done, block - pos));
            Feed(done, pos, count);
            done += count;
            if (pos + count == block) RunBlock(now, frames);
        }
        ZeroTo(now + frames, now);
        frames_ = now + frames;
        for (const Port* p : control_out_) {
            if (auto* out = static_cast<float*>(data_[p->index])) {
                *out = static_cast<float>(patch_->Instance(0).ReadValue(p->dsp_pin));
            }
        }
        if (latency_port_ != nullptr) {
            if (auto* out = static_cast<float*>(data_[latency_port_->index])) {
                *out = static_cast<float>(latency_);
            }
        }
    } catch (const std::exception& e) {
        failure_ = e.what();
        Silence(frames);
    } catch (...) {
        failure_ = "unknown failure";
        Silence(frames);
    }
}

}  // namespace kvhost::lv2
