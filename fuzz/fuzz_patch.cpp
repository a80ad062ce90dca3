// Fuzz target for the host's patch reader: any text is read into a plan or refused with
// kvhost::Error; anything else escaping, or a crash, is a fault.
#include <cstdint>
#include <string>

#include "kvhost/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const kvhost::PatchPlan plan = kvhost::ParsePatch(text, "fuzz.json", "/nonexistent");
        (void)plan;
    } catch (const kvhost::Error&) {
    }
    return 0;
}
