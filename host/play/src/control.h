// Live control while playing: lines such as "set osc.OP1 Pitch 6", "get", "pins", "status",
// "save FILE" and "quit", checked on the main thread. DSP-side changes and questions go
// through the engine's queues, GUI-side pins are served at once; replies come out in the
// order of the lines, a wrong line gets one line of error and changes nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
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
    // MIDI learn: the next controller message on the live MIDI input maps its controller
    // and channel to the pin over the pin's own range (Error when no controller may drive
    // it; another pin waiting to learn is forgotten). Forget: none waits any more.
    void Learn(const Target& t);
    void Forget();
    // The pin waiting for a controller, if any (until its mapping is reported made).
    const std::optional<Target>& Learning() const { return learning_; }
    // Removes controller `cc`'s mappings to `t` (as `unmap CC MODULE.PIN`); Error when none.
    void UnmapQuietly(int32_t cc, const Target& t);
    // Whether a controller may drive the pin over its own range (learn takes it).
    bool Learnable(const Target& t) const;
    // The controller mappings as lines and the panel see them (by controller, any channel
    // first), and a count that changes whenever they do.
    const std::vector<Patch::Mapping>& Mappings() const { return map_; }
    uint64_t MapVersion() const { return map_version_; }
    std::string PinName(int32_t node, int32_t dsp_pin) const;  // "module.pin"

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
    void Map(const std::string& args);
    void Unmap(const std::string& args);
    void Maps();
    // The mapping made or replaced in map_ (kept in Patch::MidiMap's order).
    void Remember(const Patch::Mapping& m);
    std::size_t Drop(int32_t cc, int32_t node, int32_t dsp_pin);  // from map_: how many
    std::string MapText(const Patch::Mapping& m) const;
    // Submits the removal of cc's mappings to the target's pin (all for none), replying.
    void SubmitUnmap(int32_t cc, const Target* t, bool quiet);
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
    std::vector<Patch::Mapping> map_;  // as the audio thread will hold them
    uint64_t map_version_ = 0;
    std::optional<Target> learning_;
    uint32_t learn_id_ = 0;
    bool quit_ = false;
};

}  // namespace kvhost::play
