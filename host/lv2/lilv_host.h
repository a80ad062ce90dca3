// The host side of LV2 for whatever runs bundles through lilv (the validator, tests and
// benchmarks): a URID map, a log that keeps its lines, buf-size options, MIDI sequences to
// feed an atom port, and lilv worlds on a folder, one bundle or the search path.
#pragma once

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/log/log.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvhost::lv2 {

class LilvHost {
  public:
    LilvHost();
    LilvHost(const LilvHost&) = delete;
    LilvHost& operator=(const LilvHost&) = delete;

    LV2_URID Map(const char* uri);
    // The features to instantiate with: urid:map and log:log when asked for, and the
    // options given to SetOptions (none until then).
    const LV2_Feature* const* Features(bool map = true, bool log = true);
    // buf-size options: nominal and maximum block length (0: left out), or a maximum block
    // length given with another type (`type_uri`).
    void SetBlockOptions(int32_t nominal, int32_t maximum, const char* type_uri = LV2_ATOM__Int);
    // The host's promise that every run has the nominal length (the fixed-block-length
    // feature), given with the features from now on.
    void SetFixedBlockLength(bool fixed) { fixed_ = fixed; }
    const std::string& LogText() const { return log_text_; }

  private:
    static LV2_URID MapUri(LV2_URID_Map_Handle handle, const char* uri);
    static int Printf(LV2_Log_Handle handle, LV2_URID type, const char* fmt, ...);
    static int VPrintf(LV2_Log_Handle handle, LV2_URID type, const char* fmt, va_list ap);

    std::map<std::string, LV2_URID> urids_;
    LV2_URID_Map map_{};
    LV2_Log_Log log_{};
    std::string log_text_;
    int32_t nominal_ = 0, maximum_ = 0;
    std::vector<LV2_Options_Option> options_;
    bool fixed_ = false;
    LV2_Feature map_feature_{}, log_feature_{}, options_feature_{};
    LV2_Feature fixed_feature_{LV2_BUF_SIZE__fixedBlockLength, nullptr};
    std::vector<const LV2_Feature*> features_;
};

// An atom buffer: a MIDI sequence for an input port, filled anew for each run, or the room
// offered to an atom output.
class MidiBuffer {
  public:
    explicit MidiBuffer(LilvHost& host, std::size_t capacity = 4096);
    void Clear();
    // Empties the buffer for an atom output: a chunk of its whole capacity to write into.
    void Offer();
    void Add(int64_t frame, uint8_t status, uint8_t d1, uint8_t d2);
    // An event of any size (0 included); false when the buffer has no room left for it.
    bool Add(int64_t frame, const uint8_t* bytes, uint32_t size);
    void* Data() { return storage_.data(); }

  private:
    LV2_Atom_Sequence* Sequence() { return reinterpret_cast<LV2_Atom_Sequence*>(storage_.data()); }
    std::vector<uint64_t> storage_;  // 8-byte aligned, as atoms are
    LV2_URID sequence_, midi_event_, chunk_;
};

// One lilv world: the bundles in a folder, one bundle, or those on a search path.
class BundleWorld {
  public:
    enum class Scope {
        kFolder,      // every bundle in `path`
        kBundle,      // the bundle directory `path` alone
        kSearchPath,  // the bundles on the search path `path` (folders separated by ':')
    };
    explicit BundleWorld(const std::string& path, Scope scope = Scope::kFolder);
    ~BundleWorld();
    BundleWorld(const BundleWorld&) = delete;
    BundleWorld& operator=(const BundleWorld&) = delete;
    // The plugin of that URI (null when the world has none).
    const LilvPlugin* Plugin(const std::string& uri) const;
    // Its port index by symbol; -1 when there is none.
    int32_t PortIndex(const LilvPlugin* plugin, const std::string& symbol) const;
    LilvWorld* World() { return world_; }
    // The URIs of every plugin the world holds.
    std::vector<std::string> PluginUris() const;

  private:
    LilvWorld* world_;
};

}  // namespace kvhost::lv2
