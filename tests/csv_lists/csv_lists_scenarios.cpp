// The list converters driven through the host's GUI driver, whose notifications re-enter the
// module while it writes its own pins, as the real host's do.
#include <gtest/gtest.h>
#include <kvhost/host.h>

#include <cfloat>
#include <cmath>
#include <string>
#include <vector>

#include "KVModule_base.h"

namespace {

constexpr int32_t kText = 0;
constexpr int32_t kMode = 33;
const std::string kWeb = "https://example.org/kolvex-modules";

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

std::vector<float> Floats(const kvhost::GuiInstance& gui, int32_t first, int32_t last) {
    std::vector<float> v;
    for (int32_t i = first; i <= last; ++i) v.push_back(gui.Float(i));
    return v;
}

std::size_t TextWrites(const kvhost::GuiInstance& gui) {
    std::size_t n = 0;
    for (const auto& r : gui.Log()) n += r.opcode == GUIHOST_PUT_TEXT ? 1 : 0;
    return n;
}

}  // namespace

TEST(CsvLists, IdentityPinsAndDormantDspSide) {
    for (const char* kind : {"Floats", "Ints"}) {
        const std::string name = std::string("jx_Csv") + kind;
        SCOPED_TRACE(name);
        auto plugin = kvhost::Plugin::Load(name);
        const KVModuleInfo& info = plugin->Info();
        EXPECT_EQ(info.name, name);
        EXPECT_EQ(info.id, name);
        EXPECT_EQ(info.about, std::string("32 GUI ") + kind +
                                  " to and from 1 comma seperated Text\n\n1\n2\n3\n<--  ...  -->\n"
                                  "1,2,3\n\n" +
                                  kWeb);
        EXPECT_EQ(info.flags, 512);
        EXPECT_EQ(info.flags_ext, 256);
        KVModuleInfo other{};
        EXPECT_FALSE(plugin->GetModuleProperties()(1, &other));
        EXPECT_EQ(other.frame_revision, 2230);

        kvhost::DspInstance dsp(plugin);
        const auto& pins = dsp.Pins();
        ASSERT_EQ(pins.size(), 34u);
        EXPECT_EQ(pins[0].name, "OUTPUT");
        EXPECT_EQ(pins[0].datatype, DT_STRING);
        for (int i = 0; i <= 32; ++i) {
            EXPECT_EQ(pins[i].direction, i == 0 ? DR_INPUT : DR_OUT);
            EXPECT_EQ(pins[i].flags, 0x404);
            EXPECT_EQ(pins[i].dsp_index, -1);
        }
        EXPECT_EQ(pins[32].name, name == "jx_CsvFloats" ? "FLOAT" : "INT");
        EXPECT_EQ(pins[32].datatype, name == "jx_CsvFloats" ? DT_REAL32 : DT_WHOLE32);
        EXPECT_EQ(pins[33].name, "Mode");
        EXPECT_EQ(pins[33].flags, 0x400);
        EXPECT_EQ(pins[33].default_value, "0");
        EXPECT_EQ(pins[33].choices, "Float <-> Text=0,Float --> Text=1,Float <-- Text=2");

        // The module itself refuses indices outside its table and leaves the record alone.
        auto* module = static_cast<KVModule_base*>(dsp.Record()->object);
        for (int32_t index : {-1, -1000, 34}) {
            KVPinProperties p{};
            EXPECT_FALSE(module->DescribePin(index, &p)) << index;
            EXPECT_EQ(p.name, nullptr);
        }
        dsp.Open();
        dsp.Run(4096);
        EXPECT_TRUE(dsp.IsDormant());
        EXPECT_EQ(dsp.DormantRequests().size(), 1u);

        kvhost::GuiInstance gui(plugin);
        EXPECT_EQ(gui.Dispatch(GUI_OP10), 1);
    }
}

TEST(CsvFloats, TextBecomesValuesWithoutBeingRewritten) {
    kvhost::GuiInstance gui(kvhost::Plugin::Load("jx_CsvFloats"));
    gui.Init(true);
    ASSERT_FALSE(gui.Log().empty());
    EXPECT_EQ(gui.Log().front().opcode, GUIHOST_REGISTER);
    EXPECT_EQ(gui.Log().front().index, 1);

    gui.ClearLog();
    gui.SetText(kText, "1,2,3");
    EXPECT_EQ(Floats(gui, 1, 4), (std::vector<float>{1, 2, 3, 0}));
    // Each value write came back as a notification; none of them rewrote the text.
    EXPECT_GT(gui.Notifications(), 3u);
    EXPECT_EQ(TextWrites(gui), 0u);
    EXPECT_EQ(gui.Text(kText), "1,2,3");

    // Fields the text lacks keep what an earlier text gave them.
    gui.SetText(kText, "7");
    EXPECT_EQ(Floats(gui, 1, 3), (std::vector<float>{7, 2, 3}));

    gui.SetText(kText, " 2.5abc,,x,1e400,-1e400,0.1,nan");
    EXPECT_EQ(Floats(gui, 1, 6), (std::vector<float>{2.5f, 0, 0, INFINITY, -INFINITY, 0.1f}));
    EXPECT_TRUE(std::isnan(gui.Float(7)));

    gui.SetText(kText, "");  // an empty text changes nothing
    EXPECT_EQ(gui.Float(1), 2.5f);
}

TEST(CsvFloats, ValuesBecomeTextInModesZeroAndOneOnly) {
    kvhost::GuiInstance gui(kvhost::Plugin::Load("jx_CsvFloats"));
    gui.Init(true);
    gui.SetFloat(5, 0.1f);
    EXPECT_EQ(gui.Text(kText), Repeat("0.000000,", 4) + "0.100000," + Repeat("0.000000,", 27));

    // Mode 1: the text no longer drives the values; values still rewrite the text.
    gui.SetInt(kMode, 1);
    gui.SetText(kText, "9,9,9");
    EXPECT_EQ(gui.Float(1), 0.0f);
    gui.SetFloat(1, -3.5f);
    EXPECT_EQ(gui.Text(kText).substr(0, 19), "-3.500000,0.000000,");

    // Mode 2: values leave the text alone; the text drives the values.
    gui.SetInt(kMode, 2);
    const std::string before = gui.Text(kText);
    gui.SetFloat(2, 4.0f);
    EXPECT_EQ(gui.Text(kText), before);
    gui.SetText(kText, "8,16");
    EXPECT_EQ(Floats(gui, 1, 2), (std::vector<float>{8, 16}));

    // Back to mode 0: the text is rebuilt at once from the current values.
    gui.SetInt(kMode, 0);
    EXPECT_EQ(gui.Text(kText).substr(0, 19), "8.000000,16.000000,");

    // Any other mode disables both directions.
    gui.SetInt(kMode, 5);
    gui.SetText(kText, "1,1,1");
    EXPECT_EQ(gui.Float(1), 8.0f);
    gui.SetFloat(3, 2.0f);
    EXPECT_EQ(gui.Text(kText), "1,1,1");
}

TEST(CsvFloats, HugeTextsFieldsAndValuesAreHandledWhole) {
    kvhost::GuiInstance gui(kvhost::Plugin::Load("jx_CsvFloats"));
    gui.Init(true);
    gui.SetInt(kMode, 2);

    // 5000 fields in a text of some 30000 characters: the first 32 are used.
    std::string many;
    for (int i = 0; i < 5000; ++i) many += std::to_string(i) + ".5,";
    gui.SetText(kText, many);
    EXPECT_EQ(Floats(gui, 31, 32), (std::vector<float>{30.5f, 31.5f}));

    // A field of thousands of characters is read whole.
    gui.SetText(kText, std::string(4000, '0') + "12.25," + std::string(3000, ' ') + "-6");
    EXPECT_EQ(Floats(gui, 1, 2), (std::vector<float>{12.25f, -6}));

    // The widest renderings (48 characters each) are joined whole, never cut.
    gui.SetText(kText, Repeat("-3.4028235e38,", 32));
    gui.SetInt(kMode, 0);
    EXPECT_EQ(gui.Text(kText), Repeat("-340282346638528859811704183484516925440.000000,", 32));

    // The module's own text reads back to the same values.
    gui.SetFloat(1, 0.125f);
    gui.SetFloat(2, INFINITY);
    const std::string built = gui.Text(kText);
    gui.SetText(kText, "0,0");
    gui.SetText(kText, built);
    EXPECT_EQ(Floats(gui, 1, 3), (std::vector<float>{0.125f, INFINITY, -FLT_MAX}));
}

TEST(CsvInts, TextAndValuesAsAtoiAndPercentIMakeThem) {
    kvhost::GuiInstance gui(kvhost::Plugin::Load("jx_CsvInts"));
    gui.Init(true);
    gui.SetText(kText, "1.9,-2,abc");
    EXPECT_EQ(gui.Int(1), 1);
    EXPECT_EQ(gui.Int(2), -2);
    EXPECT_EQ(gui.Int(3), 0);
    EXPECT_EQ(TextWrites(gui), 0u);

    // Beyond the 32-bit range: saturated, never wrapped; long fields read whole.
    gui.SetText(kText, "4294967297,-99999999999999999999," + std::string(500, '0') + "42");
    EXPECT_EQ(gui.Int(1), INT32_MAX);
    EXPECT_EQ(gui.Int(2), INT32_MIN);
    EXPECT_EQ(gui.Int(3), 42);

    gui.SetInt(kMode, 1);
    EXPECT_EQ(gui.Text(kText), "2147483647,-2147483648,42," + Repeat("0,", 29));
    for (int32_t i = 1; i <= 3; ++i) gui.SetInt(i, 0);
    EXPECT_EQ(gui.Text(kText), Repeat("0,", 32));
}
