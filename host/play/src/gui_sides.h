// The GUI sides of a playing patch, on the main thread: one for every module whose plug-in
// has one, restored from the patch's "stored" values, kept in step with their DSP sides
// through the engine's queues (values out as commands, values in as carry reports).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine.h"
#include "kvhost/host.h"
#include "kvhost/patch.h"

namespace kvhost::play {

// The GUI pins each DSP pin is carried to ([dsp pin] -> GUI indices): a pin both sides see
// goes to itself, and a DSP output "X - Out" feeds the GUI-side pin "X - In".
std::vector<std::vector<int32_t>> CarriedPins(const DspInstance& dsp, const GuiInstance& gui);

class GuiSides {
  public:
    // Creates and initialises the GUI sides: the patch's stored values restored first, then
    // GUI_INIT (true where the patch stores values for the module: a restored module). Throws
    // kvhost::Error naming a stored value that fits no pin.
    GuiSides(Engine& engine, const PatchPlan& plan);
    ~GuiSides();  // GUI_CLOSE, nothing carried any more
    GuiSides(const GuiSides&) = delete;
    GuiSides& operator=(const GuiSides&) = delete;

    GuiInstance* Gui(int32_t node) { return guis_[static_cast<std::size_t>(node)].get(); }
    // A value the DSP side announced on a carried pin, now delivered (GUI_PIN_CHANGED).
    void Receive(const Report& carry);
    uint64_t Received() const { return received_; }  // values delivered from DSP sides
    uint64_t Sent() const { return sent_; }          // values sent towards DSP sides
    // Forgets the request logs the GUI instances keep (a long play would grow them).
    void Trim();

  private:
    void OnWrite(int32_t node, int32_t index);

    Engine& engine_;
    std::vector<std::unique_ptr<GuiInstance>> guis_;  // by node; null: no GUI side
    uint64_t received_ = 0, sent_ = 0;
};

}  // namespace kvhost::play
