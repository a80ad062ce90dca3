// The bundle writer: one self-contained LV2 bundle per deliverable (manifest, plugin
// description, bridge binary, the deliverable itself).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "instrument.h"
#include "kvhost/host.h"
#include "port_layout.h"

namespace kvhost::lv2 {

// A bundle's file that cannot be written (its folder, a copy, a rename).
struct BundleWriteError : Error {
    using Error::Error;
};

// The ports of a deliverable, or NotBridged with the one-line reason it has none: no DSP
// side, a GUI side (whose work no LV2 plugin can carry), or a pin no port carries.
Layout BridgeableLayout(const std::shared_ptr<Plugin>& plugin);

// The plugin description (Turtle) of a module with these ports.
std::string PluginTurtle(const Plugin& plugin, const Layout& layout);
// The bundle's manifest: the plugin URI, its binary and its description file.
std::string ManifestTurtle(const Layout& layout);

// The bridge binary's and the description's file names inside a bundle.
inline constexpr const char* kBridgeFile = "kolvex_bridge.so";
inline constexpr const char* kPluginTurtleFile = "plugin.ttl";

struct WrittenBundle {
    std::filesystem::path folder;
    Layout layout;
};

// Writes `folder`/<deliverable>.lv2 (replacing a bundle of that name): assembled in a
// temporary folder beside it and moved into place, so a failure leaves no half bundle.
// Throws NotBridged as BridgeableLayout does, and Error naming the path that cannot be
// written or read.
WrittenBundle WriteBundle(const std::shared_ptr<Plugin>& plugin,
                          const std::filesystem::path& folder,
                          const std::filesystem::path& bridge_binary);

// The patch file's name inside an instrument bundle, and the folder of its deliverables.
inline constexpr const char* kInstrumentPatchFile = "patch.json";
inline constexpr const char* kInstrumentModulesFolder = "modules";

// An instrument preset: its name and the saved patch it takes its values from.
struct InstrumentPreset {
    std::string name, patch;
};

struct WrittenInstrument {
    std::filesystem::path folder;
    InstrumentLayout layout;
    std::size_t presets = 0;  // the patch's own values included
};

// Writes `folder`/<patch file name>.lv2, an lv2:InstrumentPlugin playing the patch: the
// description, the patch (its plug-ins named by their copies in the bundle, its MIDI live),
// the deliverables it uses, the bridge binary, and presets: the patch's own values and one per
// `presets` entry. Assembled in a temporary folder and moved into place. Throws Error for a
// patch that cannot be read or opened, PluginRefused or LoadError for its plug-ins,
// InstrumentRefused (GUI-side modules, no MIDI input, a bad control, a preset whose modules
// differ) and BundleWriteError for what cannot be written.
WrittenInstrument WriteInstrumentBundle(const std::string& patch_path,
                                        const std::vector<InstrumentPreset>& presets,
                                        const std::filesystem::path& folder,
                                        const std::filesystem::path& bridge_binary);

}  // namespace kvhost::lv2
