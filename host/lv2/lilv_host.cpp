// The lilv host's URID map, log, options and MIDI sequences, and lilv worlds on bundles.
#include "lilv_host.h"

#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace kvhost::lv2 {

LilvHost::LilvHost() {
    map_ = LV2_URID_Map{this, &LilvHost::MapUri};
    log_ = LV2_Log_Log{this, &LilvHost::Printf, &LilvHost::VPrintf};
    map_feature_ = LV2_Feature{LV2_URID__map, &map_};
    log_feature_ = LV2_Feature{LV2_LOG__log, &log_};
}

LV2_URID LilvHost::Map(const char* uri) {
    const auto [it, added] = urids_.emplace(uri, static_cast<LV2_URID>(urids_.size() + 1));
    return it->second;
}

LV2_URID LilvHost::MapUri(LV2_URID_Map_Handle handle, const char* uri) {
    return static_cast<LilvHost*>(handle)->Map(uri);
}

int LilvHost::Printf(LV2_Log_Handle handle, LV2_URID type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = VPrintf(handle, type, fmt, ap);
    va_end(ap);
    return n;
}

int LilvHost::VPrintf(LV2_Log_Handle handle, LV2_URID, const char* fmt, va_list ap) {
    char line[1024];
    const int n = std::vsnprintf(line, sizeof line, fmt, ap);
    static_cast<LilvHost*>(handle)->log_text_ += line;
    return n;
}

void LilvHost::SetBlockOptions(int32_t nominal, int32_t maximum, const char* type_uri) {
    nominal_ = nominal;
    maximum_ = maximum;
    options_.clear();
    const LV2_URID type = Map(type_uri);
    if (nominal_ != 0) {
        options_.push_back({LV2_OPTIONS_INSTANCE, 0, Map(LV2_BUF_SIZE__nominalBlockLength),
                            sizeof(int32_t), Map(LV2_ATOM__Int), &nominal_});
    }
    if (maximum_ != 0) {
        options_.push_back({LV2_OPTIONS_INSTANCE, 0, Map(LV2_BUF_SIZE__maxBlockLength),
                            sizeof(int32_t), type, &maximum_});
    }
    options_.push_back({LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr});
    options_feature_ = LV2_Feature{LV2_OPTIONS__options, options_.data()};
}

const LV2_Feature* const* LilvHost::Features(bool map, bool log) {
    features_.clear();
    if (map) features_.push_back(&map_feature_);
    if (log) features_.push_back(&log_feature_);
    if (!options_.empty()) features_.push_back(&options_feature_);
    if (fixed_) features_.push_back(&fixed_feature_);
    features_.push_back(nullptr);
    return features_.data();
}

MidiBuffer::MidiBuffer(LilvHost& host, std::size_t capacity)
    : storage_(capacity / sizeof(uint64_t)),
      sequence_(host.Map(LV2_ATOM__Sequence)),
      midi_event_(host.Map(LV2_MIDI__MidiEvent)),
      chunk_(host.Map(LV2_ATOM__Chunk)) {
    Clear();
}

void MidiBuffer::Clear() {
    LV2_Atom_Sequence* seq = Sequence();
    seq->atom.type = sequence_;
    seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
    seq->body.unit = 0;
    seq->body.pad = 0;
}

void MidiBuffer::Add(int64_t frame, uint8_t status, uint8_t d1, uint8_t d2) {
    const uint8_t bytes[3] = {status, d1, d2};
    Add(frame, bytes, sizeof bytes);
}

void MidiBuffer::Offer() {
    LV2_Atom_Sequence* seq = Sequence();
    seq->atom.type = chunk_;
    seq->atom.size = static_cast<uint32_t>(storage_.size() * sizeof(uint64_t) - sizeof(LV2_Atom));
}

bool MidiBuffer::Add(int64_t frame, const uint8_t* bytes, uint32_t size) {
    LV2_Atom_Sequence* seq = Sequence();
    // Offsets from the buffer's start: the body follows the atom header.
    const std::size_t at = sizeof(LV2_Atom) + lv2_atom_pad_size(seq->atom.size);
    if (at + sizeof(LV2_Atom_Event) + size > storage_.size() * sizeof(uint64_t)) return false;
    auto* base = reinterpret_cast<uint8_t*>(storage_.data());
    LV2_Atom_Event ev{};
    ev.time.frames = frame;
    ev.body.type = midi_event_;
    ev.body.size = size;
    std::memcpy(base + at, &ev, sizeof ev);
    if (size > 0) std::memcpy(base + at + sizeof ev, bytes, size);
    seq->atom.size = static_cast<uint32_t>(at - sizeof(LV2_Atom) + sizeof ev + size);
    return true;
}

BundleWorld::BundleWorld(const std::string& path, Scope scope) : world_(lilv_world_new()) {
    if (scope == Scope::kBundle) {
        // lilv names a bundle by its directory's URI, which ends in '/'.
        std::string dir = std::filesystem::absolute(path).lexically_normal().string();
        if (dir.empty() || dir.back() != '/') dir += '/';
        LilvNode* bundle = lilv_new_file_uri(world_, nullptr, dir.c_str());
        lilv_world_load_bundle(world_, bundle);
        lilv_node_free(bundle);
        return;
    }
    LilvNode* search = lilv_new_string(world_, path.c_str());
    lilv_world_set_option(world_, LILV_OPTION_LV2_PATH, search);
    lilv_node_free(search);
    lilv_world_load_all(world_);
}

BundleWorld::~BundleWorld() {
    lilv_world_free(world_);
}

const LilvPlugin* BundleWorld::Plugin(const std::string& uri) const {
    LilvNode* node = lilv_new_uri(world_, uri.c_str());
    const LilvPlugin* p = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), node);
    lilv_node_free(node);
    return p;
}

std::vector<std::string> BundleWorld::PluginUris() const {
    std::vector<std::string> uris;
    const LilvPlugins* all = lilv_world_get_all_plugins(world_);
    LILV_FOREACH(plugins, i, all) {
        uris.emplace_back(lilv_node_as_uri(lilv_plugin_get_uri(lilv_plugins_get(all, i))));
    }
    return uris;
}

int32_t BundleWorld::PortIndex(const LilvPlugin* plugin, const std::string& symbol) const {
    LilvNode* node = lilv_new_string(world_, symbol.c_str());
    const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin, node);
    lilv_node_free(node);
    return port != nullptr ? static_cast<int32_t>(lilv_port_get_index(plugin, port)) : -1;
}

}  // namespace kvhost::lv2
