// A model standing for a playing patch, for the server tests and the keyboard, scope and
// spectrum of the page in the browser.
#pragma once

#include <array>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "kvhost/panel.h"

namespace kvpanel_test {

// A model standing for a playing patch: one oscillator whose output is a sine at the pitch of
// the last note, recorded into a SignalWindow as the live engine's recording path would feed it.
class FakeEngine : public kvhost::PanelModel {
  public:
    kvhost::PanelLayout Layout() override {
        kvhost::PanelLayout layout;
        layout.title = "fake";
        layout.mode = "playing";
        layout.midi_input = true;
        layout.sample_rate = kRate;
        kvhost::PanelModule m;
        m.name = "osc";
        m.plugin = "fake";
        kvhost::PanelPin hz;
        hz.index = 0;
        hz.name = "Hz";
        hz.datatype = DT_REAL32;
        hz.control = kvhost::PinControl::kNumber;
        hz.value = Get("osc", "Hz");
        kvhost::PanelPin out;
        out.index = 1;
        out.name = "Output";
        out.direction = DR_OUT;
        out.datatype = DT_FSAMPLE;
        out.control = kvhost::PinControl::kScope;
        m.pins = {hz, out};
        layout.modules = {m};
        return layout;
    }
    void Set(const std::string&, const std::string& pin, const std::string& text) override {
        if (pin != "Hz") throw kvhost::Error("no pin " + pin);
        hz_ = std::stod(text);
        changed_ = true;
    }
    std::string Get(const std::string&, const std::string&) override {
        char text[32];
        std::snprintf(text, sizeof text, "%g", hz_);
        return text;
    }
    void Note(bool on, int32_t key, int32_t velocity) override {
        std::lock_guard lock(mutex_);
        notes_.push_back({on ? 1 : 0, key, velocity});
        if (on) {
            hz_ = 440.0 * std::pow(2.0, (key - 69) / 12.0);
            changed_ = true;
        }
    }
    void Watch(const std::string& module, const std::string& pin) override {
        if (module != "osc" || (pin != "Output" && pin != "#1")) {
            throw kvhost::Error(module + "." + pin + " is not a sample output");
        }
        watched_ = true;
    }
    void Collect(kvhost::PanelUpdates& out, bool frames) override {
        if (changed_) out.pins.push_back({0, 0, Get("osc", "Hz")});
        changed_ = false;
        if (!frames) return;
        std::vector<float> block(static_cast<std::size_t>(kRate / 30));
        for (float& s : block) {
            s = static_cast<float>(0.5 * std::sin(phase_));
            phase_ = std::fmod(phase_ + 2 * 3.14159265358979323846 * hz_ / kRate,
                               2 * 3.14159265358979323846);
        }
        window_.Push(block.data(), block.size());
        kvhost::ScopeFrame f = window_.Scope();
        f.module = 0;
        f.pin = 1;
        out.scopes.push_back(std::move(f));
        if (watched_) {
            out.spectrum = window_.Spectrum();
            out.spectrum->pin = 1;
        }
    }
    std::vector<std::array<int32_t, 3>> Notes() {
        std::lock_guard lock(mutex_);
        return notes_;
    }

  private:
    static constexpr double kRate = 48000.0;
    kvhost::SignalWindow window_{kRate};
    double hz_ = 440.0, phase_ = 0.0;
    bool changed_ = false, watched_ = false;
    std::mutex mutex_;
    std::vector<std::array<int32_t, 3>> notes_;
};

}  // namespace kvpanel_test
