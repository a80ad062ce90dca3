// Modules linked into the program in place of deliverables loaded from files (the
// WebAssembly build): registered by deliverable name at start-up, found by name or id.
#include <vector>

#include "kvhost/host.h"

namespace kvhost {

namespace {

struct LinkedModule {
    std::string deliverable;
    KVGetModulePropertiesFn get_properties;
    KVMakeModuleFn make_module;
    std::shared_ptr<Plugin> plugin;  // made on first use
};

std::vector<LinkedModule>& Linked() {
    static std::vector<LinkedModule> linked;
    return linked;
}

}  // namespace

void Plugin::Link(const std::string& deliverable, KVGetModulePropertiesFn get_properties,
                  KVMakeModuleFn make_module) {
    Linked().push_back({deliverable, get_properties, make_module, nullptr});
}

std::vector<std::string> Plugin::LinkedNames() {
    std::vector<std::string> names;
    for (const LinkedModule& m : Linked()) names.push_back(m.deliverable);
    return names;
}

std::shared_ptr<Plugin> Plugin::FindLinked(const std::string& name) {
    if (Linked().empty()) return nullptr;
    std::string names;
    for (LinkedModule& m : Linked()) {
        if (!m.plugin) m.plugin = FromEntries(m.deliverable, m.get_properties, m.make_module);
        const char* id = m.plugin->Info().id;
        if (name == m.deliverable || (id != nullptr && name == id)) return m.plugin;
        names += (names.empty() ? "" : ", ") + m.deliverable;
    }
    throw LoadError("no module named \"" + name + "\" is built in (built in: " + names + ")");
}

}  // namespace kvhost
