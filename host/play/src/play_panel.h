// The panel of a playing patch: the page's model over play's control path. Values go in as
// `set` does (Control), are read back through the same questions `pins` asks, notes go into
// the live MIDI input, and the scopes and spectrum are cut from the played frames.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "control.h"
#include "engine.h"
#include "gui_sides.h"
#include "kvhost/panel.h"
#include "spsc_queue.h"

namespace kvhost::play {

class PlayPanel : public PanelModel {
  public:
    // How often the DSP sides' values are asked for: well inside the page's 100 ms.
    static constexpr std::chrono::milliseconds kAskEvery{30};

    // `outputs`: the output channels as "module.pin", in channel order. Call before the
    // audio starts: it hands the engine the ring the played frames come back through.
    PlayPanel(Engine& engine, GuiSides& guis, Control& control, const PatchPlan& plan,
              const std::vector<std::string>& outputs);
    ~PlayPanel() override;

    PanelLayout Layout() override;
    void Set(const std::string& module, const std::string& pin, const std::string& text) override;
    std::string Get(const std::string& module, const std::string& pin) override;
    void Note(bool on, int32_t key, int32_t velocity) override;
    // All notes and sound off at the next period, the voices freed (the `panic` line's work).
    void Panic() override;
    void Watch(const std::string& module, const std::string& pin) override;
    // MIDI learn and the mappings, through the control lines' own path (map, unmap).
    void Learn(const std::string& module, const std::string& pin) override;
    void Forget() override;
    void Unmap(int32_t cc, const std::string& module, const std::string& pin) override;
    PanelMaps Maps() override;
    void Controller(int32_t channel, int32_t cc, int32_t value) override;
    // Asks the DSP sides' values (answered on a later turn of Control::Exchange, which the
    // caller runs), takes the played frames, and sends what changed.
    void Collect(PanelUpdates& out, bool frames) override;

  private:
    struct Channel {
        int32_t module = -1, pin = -1;  // in the layout
        SignalWindow window;
    };
    std::string ValueText(const Control::PinValue& v) const;
    std::string WiredFrom(int32_t node, const std::string& pin) const;
    void TakeFrames();

    Engine& engine_;
    GuiSides& guis_;
    Control& control_;
    const PatchPlan& plan_;
    SpscQueue<float> monitor_;
    std::vector<Channel> channels_;
    std::vector<float> taken_;                     // interleaved frames off the monitor ring
    std::vector<std::vector<std::string>> now_;    // [node][pin]: the value as last gathered
    std::vector<std::vector<std::string>> shown_;  // [node][pin]: the value the pages last got
    std::vector<std::vector<uint64_t>> set_at_;    // [node][pin]: the Set that last changed it
    uint64_t sets_ = 0;                            // Sets of DSP pins so far
    int32_t watched_ = 0;                          // the channel the spectrum shows
    bool asking_ = false;                          // a Snapshot is on its way
    uint64_t maps_sent_ = 0;                       // Control::MapVersion() the pages have
    std::chrono::steady_clock::time_point asked_{};
};

}  // namespace kvhost::play
