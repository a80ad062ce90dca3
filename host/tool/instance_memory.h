// What instances of a deliverable take in memory: the heap bytes one instance allocates
// beside another at the same sample rate, and the tables instances share, allocated once.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "kvhost/host.h"

namespace kvhost {

struct InstanceMemory {
    double sample_rate;
    std::size_t per_instance;  // makeModule, pin descriptions and Open of a second instance
    std::size_t shared;        // what the first instance allocated beyond that
};

// Opens two DSP instances at `sample_rate`, one beside the other, through their records
// alone (so nothing of the host is counted), and weighs each. Nothing when the plug-in has
// no DSP side or the heap cannot be weighed in this build.
std::optional<InstanceMemory> MeasureInstanceMemory(const std::shared_ptr<Plugin>& plugin,
                                                    double sample_rate);

}  // namespace kvhost
