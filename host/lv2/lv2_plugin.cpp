// The bridge binary of a bundle: LV2's entry points for the one deliverable that lies beside
// it in the bundle folder, each instance a Bridge; or, in an instrument bundle (a patch file
// beside it), for the patch, each instance an Instrument playing it with the bundle's own
// copies of its deliverables.
#include <dlfcn.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge.h"
#include "bundle.h"
#include "instrument.h"

namespace {

using kvhost::Plugin;
using kvhost::lv2::Bridge;
using kvhost::lv2::Instrument;

LV2_Handle Instantiate(const LV2_Descriptor*, double rate, const char*,
                       const LV2_Feature* const* features);
template <class Core>
void ConnectPort(LV2_Handle handle, uint32_t port, void* data);
template <class Core>
void Activate(LV2_Handle handle);
template <class Core>
void Run(LV2_Handle handle, uint32_t frames);
template <class Core>
void Deactivate(LV2_Handle handle);
template <class Core>
void Cleanup(LV2_Handle handle);

// The bundle this binary lies in: its deliverable, loaded once, and the plugin's URI.
struct Bundle {
    std::shared_ptr<Plugin> plugin;
    // An instrument bundle: its patch and the deliverables it names, loaded once.
    std::optional<kvhost::PatchPlan> patch;
    std::map<std::string, std::shared_ptr<Plugin>> modules;
    std::string name;  // the module name, for messages
    std::string uri;
    std::string error;  // why there is no plug-in
    LV2_Descriptor descriptor{};
};

Bundle FindBundle() {
    Bundle b;
    b.name = "(bridge)";
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&Instantiate), &self) == 0 || self.dli_fname == nullptr) {
        b.error = "cannot tell which file the bridge was loaded from";
        return b;
    }
    const std::filesystem::path binary = self.dli_fname;
    const std::filesystem::path folder = binary.parent_path();
    std::error_code ec;
    if (std::filesystem::exists(folder / kvhost::lv2::kInstrumentPatchFile, ec)) {
        try {
            b.patch = kvhost::LoadPatch((folder / kvhost::lv2::kInstrumentPatchFile).string());
            for (const kvhost::PatchPlan::Module& m : b.patch->modules) {
                if (!b.modules.count(m.plugin)) {
                    b.modules[m.plugin] = Plugin::Load((folder / m.plugin).string());
                }
            }
        } catch (const std::exception& e) {
            b.error = e.what();
            b.patch.reset();
            return b;
        }
        b.plugin = b.modules.begin()->second;
        b.name = kvhost::lv2::InstrumentName(*b.patch, "patch");
        b.uri = kvhost::lv2::InstrumentUri(*b.patch, "patch");
        b.descriptor =
            LV2_Descriptor{b.uri.c_str(),        Instantiate,     ConnectPort<Instrument>,
                           Activate<Instrument>, Run<Instrument>, Deactivate<Instrument>,
                           Cleanup<Instrument>,  nullptr};
        return b;
    }
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.is_regular_file(ec) && entry.path().extension() == ".so" &&
            entry.path().filename() != binary.filename()) {
            found.push_back(entry.path());
        }
    }
    if (found.size() != 1) {
        b.error = folder.string() + ": the bundle holds " + std::to_string(found.size()) +
                  " deliverables beside the bridge, not one";
        return b;
    }
    try {
        b.plugin = Plugin::Load(found.front().string());
    } catch (const std::exception& e) {
        b.error = e.what();
        return b;
    }
    b.name = b.plugin->Name();
    const char* id = b.plugin->Info().id;
    b.uri = kvhost::lv2::PluginUri(id != nullptr && *id != '\0' ? std::string(id) : b.name);
    b.descriptor =
        LV2_Descriptor{b.uri.c_str(), Instantiate,        ConnectPort<Bridge>, Activate<Bridge>,
                       Run<Bridge>,   Deactivate<Bridge>, Cleanup<Bridge>,     nullptr};
    return b;
}

const Bundle& ThisBundle() {
    static const Bundle bundle = FindBundle();
    return bundle;
}

// Messages through the host's log:log, else on standard error; never from run().
class Log {
  public:
    Log(LV2_Log_Log* log, LV2_URID_Map* map) : log_(log) {
        if (log_ != nullptr && map != nullptr) {
            error_ = map->map(map->handle, LV2_LOG__Error);
            note_ = map->map(map->handle, LV2_LOG__Note);
        } else {
            log_ = nullptr;
        }
    }
    void Error(const std::string& text) const { Write(error_, text); }
    void Note(const std::string& text) const { Write(note_, text); }

  private:
    void Write(LV2_URID type, const std::string& text) const {
        const std::string line = "kolvex bridge: \"" + ThisBundle().name + "\": " + text + "\n";
        if (log_ != nullptr) {
            log_->printf(log_->handle, type, "%s", line.c_str());
        } else {
            std::fputs(line.c_str(), stderr);
        }
    }

    LV2_Log_Log* log_;
    LV2_URID error_ = 0, note_ = 0;
};

// The handle hosts hold: the bridge or instrument itself (run() reaches it in one step) and
// its log.
template <class Core>
struct Instance : Core {
    template <class... Args>
    explicit Instance(const Log& out, Args&&... args)
        : Core(std::forward<Args>(args)...), log(out) {}
    Log log;
    std::size_t dropped_told = 0;  // dropped MIDI events already reported
    bool failure_told = false;
};

// What went wrong in run() is reported once the host has left the audio thread.
template <class Core>
void ReportFailure(Instance<Core>& inst) {
    if (!inst.Failure().empty() && !inst.failure_told) {
        inst.log.Error("stopped, silent since: " + inst.Failure());
        inst.failure_told = true;
    }
    const std::size_t dropped = inst.DroppedEvents();
    if (dropped > inst.dropped_told) {
        inst.log.Error(std::to_string(dropped - inst.dropped_told) +
                       " MIDI events dropped: more in one run than it takes");
        inst.dropped_told = dropped;
    }
}

LV2_Handle Instantiate(const LV2_Descriptor*, double rate, const char*,
                       const LV2_Feature* const* features) {
    LV2_URID_Map* map = nullptr;
    LV2_Log_Log* log = nullptr;
    const LV2_Options_Option* options = nullptr;
    bool whole_runs = false;  // the host promises runs of its nominal length, or powers of two
    for (const LV2_Feature* const* f = features; f != nullptr && *f != nullptr; ++f) {
        if (std::strcmp((*f)->URI, LV2_BUF_SIZE__fixedBlockLength) == 0 ||
            std::strcmp((*f)->URI, LV2_BUF_SIZE__powerOf2BlockLength) == 0) {
            whole_runs = true;
        }
        if (std::strcmp((*f)->URI, LV2_URID__map) == 0) {
            map = static_cast<LV2_URID_Map*>((*f)->data);
        } else if (std::strcmp((*f)->URI, LV2_LOG__log) == 0) {
            log = static_cast<LV2_Log_Log*>((*f)->data);
        } else if (std::strcmp((*f)->URI, LV2_OPTIONS__options) == 0) {
            options = static_cast<const LV2_Options_Option*>((*f)->data);
        }
    }
    const Log out(log, map);
    try {
        const Bundle& bundle = ThisBundle();
        if (!bundle.plugin) throw kvhost::Error(bundle.error);
        const kvhost::lv2::BlockChoice block = kvhost::lv2::ChooseBlockSize(options, map);
        kvhost::lv2::MidiUrids urids;
        if (map != nullptr) {
            urids.sequence = map->map(map->handle, LV2_ATOM__Sequence);
            urids.midi_event = map->map(map->handle, LV2_MIDI__MidiEvent);
            urids.frame_time = map->map(map->handle, LV2_ATOM__frameTime);
        }
        if (bundle.patch) {
            // The patch's own grid; no latency only when the host's runs are whole blocks of it.
            const int32_t grid = bundle.patch->block_size;
            const bool whole = block.nominal && block.block % grid == 0;
            const uint32_t latency = kvhost::lv2::RunLatency(grid, whole, whole_runs);
            auto load = [&bundle](const std::string& reference) {
                const auto it = bundle.modules.find(reference);
                if (it == bundle.modules.end()) {
                    throw kvhost::Error("the bundle holds no " + reference);
                }
                return it->second;
            };
            return new Instance<Instrument>(out, *bundle.patch, rate, urids, latency, load);
        }
        if (!block.note.empty()) out.Note(block.note);
        const uint32_t latency = kvhost::lv2::RunLatency(block.block, block.nominal, whole_runs);
        return new Instance<Bridge>(out, bundle.plugin, rate, block.block, urids, latency);
    } catch (const std::exception& e) {
        out.Error(std::string("not instantiated: ") + e.what());
    }
    return nullptr;
}

template <class Core>
void ConnectPort(LV2_Handle handle, uint32_t port, void* data) {
    static_cast<Instance<Core>*>(handle)->ConnectPort(port, data);
}

template <class Core>
void Activate(LV2_Handle handle) {
    auto* inst = static_cast<Instance<Core>*>(handle);
    inst->failure_told = false;
    try {
        inst->Activate();
    } catch (const std::exception& e) {
        inst->log.Error(std::string("not activated, stays silent: ") + e.what());
    }
}

template <class Core>
void Run(LV2_Handle handle, uint32_t frames) {
    static_cast<Instance<Core>*>(handle)->Run(frames);
}

template <class Core>
void Deactivate(LV2_Handle handle) {
    auto* inst = static_cast<Instance<Core>*>(handle);
    ReportFailure(*inst);
    inst->Deactivate();
}

template <class Core>
void Cleanup(LV2_Handle handle) {
    auto* inst = static_cast<Instance<Core>*>(handle);
    ReportFailure(*inst);
    delete inst;
}

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    const Bundle& bundle = ThisBundle();
    if (!bundle.plugin) {
        static const bool told = [&] {
            std::fprintf(stderr, "kolvex bridge: %s\n", bundle.error.c_str());
            return true;
        }();
        (void)told;
        return nullptr;
    }
    return index == 0 ? &bundle.descriptor : nullptr;
}
