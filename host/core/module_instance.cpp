// Both sides of one module, with the pin values the host carries between them.
#include "kvhost/host.h"

namespace kvhost {

ModuleInstance::ModuleInstance(std::shared_ptr<Plugin> plugin, double sample_rate,
                               int32_t block_size)
    : plugin_(std::move(plugin)) {
    dsp_ = std::make_unique<DspInstance>(plugin_, sample_rate, block_size);
    gui_ = std::make_unique<GuiInstance>(plugin_);
    dsp_to_gui_.resize(static_cast<std::size_t>(dsp_->PinCount()));
    for (const PinInfo& p : dsp_->Pins()) {
        if (p.IsGuiSide() && p.dsp_index >= 0) {
            dsp_to_gui_[static_cast<std::size_t>(p.dsp_index)].push_back(p.index);
        }
    }
    dsp_->SetStatusListener([this](const DspInstance::StatusRecord& s) { OnStatus(s); });
    gui_->SetWriteListener([this](int32_t index) { OnGuiWrite(index); });
}

ModuleInstance::~ModuleInstance() {
    // What either side says while closing has nowhere to go.
    gui_->SetWriteListener(nullptr);
    dsp_->SetStatusListener(nullptr);
    gui_.reset();
    dsp_.reset();
}

void ModuleInstance::Carry(std::string_view dsp_output, std::string_view gui_pin) {
    const int32_t from = dsp_->DspPin(dsp_output);
    const int32_t to = gui_->PinIndex(gui_pin);
    dsp_to_gui_[static_cast<std::size_t>(from)].push_back(to);
}

void ModuleInstance::Open(bool gui_flag) {
    gui_->Init(gui_flag);
    dsp_->Open();
    DeliverCarries(false);
}

void ModuleInstance::Run(uint32_t samples) {
    dsp_->Run(samples);
    DeliverCarries(false);
}

void ModuleInstance::OnStatus(const DspInstance::StatusRecord& s) {
    const auto& targets = dsp_to_gui_[static_cast<std::size_t>(s.pin)];
    if (targets.empty()) return;
    const bool from_buffer = dsp_->DspPinInfo(s.pin).datatype == DT_FSAMPLE;
    // A member's value is taken as the module announces it; a sample stream's value at the
    // announced clock once that sample has been produced.
    const double value = from_buffer ? 0.0 : dsp_->ReadValue(s.pin);
    for (int32_t gui_index : targets) {
        pending_.push_back({s.pin, gui_index, s.clock, value, from_buffer});
    }
}

void ModuleInstance::DeliverCarries(bool all) {
    if (carrying_to_gui_) return;
    carrying_to_gui_ = true;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        PendingCarry c = pending_[i];
        double value = c.value;
        if (c.from_buffer) {
            const auto& out = dsp_->Output(c.dsp_pin);
            if (c.clock >= out.size()) {
                if (!all) pending_[kept++] = c;  // not produced yet
                continue;
            }
            value = out[c.clock];
        }
        const PinInfo& target = gui_->Pins()[static_cast<std::size_t>(c.gui_index)];
        if (target.datatype == DT_REAL32 || target.datatype == DT_FSAMPLE ||
            target.datatype == DT_STRING) {
            gui_->ReceiveFloat(c.gui_index, static_cast<float>(value), true);
        } else {
            gui_->ReceiveInt(c.gui_index, static_cast<int32_t>(value), true);
        }
        ++carried_;
    }
    pending_.resize(kept);
    carrying_to_gui_ = false;
}

void ModuleInstance::OnGuiWrite(int32_t index) {
    const PinInfo& pin = gui_->Pins()[static_cast<std::size_t>(index)];
    if (!pin.IsGuiSide() || pin.dsp_index < 0 || pin.IsOutput()) return;
    if (pin.datatype == DT_STRING || pin.datatype == DT_MIDI_STREAM) return;
    const double value = pin.datatype == DT_REAL32 || pin.datatype == DT_FSAMPLE
                             ? static_cast<double>(gui_->Float(index))
                             : static_cast<double>(gui_->Int(index));
    dsp_->SetValue(pin.dsp_index, value, dsp_->Clock());
}

}  // namespace kvhost
