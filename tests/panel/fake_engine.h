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
        kvhost::PanelPin pitch;  // the played key's pitch in volts, as a converter shows it
        pitch.index = 2;
        pitch.name = "Pitch";
        pitch.direction = DR_OUT;
        pitch.datatype = DT_FSAMPLE;
        pitch.control = kvhost::PinControl::kReadout;
        pitch.pitch = true;
        pitch.value = Get("osc", "Pitch");
        m.pins = {hz, out, pitch};
        layout.modules = {m};
        return layout;
    }
    void Set(const std::string&, const std::string& pin, const std::string& text) override {
        if (pin != "Hz") throw kvhost::Error("no pin " + pin);
        hz_ = std::stod(text);
        changed_ = true;
    }
    std::string Get(const std::string&, const std::string& pin) override {
        char text[32];
        if (pin == "Pitch" || pin == "#2") {
            std::snprintf(text, sizeof text, "%.4f", std::log2(hz_ / 13.75));
        } else {
            std::snprintf(text, sizeof text, "%g", hz_);
        }
        return text;
    }
    void Note(bool on, int32_t key, int32_t velocity) override {
        std::lock_guard lock(mutex_);
        notes_.push_back({on ? 1 : 0, key, velocity});
        if (log_ != nullptr) {
            std::fprintf(log_, "note %s %d %d\n", on ? "on" : "off", key, velocity);
            std::fflush(log_);
        }
        if (on) {
            hz_ = 440.0 * std::pow(2.0, (key - 69) / 12.0);
            changed_ = true;
        }
    }
    void Panic() override {
        std::lock_guard lock(mutex_);
        notes_.push_back({-1, 0, 0});  // a panic, among the notes
        if (log_ != nullptr) {
            std::fprintf(log_, "panic\n");
            std::fflush(log_);
        }
    }
    void Watch(const std::string& module, const std::string& pin) override {
        if (module != "osc" || (pin != "Output" && pin != "#1")) {
            throw kvhost::Error(module + "." + pin + " is not a sample output");
        }
        watched_ = true;
    }
    void Collect(kvhost::PanelUpdates& out, bool frames) override {
        if (changed_) {
            out.pins.push_back({0, 0, Get("osc", "Hz")});
            out.pins.push_back({0, 2, Get("osc", "Pitch")});
        }
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
    // Each note and panic is also written to `log` as a line ("note on 60 100", "panic").
    void Log(std::FILE* log) { log_ = log; }
    // {on, key, velocity} in order; {-1, 0, 0} for a panic.
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
    std::FILE* log_ = nullptr;
    std::vector<std::array<int32_t, 3>> notes_;
};

}  // namespace kvpanel_test
