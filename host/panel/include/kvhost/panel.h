// kvhost panel: a running patch as a web page. A PanelServer serves the page and speaks to it
// over a WebSocket; it drives a PanelModel, the one face of whatever runs the patch (the GUI
// sides alone for `kvhost panel`, the live engine for `kvhost play --panel`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kvhost/host.h"
#include "kvhost/patch.h"

namespace CLI {
class App;
}

namespace kvhost {

class Tool;

// ---- What the page shows -------------------------------------------------------------

// The control the page offers for a pin.
enum class PinControl {
    kChoice,   // a selector of `choices`
    kNumber,   // a number field with a knob
    kText,     // a text field
    kSlider,   // a slider from `low` to `high` (an animation position)
    kReadout,  // a live read-out, not set from the page
    kScope,    // a sample output: a small oscilloscope of its scope frames
    kMidi,     // a MIDI input: fed by the keyboard
};
const char* PinControlName(PinControl control);  // "choice", "number", ... as the page names it

struct PanelPin {
    int32_t index = 0;  // description index; pins are also named "#index" (names repeat)
    std::string name;
    int32_t direction = 0, datatype = 0, flags = 0;
    PinControl control = PinControl::kReadout;
    std::vector<std::pair<std::string, int32_t>> choices;  // a choice or switch: label, value
    double low = 0.0, high = 1.0;                          // kSlider: the span
    std::string value;   // the current value, as `set` takes it (a choice: its number)
    std::string note;    // why a pin the user might expect to set is a read-out
    bool pitch = false;  // a sample pin carrying pitch at 1 V an octave (shown as a note too)
    bool learn = false;  // a MIDI controller may be learned for it (over its own range)
};

struct PanelModule {
    std::string name;            // as the patch names it
    std::string plugin;          // the deliverable's name
    std::string about;           // its about text
    std::vector<PanelPin> pins;  // in table order
};

struct PanelLayout {
    std::string title;                 // the patch file's name
    std::string mode;                  // one line on what runs ("GUI sides only, no audio")
    std::vector<PanelModule> modules;  // in patch order
    std::vector<PatchPlan::Wire> wires;
    bool midi_input = false;   // notes from the page reach the patch (keyboard shown)
    bool learn = false;        // MIDI controllers can be learned (and mappings listed)
    double sample_rate = 0.0;  // of scope frames and spectra; 0 without audio
};

// One pin value that changed; module and pin count in the layout.
struct PinChange {
    int32_t module = 0, pin = 0;
    std::string value;
};
// The latest stretch of a sample output, in volts, for a scope.
struct ScopeFrame {
    int32_t module = 0, pin = 0;
    double sample_rate = 0.0;
    std::vector<float> volts;  // at most kScopePoints, one every `step` samples
    int32_t step = 1;
};
// The spectrum of the watched sample output, reduced for drawing.
struct SpectrumFrame {
    int32_t module = 0, pin = 0;
    double sample_rate = 0.0;
    std::vector<float> hz;        // centre of each drawn band, rising
    std::vector<float> level_db;  // strongest bin in each band, dB of a sine (0 dB = 10 V)
    double fundamental_hz = 0.0;  // 0: no fundamental (silence)
    double bin_hz = 0.0;          // resolution of the analysis
};
// The MIDI controllers mapped to pins, and the pin waiting to learn one.
struct PanelMapping {
    int32_t cc = 0, channel = 0;  // channel 0: any
    int32_t module = 0, pin = 0;  // in the layout
    double low = 0.0, high = 0.0;
};
struct PanelMaps {
    std::vector<PanelMapping> mappings;
    int32_t learn_module = -1, learn_pin = -1;  // -1: no pin waits
};

struct PanelUpdates {
    std::vector<PinChange> pins;
    std::optional<PanelMaps> maps;  // when they changed
    std::vector<ScopeFrame> scopes;
    std::optional<SpectrumFrame> spectrum;
    bool Empty() const { return pins.empty() && scopes.empty() && !spectrum && !maps; }
};

// ---- What the server asks of whatever runs the patch ----------------------------------

// What a model that edits its patch adds (`kvhost panel PATCH --edit`). Texts are JSON, as
// the page gets them. Called from the thread that drives the model, as PanelModel is.
class PanelEditing {
  public:
    virtual ~PanelEditing() = default;
    // The deliverables on the plug-in search path: [{"name", "id", "kind"}].
    virtual std::string Catalog() = 0;
    // The patch's shape: modules with their plug-in and card place, wires, outputs and gain,
    // MIDI source and target, voice groups, can_undo, can_redo, changed, path.
    virtual std::string Structure() = 0;
    // One edit a page sent ({"op": "add", ...}). EditRefused (kvhost/patch_edit.h) when
    // refused, the patch unchanged.
    virtual void Edit(const std::string& message) = 0;
    // Counts changes of the structure, and of the layout (modules, pins or wires): the server
    // sends the pages what changed when these move.
    virtual uint64_t StructureRevision() const = 0;
    virtual uint64_t LayoutRevision() const = 0;
};

// Every call comes from the one thread that drives the patch's GUI sides (the main thread).
// A refusal is a kvhost::Error naming the module, pin or value at fault; it changes nothing.
class PanelModel {
  public:
    virtual ~PanelModel() = default;
    // Modules, pins with their current values, wires.
    virtual PanelLayout Layout() = 0;
    // A user's value for a pin (a name, or "#N"), taken as the `set` control line takes it.
    virtual void Set(const std::string& module, const std::string& pin,
                     const std::string& text) = 0;
    // The pin's current value, as Layout shows it.
    virtual std::string Get(const std::string& module, const std::string& pin) = 0;
    // A note from the page's keyboard (or a MIDI keyboard the browser offers) to the
    // patch's live MIDI input.
    virtual void Note(bool on, int32_t key, int32_t velocity) = 0;
    // The sample output the spectrum shows.
    virtual void Watch(const std::string& module, const std::string& pin) = 0;
    // Every pin value that changed since the last call and, when `frames` is set (30 times a
    // second), the scope frames and the spectrum due.
    virtual void Collect(PanelUpdates& out, bool frames) = 0;
    // Every note off and every sound off, for the page's panic button. This default does
    // nothing: a model without sound (the GUI sides alone) has nothing to silence.
    virtual void Panic() {}
    // MIDI learn: the next controller that arrives on the live MIDI input drives the pin over
    // its own range (pins the layout marks `learn`). Forget: stop waiting. Unmap: controller
    // `cc`'s mappings to the pin go. Maps: what is mapped now. Models without live MIDI
    // refuse (Error) and map nothing.
    virtual void Learn(const std::string& module, const std::string& pin);
    virtual void Forget() {}
    virtual void Unmap(int32_t cc, const std::string& module, const std::string& pin);
    virtual PanelMaps Maps() { return {}; }
    // A controller message from a MIDI device the browser offers (Web MIDI), `channel`
    // 1-16, for the live MIDI input as a note is: it moves mapped pins and may be learned.
    virtual void Controller(int32_t channel, int32_t cc, int32_t value);
    // The model's editing side; none by default (the patch is shown as it was loaded).
    virtual PanelEditing* Editing() { return nullptr; }
};

// Which pin of `module`'s `pins` a user means: PinNamed, the module named in its errors.
int32_t ModulePin(const std::vector<PinInfo>& pins, const std::string& module,
                  const std::string& name);
// A pin's place on the page. `gui_runs`: the module's GUI side is running; `dsp_runs`: its
// DSP side is; `wired_from`: the output feeding this input ("" when none).
PanelPin PanelPinFor(const PinInfo& pin, bool gui_runs, bool dsp_runs,
                     const std::string& wired_from);

// The recent samples of one output, fed from the recording path (never the audio thread),
// cut into scope frames and spectra.
class SignalWindow {
  public:
    static constexpr std::size_t kScopePoints = 200;
    static constexpr std::size_t kSpectrumBands = 240;
    explicit SignalWindow(double sample_rate, std::size_t capacity = 8192);
    void Push(const float* samples, std::size_t count);  // signal units
    // About 20 ms from a rising crossing of the middle, as at most kScopePoints volts.
    ScopeFrame Scope() const;
    // The same FFT the plots use, over the newest 4096 samples (fewer when fewer came).
    SpectrumFrame Spectrum() const;
    std::size_t Filled() const { return filled_; }

  private:
    double sample_rate_;
    std::vector<float> ring_;
    std::size_t next_ = 0;    // where the next sample goes
    std::size_t filled_ = 0;  // samples held, at most the capacity
};

// `kvhost panel`: the GUI sides of a patch's modules alone, driven on the calling thread
// with no audio. Each module has a GUI side; wires carry values between GUI-side pins.
class GuiPatchModel : public PanelModel {
  public:
    // Creates and initialises the GUI sides (as newly placed modules), then applies the
    // patch's pin settings as user edits. LoadError for a plug-in that cannot be used, Error
    // for a module without a GUI side or a setting or wire that fits no pin.
    explicit GuiPatchModel(const PatchPlan& plan);
    ~GuiPatchModel() override;  // GUI_CLOSE

    PanelLayout Layout() override;
    void Set(const std::string& module, const std::string& pin, const std::string& text) override;
    std::string Get(const std::string& module, const std::string& pin) override;
    void Note(bool on, int32_t key, int32_t velocity) override;
    void Watch(const std::string& module, const std::string& pin) override;
    void Collect(PanelUpdates& out, bool frames) override;

    GuiInstance& Gui(const std::string& module);

  private:
    struct Node {
        std::string name;
        std::unique_ptr<GuiInstance> gui;
        std::vector<std::string> shown;  // per pin: the value the pages last got
    };
    struct Link {
        std::size_t from_node;
        int32_t from_pin;
        std::size_t to_node;
        int32_t to_pin;
    };
    struct Target {
        std::size_t node;
        int32_t pin;
    };
    Target Resolve(const std::string& module, const std::string& pin) const;
    std::string WiredFrom(std::size_t node, int32_t pin) const;
    void Apply(const Target& t, const std::string& text);
    void Carry();  // wires: each source's value to its inputs, until nothing changes

    PatchPlan plan_;
    std::vector<Node> nodes_;  // in patch order
    std::vector<Link> links_;
    std::vector<std::vector<std::string>> carried_;  // per node and pin: value last carried
};

// ---- The server ----------------------------------------------------------------------

struct PanelOptions {
    bool shown = false;  // --panel was given (for a command that shows a panel on request)
    int port = 8123;     // 0: any free port (Url() tells which)
    std::string bind = "127.0.0.1";      // an IPv4 address: loopback unless the user names another
    std::size_t max_message = 65536;     // bytes of one message from a page
    double max_rate = 200.0;             // messages a second from one page, on average
    double max_burst = 400.0;            // messages one page may send at once
    int max_pages = 16;                  // pages connected at once
    std::size_t max_queue = 1 << 20;     // bytes waiting to go to one page before it is closed
    std::size_t max_connections = 4096;  // open at once; the oldest one not a page goes first
    int timeout_ms = 5000;  // a request, a WebSocket handshake or a close takes at most this
};

class PanelServer {
  public:
    // Starts listening. Error naming the address when it cannot (taken, not an address).
    explicit PanelServer(const PanelOptions& options);
    ~PanelServer();  // closes every page's connection, then stops
    PanelServer(const PanelServer&) = delete;
    PanelServer& operator=(const PanelServer&) = delete;

    std::string Url() const;  // "http://127.0.0.1:8123/"
    int Port() const;
    bool Loopback() const;  // listening on this machine's loopback only
    // Answers what the pages sent and sends them what changed. Call it often (every 10 ms),
    // on the thread that drives the model.
    void Pump(PanelModel& model);
    // Waits until a page sends something, at most `ms` milliseconds.
    void Wait(int ms);
    std::size_t Pages() const;  // connected now

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The page's files, built into the program.
struct PanelAsset {
    const char* path;  // "/panel.js"
    const char* mime;
    const unsigned char* data;
    std::size_t size;
};
const std::vector<PanelAsset>& PanelAssets();

// ---- The command ---------------------------------------------------------------------

// The panel options a command line takes: --panel [PORT] (sets `shown`), --panel-bind ADDR.
void AddPanelOptions(CLI::App& command, PanelOptions& options);
// Serves `model` until SIGINT or SIGTERM; prints the page's address first. Raises the
// process's limit of open files as far as allowed, for many connections. `idle` (if
// given) runs on every turn of the loop, on the same thread, and ends the loop by answering
// false.
int ServePanel(PanelModel& model, const PanelOptions& options,
               const std::function<bool()>& idle = nullptr);
// Adds "panel PATCH" (the GUI sides of a patch in a web page, no audio).
void AddPanelCommand(Tool& tool);

}  // namespace kvhost
