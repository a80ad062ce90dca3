// kvhost lv2: LV2 bundles of the deliverables, for hosts outside the Kolvex host.
#pragma once

namespace kvhost {

class Tool;

// Adds "lv2 PLUGIN... -o DIR" to the tool.
void AddLv2Command(Tool& tool);

}  // namespace kvhost
