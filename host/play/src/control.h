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

    struct Target {
        int32_t node = -1;
        int32_t index = -1;  // description index
        const PinInfo* pin = nullptr;
        bool gui = false;  // the GUI side holds it
        std::string name;  // "module.pin" as written
    };
    // A pin's value as the lines gather it: `asked` when the audio thread gave `value` (a DSP
    // pin holding a value); otherwise the GUI side holds it, or it holds no value.
    struct PinValue {
        Target target;
        bool asked = false;
        double value = 0.0;
    };

    void Line(const std::string& line);

    // ---- The same control for the panel: nothing printed, refusals thrown ----------------
    // Pin `pin` (a name or "#N") of `module`; Error naming what is wrong.
    Target Find(const std::string& module, const std::string& pin) const;
    Target PinTarget(int32_t node, const PinInfo& pin) const;  // a pin of node `node`
    // Sets it as `set` does; Error (nothing changed) for a value `set` refuses.
    void SetQuietly(const Target& t, const std::string& text);
    // Every pin of every module, once the changes queued before have run; `done` gets them
    // (in patch and table order) on a later Exchange.
    void Snapshot(std::function<void(const std::vector<PinValue>&)> done);

    // The main thread's turn: what the audio thread reported taken (values to the GUI sides,
    // answers), the commands waiting for room handed on, the complete replies printed.
    void Exchange();
    bool QuitAsked() const { return quit_; }
    std::size_t Waiting() const { return replies_.size(); }

  private:
    // Waits for the answers with these ids, then makes the reply text (or an error, which
    // starts with "error: ").
    struct Reply {
        std::vector<uint32_t> ids;
        std::function<std::string()> finish;
        bool quiet = false;  // the reply is not printed (an error still is)
    };

    Target Resolve(const std::string& named, std::string* value) const;
    int32_t NodeNamed(const std::string& module) const;  // Error listing the modules
    std::string ModuleList() const;                      // "keys, voice"
    void Set(const std::string& args);
    void Apply(const Target& t, std::string text, bool quiet);
    void Get(const std::string& args);
    void Pins();
    // Asks every pin's value; `finish` makes the reply from them.
    void Gather(std::function<std::string(const std::vector<PinValue>&)> finish, bool quiet);
    void Save(const std::string& args);
    void Panic();
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
