// The panel's "layout" message: what the page builds its cards from (modules, pins with their
// controls, choices and values, wires). The panel's server adds its limits; kolvex.wasm's
// kv_layout answers it as it is.
#pragma once

#include <nlohmann/json.hpp>

#include "kvhost/panel.h"

namespace kvhost {

nlohmann::json PanelLayoutMessage(const PanelLayout& layout);

}  // namespace kvhost
