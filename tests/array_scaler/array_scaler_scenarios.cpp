// The array scaler driven through the host's GUI driver, whose notifications re-enter the
// module while it writes its own pins, as the real host's do.
#include <gtest/gtest.h>
#include <kvhost/host.h>

#include <memory>
#include <string>

#include "KVModule_base.h"

namespace {

std::size_t Requests(const kvhost::GuiInstance& gui, int32_t opcode, int32_t index) {
    std::size_t n = 0;
    for (const auto& r : gui.Log()) n += r.opcode == opcode && r.index == index ? 1 : 0;
    return n;
}

std::unique_ptr<kvhost::GuiInstance> Started() {
    auto gui = std::make_unique<kvhost::GuiInstance>(kvhost::Plugin::Load("jx_VecMul"));
    gui->Init(false);  // "Multiply by" 0 becomes 1
    return gui;
}

}  // namespace

TEST(ArrayScaler, IdentityPinsAndDormantDspSide) {
    auto plugin = kvhost::Plugin::Load("jx_VecMul");
    EXPECT_STREQ(plugin->Info().name, "jx_VecMul");
    EXPECT_STREQ(plugin->Info().id, "jx_VecMul");
    EXPECT_STREQ(plugin->Info().about, "https://example.org/kolvex-modules");
    EXPECT_EQ(plugin->Info().flags, 512);
    EXPECT_EQ(plugin->Info().flags_ext, 256);
    EXPECT_EQ(plugin->Info().frame_revision, 2230);

    kvhost::DspInstance dsp(plugin);
    const auto& pins = dsp.Pins();
    ASSERT_EQ(pins.size(), 4u);
    const char* names[] = {"Array In", "Multiply by", "Add", "Array Out"};
    const int32_t types[] = {DT_STRING, DT_REAL32, DT_REAL32, DT_STRING};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pins[i].name, names[i]);
        EXPECT_EQ(pins[i].datatype, types[i]);
        EXPECT_EQ(pins[i].direction, i == 3 ? DR_OUT : DR_INPUT);
        EXPECT_EQ(pins[i].flags, IO_UI_COMMUNICATION);
        EXPECT_FALSE(pins[i].default_value.has_value() || pins[i].choices.has_value());
    }
    auto* module = static_cast<KVModule_base*>(dsp.Record()->object);
    for (int32_t index : {-1, -4, 4}) {
        KVPinProperties p{};
        EXPECT_FALSE(module->DescribePin(index, &p)) << index;
        EXPECT_EQ(p.name, nullptr);
    }
    dsp.Open();
    dsp.Run(3000);
    EXPECT_TRUE(dsp.IsDormant());
    EXPECT_EQ(dsp.DormantRequests().size(), 1u);

    // The GUI side registers with index 0 only; a false flag makes a zero factor 1.
    kvhost::GuiInstance gui(plugin);
    EXPECT_EQ(gui.Dispatch(GUI_OP10), 1);
    gui.Init(true);
    EXPECT_EQ(gui.Float("Multiply by"), 0.0f);
    gui.Init(false);
    EXPECT_EQ(gui.Float("Multiply by"), 1.0f);
    EXPECT_EQ(Requests(gui, GUIHOST_REGISTER, 0), 2u);
    EXPECT_EQ(Requests(gui, GUIHOST_REGISTER, 1), 0u);
    gui.SetFloat("Multiply by", 3.0f);
    gui.Init(false);
    EXPECT_EQ(gui.Float("Multiply by"), 3.0f);
}

TEST(ArrayScaler, ForwardAndInverseKeepTheListsRelated) {
    auto gui = Started();
    gui->SetFloat("Multiply by", 2.0f);
    gui->SetFloat("Add", 1.0f);
    gui->ClearLog();
    gui->SetText("Array In", "1,2,3");
    EXPECT_EQ(gui->Text("Array Out"), "3.000000,5.000000,7.000000");
    // Writing "Array Out" came back as a notification; it did not rewrite "Array In".
    EXPECT_EQ(Requests(*gui, GUIHOST_PUT_TEXT, 0), 0u);
    EXPECT_EQ(gui->Text("Array In"), "1,2,3");

    gui->SetText("Array Out", "9");  // one character: nothing happens
    EXPECT_EQ(gui->Text("Array In"), "1,2,3");
    gui->ClearLog();
    gui->SetText("Array Out", "9,11");
    EXPECT_EQ(gui->Text("Array In"), "4.000000,5.000000");
    EXPECT_EQ(Requests(*gui, GUIHOST_PUT_TEXT, 3), 0u);
    EXPECT_EQ(gui->Text("Array Out"), "9,11");

    // A factor or offset change recomputes "Array Out" from "Array In".
    gui->SetFloat("Add", 0.5f);
    EXPECT_EQ(gui->Text("Array Out"), "8.500000,10.500000");

    // A zero factor makes the inverse produce zeros, one for each element.
    gui->SetFloat("Multiply by", 0.0f);
    EXPECT_EQ(gui->Text("Array Out"), "0.500000,0.500000");
    gui->SetText("Array Out", "1,2,3,4");
    EXPECT_EQ(gui->Text("Array In"), "0.000000,0.000000,0.000000,0.000000");
}

TEST(ArrayScaler, ElementsAsAtofReadsThemAndFifteenCharacterRenderings) {
    auto gui = Started();
    gui->SetText("Array In", "1,,2");
    EXPECT_EQ(gui->Text("Array Out"), "1.000000,0.000000,2.000000");
    gui->SetFloat("Add", 2.0f);
    gui->SetText("Array In", "1,2,");
    EXPECT_EQ(gui->Text("Array Out"), "3.000000,4.000000,2.000000");
    gui->SetFloat("Add", 0.0f);
    // 123456789 narrows to 123456792 and its rendering is cut to 15 characters.
    gui->SetText("Array In", "123456789, 2.5abc,x");
    EXPECT_EQ(gui->Text("Array Out"), "123456792.00000,2.500000,0.000000");
    // 16777215 × 3 + 1.5 in double, rounded once (single precision steps would give ...644).
    gui->SetFloat("Multiply by", 3.0f);
    gui->SetFloat("Add", 1.5f);
    gui->SetText("Array In", "16777215");
    EXPECT_EQ(gui->Text("Array Out"), "50331648.000000");
}

TEST(ArrayScaler, ExtremeValuesAndHugeTextsLoseNothingThatIsKept) {
    auto gui = Started();
    // Integer parts longer than 15 characters are kept whole, not cut into smaller numbers.
    gui->SetText("Array In", "1e16,-1e14,3.4028235e38,1e400,-1e400,nan");
    EXPECT_EQ(gui->Text("Array Out"),
              "10000000272564224,-100000000376832,340282346638528859811704183484516925440,"
              "inf,-inf,nan");
    gui->SetFloat("Multiply by", 10.0f);  // 3.4e38 × 10 overflows to inf
    EXPECT_EQ(gui->Text("Array Out"), "99999998430674944,-999999986991104,inf,inf,-inf,nan");

    // Thousands of elements: the first 128 are converted, the joined text is never cut
    // (128 renderings of 16 characters make well over 1023).
    gui->SetFloat("Multiply by", 1.0f);
    std::string many;
    for (int i = 0; i < 3000; ++i) many += "-100000000000000,";
    gui->SetText("Array In", many);
    std::string expected;
    for (int i = 0; i < 128; ++i) expected += std::string(i ? "," : "") + "-100000000376832";
    EXPECT_EQ(gui->Text("Array Out"), expected);

    // A very long element is read whole; editing "Array Out" with it works backwards too.
    gui->SetFloat("Multiply by", 4.0f);
    gui->SetText("Array Out", std::string(6000, '0') + "10," + std::string(2000, ' ') + "-2");
    EXPECT_EQ(gui->Text("Array In"), "2.500000,-0.500000");
}
