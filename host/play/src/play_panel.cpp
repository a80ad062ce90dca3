// The panel of a playing patch over play's control path.
#include "play_panel.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace kvhost::play {

namespace {

// The played frames the ring holds for the panel: a second of stereo at 96 kHz.
constexpr std::size_t kMonitorSamples = 1 << 18;

}  // namespace

PlayPanel::PlayPanel(Engine& engine, GuiSides& guis, Control& control, const PatchPlan& plan,
                     const std::vector<std::string>& outputs)
    : engine_(engine), guis_(guis), control_(control), plan_(plan), monitor_(kMonitorSamples) {
    const auto& order = engine_.GetPatch().Order();
    const double rate = engine_.GetPatch().SampleRate();
    for (const std::string& output : outputs) {
        Channel c{-1, -1, SignalWindow(rate)};
        const auto dot = output.find('.');
        for (std::size_t n = 0; n < order.size() && dot != std::string::npos; ++n) {
            if (order[n] != output.substr(0, dot)) continue;
            const std::vector<int32_t> named =
                PinsNamed(engine_.Node(static_cast<int32_t>(n)).Pins(), output.substr(dot + 1));
            if (named.empty()) continue;
            c.module = static_cast<int32_t>(n);
            c.pin = named.front();
        }
        channels_.push_back(std::move(c));
    }
    // The values as the patch opened; the audio thread has not started, so they are read here.
    for (int32_t n = 0; n < engine_.NodeCount(); ++n) {
        const DspInstance& dsp = engine_.Node(n);
        std::vector<std::string> values;
        for (const PinInfo& p : dsp.Pins()) {
            Control::PinValue v{control_.PinTarget(n, p), false, 0.0};
            v.asked = !v.target.gui && p.dsp_index >= 0 && p.datatype != DT_MIDI_STREAM &&
                      p.datatype != DT_STRING;
            if (v.asked) v.value = dsp.ReadValue(p.dsp_index);
            values.push_back(ValueText(v));
        }
        set_at_.emplace_back(values.size(), 0);
        now_.push_back(values);
        shown_.push_back(std::move(values));
    }
    taken_.resize(kMonitorSamples);
    engine_.Monitor(&monitor_);
}

PlayPanel::~PlayPanel() {
    engine_.Monitor(nullptr);
}

std::string PlayPanel::ValueText(const Control::PinValue& v) const {
    const PinInfo& pin = *v.target.pin;
    if (v.target.gui) return guis_.Gui(v.target.node)->Text(v.target.index);
    if (!v.asked) return "";
    switch (pin.datatype) {
        case DT_REAL32:
        case DT_FSAMPLE:
            return FormatPinValue(pin, v.value);  // a sample pin in volts
        default:
            return std::to_string(std::llround(v.value));  // a choice or switch by its number
    }
}

std::string PlayPanel::WiredFrom(int32_t node, const std::string& pin) const {
    const std::string& module = engine_.GetPatch().Order()[static_cast<std::size_t>(node)];
    for (const auto& w : plan_.wires) {
        if (w.to.module == module && w.to.pin == pin) return w.from.module + "." + w.from.pin;
    }
    return "";
}

PanelLayout PlayPanel::Layout() {
    PanelLayout layout;
    layout.title = std::filesystem::path(plan_.source).filename().string();
    layout.mode = "playing live";
    layout.wires = plan_.wires;
    layout.midi_input = engine_.TakesLiveMidi();
    layout.learn = engine_.TakesLiveMidi();
    layout.sample_rate = engine_.GetPatch().SampleRate();
    const auto& order = engine_.GetPatch().Order();
    for (int32_t n = 0; n < engine_.NodeCount(); ++n) {
        const DspInstance& dsp = engine_.Node(n);
        const KVModuleInfo& info = dsp.GetPlugin()->Info();
        PanelModule m;
        m.name = order[static_cast<std::size_t>(n)];
        m.plugin = dsp.GetPlugin()->Name();
        m.about = info.about != nullptr ? info.about : "";
        for (const PinInfo& p : dsp.Pins()) {
            PanelPin pin = PanelPinFor(p, guis_.Gui(n) != nullptr, true, WiredFrom(n, p.name));
            pin.value = now_[static_cast<std::size_t>(n)][static_cast<std::size_t>(p.index)];
            pin.learn =
                layout.learn && !p.IsOutput() && control_.Learnable(control_.PinTarget(n, p));
            if (pin.control == PinControl::kScope &&
                std::none_of(channels_.begin(), channels_.end(),
                             [&](const Channel& c) { return c.module == n && c.pin == p.index; })) {
                pin.control = PinControl::kReadout;
                pin.note = "not an audio output";
            }
            m.pins.push_back(std::move(pin));
        }
        layout.modules.push_back(std::move(m));
    }
    return layout;
}

void PlayPanel::Set(const std::string& module, const std::string& pin, const std::string& text) {
    const Control::Target t = control_.Find(module, pin);
    control_.SetQuietly(t, text);
    if (t.gui) return;  // read back from the GUI side itself
    // Shown at once as the value it will be; a gathering already on its way from before this
    // change does not put the old value back.
    const auto n = static_cast<std::size_t>(t.node), i = static_cast<std::size_t>(t.index);
    set_at_[n][i] = ++sets_;
    double value = *ValueFromText(*t.pin, text);
    if (t.pin->datatype == DT_FSAMPLE) value = static_cast<double>(static_cast<float>(value * 0.1));
    now_[n][i] = ValueText({t, true, value});
}

std::string PlayPanel::Get(const std::string& module, const std::string& pin) {
    const Control::Target t = control_.Find(module, pin);
    if (t.gui) return guis_.Gui(t.node)->Text(t.index);
    return now_[static_cast<std::size_t>(t.node)][static_cast<std::size_t>(t.index)];
}

void PlayPanel::Panic() {
    engine_.Submit({Command::kPanic, 0, 0, 0.0, 0});
}

void PlayPanel::Note(bool on, int32_t key, int32_t velocity) {
    if (!engine_.TakesLiveMidi()) {
        throw Error(
            "the patch takes no live MIDI (\"midi\": \"live\" in the patch), so notes go "
            "nowhere");
    }
    if (key < 0 || key > 127 || velocity < 0 || velocity > 127) {
        throw Error("a note's key and velocity are 0 to 127");
    }
    const auto status = static_cast<uint8_t>(on ? 0x90 : 0x80);
    if (!engine_.SendLive(status, static_cast<uint8_t>(key), static_cast<uint8_t>(velocity))) {
        throw Error("too many notes at once; this one was not played");
    }
}

void PlayPanel::Learn(const std::string& module, const std::string& pin) {
    control_.Learn(control_.Find(module, pin));
}

void PlayPanel::Forget() {
    control_.Forget();
}

void PlayPanel::Unmap(int32_t cc, const std::string& module, const std::string& pin) {
    control_.UnmapQuietly(cc, control_.Find(module, pin));
}

PanelMaps PlayPanel::Maps() {
    PanelMaps maps;
    for (const Patch::Mapping& m : control_.Mappings()) {
        maps.mappings.push_back({m.cc, m.channel, m.node,
                                 engine_.Node(m.node).DspPinInfo(m.dsp_pin).index, m.low, m.high});
    }
    if (const auto& t = control_.Learning()) {
        maps.learn_module = t->node;
        maps.learn_pin = t->index;
    }
    return maps;
}

void PlayPanel::Controller(int32_t channel, int32_t cc, int32_t value) {
    if (!engine_.TakesLiveMidi()) {
        throw Error(
            "the patch takes no live MIDI (\"midi\": \"live\" in the patch), so "
            "controllers go nowhere");
    }
    if (channel < 1 || channel > 16 || cc < 0 || cc > 127 || value < 0 || value > 127) {
        throw Error("a controller's channel is 1 to 16, its number and value 0 to 127");
    }
    if (!engine_.SendLive(static_cast<uint8_t>(0xB0 | (channel - 1)), static_cast<uint8_t>(cc),
                          static_cast<uint8_t>(value))) {
        throw Error("too many MIDI messages at once; this controller was not passed on");
    }
}

void PlayPanel::Watch(const std::string& module, const std::string& pin) {
    const Control::Target t = control_.Find(module, pin);
    for (std::size_t c = 0; c < channels_.size(); ++c) {
        if (channels_[c].module == t.node && channels_[c].pin == t.index) {
            watched_ = static_cast<int32_t>(c);
            return;
        }
    }
    throw Error(QuoteText(t.name) +
                " is not among the patch's audio outputs, so it has no spectrum");
}

void PlayPanel::TakeFrames() {
    const std::size_t width = std::max<std::size_t>(channels_.size(), 1);
    std::vector<float> one;
    while (true) {
        const std::size_t got = monitor_.Read(taken_.data(), taken_.size() / width * width);
        if (got == 0) return;
        const std::size_t frames = got / width;
        one.resize(frames);
        for (std::size_t c = 0; c < channels_.size(); ++c) {
            for (std::size_t f = 0; f < frames; ++f) one[f] = taken_[f * width + c];
            channels_[c].window.Push(one.data(), frames);
        }
    }
}

void PlayPanel::Collect(PanelUpdates& out, bool frames) {
    TakeFrames();
    const auto now = std::chrono::steady_clock::now();
    if (!asking_ && now - asked_ >= kAskEvery) {
        asking_ = true;
        asked_ = now;
        control_.Snapshot([this, since = sets_](const std::vector<Control::PinValue>& rows) {
            asking_ = false;
            for (const Control::PinValue& r : rows) {
                const auto n = static_cast<std::size_t>(r.target.node);
                const auto i = static_cast<std::size_t>(r.target.index);
                if (set_at_[n][i] <= since) now_[n][i] = ValueText(r);
            }
        });
    }
    for (std::size_t n = 0; n < now_.size(); ++n) {
        const GuiInstance* gui = guis_.Gui(static_cast<int32_t>(n));
        for (std::size_t i = 0; i < now_[n].size(); ++i) {
            // GUI-side values are the main thread's own: read as they are now.
            if (gui != nullptr && gui->Pins()[i].IsGuiSide()) {
                now_[n][i] = gui->Text(static_cast<int32_t>(i));
            }
            if (now_[n][i] == shown_[n][i]) continue;
            shown_[n][i] = now_[n][i];
            out.pins.push_back({static_cast<int32_t>(n), static_cast<int32_t>(i), now_[n][i]});
        }
    }
    if (control_.MapVersion() != maps_sent_) {
        maps_sent_ = control_.MapVersion();
        out.maps = Maps();
    }
    if (!frames) return;
    for (const Channel& c : channels_) {
        if (c.module < 0 || c.window.Filled() == 0) continue;
        ScopeFrame f = c.window.Scope();
        f.module = c.module;
        f.pin = c.pin;
        out.scopes.push_back(std::move(f));
    }
    if (watched_ < static_cast<int32_t>(channels_.size())) {
        const Channel& c = channels_[static_cast<std::size_t>(watched_)];
        if (c.module >= 0 && c.window.Filled() > 0) {
            SpectrumFrame s = c.window.Spectrum();
            s.module = c.module;
            s.pin = c.pin;
            out.spectrum = std::move(s);
        }
    }
}

}  // namespace kvhost::play
