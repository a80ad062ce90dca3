// Live control while playing: lines such as "set osc.OP1 Pitch 6", "get", "pins", "status",
// "save FILE" and "quit", checked on the main thread. DSP-side changes and questions go
// through the engine's queues, GUI-side pins are served at once; replies come out in the
// order of the lines, a wrong line gets one line of error and changes nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine.h"
#include "gui_sides.h"
#include "kvhost/patch.h"

namespace kvhost::play {

// A pin value as a patch writes it: a choice's label, volts for a sample pin, the shortest
// number that reads back to the same value otherwise (`value` in the pin's own unit).
std::string FormatPinValue(const PinInfo& pin, double value);

class Control {
  public:
    struct Output {
        std::function<void(const std::string&)> reply;  // one reply, possibly several lines
        std::function<void(const std::string&)> error;  // one line
        std::function<std::string()> status;            // the status, as `status` shows it
    };
    // `patch_text` is the played patch file's JSON (`save` keeps all of it but the values).
    Control(Engine& engine, GuiSides& guis, const PatchPlan& plan, std::string patch_path,
            std::string patch_text, Output output);

    void Line(const std::string& line);
    // The main thread's turn: what the audio thread reported taken (values to the GUI sides,
    // answers), the commands waiting for room handed on, the complete replies printed.
    void Exchange();
    bool QuitAsked() const { return quit_; }
    std::size_t Waiting() const { return replies_.size(); }

  private:
    struct Target {
        int32_t node = -1;
        int32_t index = -1;  // description index
        const PinInfo* pin = nullptr;
        bool gui = false;  // the GUI side holds it
        std::string name;  // "module.pin" as written
    };
    // Waits for the answers with these ids, then makes the reply text (or an error, which
    // starts with "error: ").
    struct Reply {
        std::vector<uint32_t> ids;
        std::function<std::string()> finish;
    };

    Target Resolve(const std::string& spec, std::string* value) const;
    Target PinTarget(int32_t node, const PinInfo& pin) const;
    void Set(const std::string& args);
    void Get(const std::string& args);
    void Pins();
    void Save(const std::string& args);
    uint32_t Ask(int32_t node, int32_t dsp_pin);  // a kGet; returns its id
    uint32_t Sync();                              // a kSync; returns its id
    void Pump();                                  // prints the replies that are complete, in order
    std::string GuiValue(const Target& t) const;
    void Now(std::string text);
    bool IsWired(int32_t node, const std::string& pin) const;

    Engine& engine_;
    GuiSides& guis_;
    const PatchPlan& plan_;
    std::string patch_path_, patch_text_;
    Output out_;
    std::deque<Reply> replies_;
    std::map<uint32_t, Report> answers_;
    uint32_t next_id_ = 1;
    uint64_t line_number_ = 0;
    bool quit_ = false;
};

}  // namespace kvhost::play
