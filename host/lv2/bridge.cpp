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

Bridge::Bridge(std::shared_ptr<Plugin> plugin, double sample_rate, int32_t block_size,
               MidiUrids urids, bool keep_logs)
    : plugin_(std::move(plugin)),
      sample_rate_(sample_rate),
      block_size_(block_size),
      urids_(urids),
      keep_logs_(keep_logs) {
    CreateInstance();
    layout_ = MakeLayout(*dsp_);
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
                signals_.push_back({&p, -1, nullptr});
                break;
            case PortKind::kAudioOut:
                outputs_.push_back({&p, nullptr, nullptr, 0.0f, true});
                break;
            case PortKind::kControlOut:
                control_out_.push_back(&p);
                break;
            case PortKind::kMidiIn:
                midi_in_.push_back(&p);
                break;
        }
    }
    for (Control& c : controls_) c.data = &c.last;  // unconnected until the host connects it
    for (Output& o : outputs_) o.data = &data_[o.port->index];
    quiet_ = midi_in_.empty() && control_out_.empty();
    streaming_.reserve(signals_.size());
    for (std::size_t s = 0; s < signals_.size(); ++s) {
        const int32_t c = control_of_[signals_[s].port->volts_port];
        signals_[s].volts = c;
        controls_[static_cast<std::size_t>(c)].signal = static_cast<int32_t>(s);
    }
}

Bridge::~Bridge() = default;

void Bridge::CreateInstance() {
    dsp_ = std::make_unique<DspInstance>(plugin_, sample_rate_, block_size_);
    // Nothing recorded, a queue that never grows: a full one drops MIDI events and counts them.
    dsp_->SetRealTime(true);
    dsp_->SetLogging(keep_logs_);
}

void Bridge::ConnectPort(uint32_t port, void* data) {
    if (port >= data_.size()) return;
    data_[port] = data;
    if (control_of_[port] >= 0) {  // an unconnected control reads its own last value
        Control& c = controls_[static_cast<std::size_t>(control_of_[port])];
        c.data = data != nullptr ? static_cast<const float*>(data) : &c.last;
    }
    if (layout_.ports[port].kind == PortKind::kAudioIn) rewired_ = true;
}

void Bridge::Activate() {
    if (!dsp_) CreateInstance();
    for (Output& o : outputs_) {  // straight into the host's buffer where the pin allows it
        o.current = nullptr;
        o.direct = dsp_->UseOutputBuffer(o.port->dsp_pin, nullptr);
    }
    for (Control& c : controls_) c.last = c.port->default_value;
    for (Signal& s : signals_) s.fed = nullptr;
    streaming_.clear();
    rewired_ = true;
    failure_.clear();
    dsp_->Open();
    opened_ = true;
}

void Bridge::Deactivate() {
    if (dsp_) dropped_events_ += dsp_->DroppedEvents();
    dsp_.reset();
    opened_ = false;
}

void Bridge::ApplyControl(Control& c, float v, uint32_t now) {
    if (!std::isfinite(v)) return;
    c.last = v;
    const Port& p = *c.port;
    if (p.role == Role::kVolts) {
        if (signals_[static_cast<std::size_t>(c.signal)].fed == nullptr) {
            dsp_->SetConstant(p.dsp_pin, static_cast<float>(static_cast<double>(v) * 0.1), now,
                              PS_STILL);
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
    dsp_->SetValue(p.dsp_pin, value, now, PS_STILL);
}

// Signal ports that became connected stream from now on (before the controls are read,
// so a volts port that changes with them is only noted); those that became unconnected
// hold their volts port's latest value (after the controls are read).
void Bridge::Rewire(uint32_t now, bool connecting) {
    for (Signal& s : signals_) {
        const bool connected = data_[s.port->index] != nullptr;
        if (connecting && connected && s.fed == nullptr) {
            s.fed = dsp_->FeedInput(s.port->dsp_pin);
            dsp_->PostStatus(s.port->dsp_pin, PS_STREAM, now);
            streaming_.push_back(&s);  // within the capacity reserved for every signal port
        } else if (!connecting && !connected && s.fed != nullptr) {
            streaming_.erase(std::find(streaming_.begin(), streaming_.end(), &s));
            s.fed = nullptr;
            const float volts = controls_[static_cast<std::size_t>(s.volts)].last;
            dsp_->SetConstant(s.port->dsp_pin, static_cast<float>(static_cast<double>(volts) * 0.1),
                              now, PS_STILL);
        }
    }
}

void Bridge::QueueMidi(const Port& port, uint32_t frames, uint32_t now) {
    const auto* seq = static_cast<const LV2_Atom_Sequence*>(data_[port.index]);
    if (seq == nullptr || seq->atom.type != urids_.sequence ||
        seq->atom.size < sizeof(LV2_Atom_Sequence_Body)) {
        return;
    }
    // Times in frames (or, in any other unit, at the start of the run).
    const bool in_frames = seq->body.unit == 0 || seq->body.unit == urids_.frame_time;
    // Offsets from the body's start (right after the atom header); every event is checked to
    // lie inside the atom.
    const auto* body = reinterpret_cast<const uint8_t*>(seq) + sizeof(LV2_Atom);
    const std::size_t end = seq->atom.size;
    for (std::size_t at = sizeof(LV2_Atom_Sequence_Body);
         at <= end && end - at >= sizeof(LV2_Atom_Event);) {
        const auto* ev = reinterpret_cast<const LV2_Atom_Event*>(body + at);
        const uint32_t size = ev->body.size;
        if (size > end - at - sizeof(LV2_Atom_Event)) break;
        if (ev->body.type == urids_.midi_event && size >= 1) {
            const auto* msg = reinterpret_cast<const uint8_t*>(ev + 1);
            int64_t frame = in_frames ? ev->time.frames : 0;
            frame = std::clamp<int64_t>(frame, 0, frames > 0 ? frames - 1 : 0);
            // The host library's sample clock does not wrap around inside its queue.
            frame = std::min<int64_t>(frame, std::numeric_limits<uint32_t>::max() - now);
            dsp_->SendMidi(port.dsp_pin, now + static_cast<uint32_t>(frame), msg[0],
                           size > 1 ? msg[1] : 0, size > 2 ? msg[2] : 0);
        }
        at += sizeof(LV2_Atom_Event) + lv2_atom_pad_size(size);
    }
}

uint32_t Bridge::BlockPosition() const {
    const uint32_t pos = dsp_->Clock() - dsp_->BlockStart();
    return pos < static_cast<uint32_t>(block_size_) ? pos : 0;
}

void Bridge::Silence(uint32_t frames) {
    for (const Output& o : outputs_) {
        if (auto* out = static_cast<float*>(data_[o.port->index]))
            std::fill(out, out + frames, 0.0f);
    }
}

// One whole block from a block boundary. Outputs the module writes into the host's
// buffers directly where it can (the host library is told when a buffer changes, and each
// buffer's end gets the output's last sample first, where holding starts from); others are
// copied.
inline void Bridge::RunBlock(uint32_t done) {
    const auto block = static_cast<std::size_t>(block_size_);
    for (Output& o : outputs_) {
        auto* data = static_cast<float*>(*o.data);
        float* target = data != nullptr && o.direct ? data + done : nullptr;
        if (target != o.current) {
            if (o.current == nullptr) o.last = dsp_->Buffer(o.port->dsp_pin)[block - 1];
            dsp_->UseOutputBuffer(o.port->dsp_pin, target, o.last);
            o.current = target;
        }
        if (target != nullptr) target[block - 1] = o.last;
    }
    dsp_->Run(static_cast<uint32_t>(block));
    for (Output& o : outputs_) {
        if (o.current != nullptr) {
            o.last = o.current[block - 1];
        } else if (auto* data = static_cast<float*>(*o.data)) {
            std::memcpy(data + done, dsp_->Buffer(o.port->dsp_pin), block * sizeof(float));
        }
    }
}

// Part of a block: the outputs are the host library's own buffers, copied out.
void Bridge::RunPart(uint32_t done, uint32_t pos, uint32_t count) {
    for (Output& o : outputs_) {
        if (o.current == nullptr) continue;  // only ever set at a block boundary, as now
        dsp_->UseOutputBuffer(o.port->dsp_pin, nullptr, o.last);
        o.current = nullptr;
    }
    dsp_->Run(count);
    for (const Output& o : outputs_) {
        if (auto* data = static_cast<float*>(data_[o.port->index])) {
            std::memcpy(data + done, dsp_->Buffer(o.port->dsp_pin) + pos, count * sizeof(float));
        }
    }
}

void Bridge::Run(uint32_t frames) {
    // The usual run, kept short: one whole block, nothing changed, no MIDI, nothing
    // streaming in.
    if (frames == static_cast<uint32_t>(block_size_) && quiet_ && opened_ && streaming_.empty() &&
        !rewired_ && failure_.empty()) {
        bool changed = false;
        for (const Control& c : controls_) changed |= Differs(*c.data, c.last);
        if (!changed && BlockPosition() == 0) [[likely]] {
            try {
                RunBlock(0);
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
        const uint32_t now = dsp_->Clock();
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
        const auto block = static_cast<uint32_t>(block_size_);
        for (uint32_t done = 0; done < frames;) {
            const uint32_t pos = BlockPosition();
            const uint32_t count = std::min(frames - done, block - pos);
            for (const Signal* s : streaming_) {
                const auto* in = static_cast<const float*>(data_[s->port->index]);
                std::memcpy(s->fed + pos, in + done, count * sizeof(float));
            }
            if (count == block) {
                RunBlock(done);
            } else {
                RunPart(done, pos, count);
            }
            done += count;
        }
        for (const Port* p : control_out_) {
            if (auto* out = static_cast<float*>(data_[p->index])) {
                *out = static_cast<float>(dsp_->ReadValue(p->dsp_pin));
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
