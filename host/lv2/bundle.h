// The bundle writer: one self-contained LV2 bundle per deliverable (manifest, plugin
// description, bridge binary, the deliverable itself).
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "kvhost/host.h"
#include "port_layout.h"

namespace kvhost::lv2 {

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

}  // namespace kvhost::lv2
