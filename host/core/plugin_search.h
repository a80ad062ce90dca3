// Inside the core: the file a deliverable name or id stands for on the plug-in search path.
#pragma once

#include <string>

namespace kvhost {

// FindPlugin's file, or LoadError naming what was asked and the folders searched.
std::string PluginFileNamed(const std::string& name_or_id);

}  // namespace kvhost
