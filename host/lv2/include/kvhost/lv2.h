// kvhost lv2: LV2 bundles of the deliverables, for hosts outside the Kolvex host.
#pragma once

namespace CLI {
class App;
}

namespace kvhost {

// Adds "lv2 PLUGIN... -o DIR" to the tool; it runs inside the parse and ends a failing run
// with its own exit code (CLI::RuntimeError).
void AddLv2Command(CLI::App& app);

}  // namespace kvhost
