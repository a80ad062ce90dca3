// Fuzz target for the GUI side of the list converters and the array scaler (whichever
// module is linked in): arbitrary texts and numbers edited on any pin, two instances
// alike. Input: commands [op][pin][payload] until the input ends.
#include <cstdint>

#include "fuzz_input.h"

using namespace kvhost::validate;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<kvhost::PinInfo> pins = [] {
        Findings f;
        StrictDsp d(kvfuzz::Linked(), f, 44100.0, 64);
        d.Create();
        return d.Descriptions();
    }();
    Findings findings;
    {
        StrictGui a(kvfuzz::Linked(), findings, pins);
        StrictGui b(kvfuzz::Linked(), findings, pins);
        if (!a.Create() || !b.Create()) std::abort();
        kvfuzz::Input in(data, size);
        const bool flag = (in.Byte() & 1) != 0;
        a.Init(flag);
        b.Init(flag);
        const int32_t n = static_cast<int32_t>(pins.size());
        for (int32_t steps = 0; !in.Empty() && steps < 64; ++steps) {
            const uint8_t op = in.Byte();
            const int32_t index = n > 0 ? in.Byte() % n : 0;
            switch (op % 5) {
                case 0:
                case 1: {
                    const std::string text = in.Text();
                    a.EditText(index, text);
                    b.EditText(index, text);
                    break;
                }
                case 2: {
                    const float v = in.Float();
                    a.EditFloat(index, v);
                    b.EditFloat(index, v);
                    break;
                }
                case 3: {
                    const auto v = static_cast<int32_t>(in.Long());
                    a.EditInt(index, v);
                    b.EditInt(index, v);
                    break;
                }
                default:
                    a.Dispatch(GUI_OP10);
                    b.Dispatch(GUI_OP10);
                    a.Init(op & 0x80);
                    b.Init(op & 0x80);
                    break;
            }
        }
        if (a.Snapshot() != b.Snapshot())
            findings.Fail("same inputs, same outputs", "GUI pins differ");
    }
    kvfuzz::StopOnFindings(findings, "gui lists");
    return 0;
}
