// The list converters: 32 value pins and one comma-separated text pin kept in step on the
// user-interface side. One template serves both variants; `FloatList` and `IntList` hold
// everything in which they differ (identity, value pin type, reading, writing, rendering).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "KVGUI_base.h"
#include "KVModule_base.h"
#include "KVPinRow.h"
#include "NumberText.h"

namespace csv_lists {

constexpr int32_t kTextPin = 0;
constexpr int32_t kFirstValuePin = 1;
constexpr int32_t kValuePins = 32;
constexpr int32_t kModePin = 33;

// A user-interface pin that also carries flag 0x4, which means something to the host only.
constexpr int32_t kGuiPinPassingFlag4 = IO_UI_COMMUNICATION | 0x4;

constexpr const char* kModeChoices = "Float <-> Text=0,Float --> Text=1,Float <-- Text=2";
constexpr int32_t kModeBoth = 0;
constexpr int32_t kModeValuesToText = 1;
constexpr int32_t kModeTextToValues = 2;

#define CSV_LISTS_WEB_ADDRESS "https://example.org/kolvex-modules"

struct FloatList {
    using Value = float;
    static constexpr const char* kName = "jx_CsvFloats";
    static constexpr const char* kAbout =
        "32 GUI Floats to and from 1 comma seperated Text\n\n"
        "1\n2\n3\n<--  ...  -->\n1,2,3\n\n" CSV_LISTS_WEB_ADDRESS;
    static constexpr const char* kValuePinName = "FLOAT";
    static constexpr int32_t kValueType = DT_REAL32;

    static Value Parse(const char* field) { return ReadFloatField(field); }
    static void Append(std::string& text, Value v) { AppendFixed(text, v); }
    static Value Read(KVGuiPinRef& pin) { return pin.ReadFloat(); }
    static void Write(KVGuiPinRef& pin, Value v) { pin.WriteFloat(v); }
};

struct IntList {
    using Value = int32_t;
    static constexpr const char* kName = "jx_CsvInts";
    static constexpr const char* kAbout =
        "32 GUI Ints to and from 1 comma seperated Text\n\n"
        "1\n2\n3\n<--  ...  -->\n1,2,3\n\n" CSV_LISTS_WEB_ADDRESS;
    static constexpr const char* kValuePinName = "INT";
    static constexpr int32_t kValueType = DT_WHOLE32;

    static Value Parse(const char* field) { return ReadIntField(field); }
    static void Append(std::string& text, Value v) { AppendWhole(text, v); }
    static Value Read(KVGuiPinRef& pin) { return pin.ReadInt(); }
    static void Write(KVGuiPinRef& pin, Value v) { pin.WriteInt(v); }
};

// The pins as the user sees them, 34 in all. Every pin belongs to the user-interface side (the
// DSP side builds no KVPin) and none is bound to a member.
//   0      "OUTPUT"  the list text, e.g. "1,2,3", of any length; fields past the 32nd are ignored
//   1..32  "FLOAT" (FloatList) or "INT" (IntList), all 32 alike: one value per field
//   33     "Mode"    0 both ways, 1 values to text only, 2 text to values only
template <class List>
constexpr KVPinRow kPins[] = {
    // clang-format off
    // name               direction datatype          default  choices       flags
    {"OUTPUT",            DR_INPUT, DT_STRING,        nullptr, nullptr,      kGuiPinPassingFlag4},
    {List::kValuePinName, DR_OUT,   List::kValueType, nullptr, nullptr,      kGuiPinPassingFlag4},
    {"Mode",              DR_INPUT, DT_CHOICE,        "0",     kModeChoices, IO_UI_COMMUNICATION},
    // clang-format on
};

// The DSP side only describes the pins; it produces nothing and goes dormant at once.
template <class List>
class Module : public KVModule_base {
  public:
    using KVModule_base::KVModule_base;

    bool DescribePin(int32_t index, KVPinProperties* properties) override {
        if (index < 0 || index > kModePin || properties == nullptr) return false;
        KVDescribe(kPins<List>[index == kTextPin   ? 0
                               : index == kModePin ? 2
                                                   : 1],
                   nullptr, properties);
        return true;
    }

    void Open() override {
        ChooseProcessFunction(&Module::GoDormant);
        KVModule_base::Open();
    }

  private:
    void GoDormant(int32_t, int32_t) { AskHost(HOST_DORMANT); }
};

// The user-interface side: all conversion happens here, on pin change notifications.
template <class List>
class GuiModule : public KVGUI_base {
  public:
    using Value = typename List::Value;

    GuiModule(kvaudioMaster callback, void* host_reference)
        : KVGUI_base(callback, host_reference) {}
    ~GuiModule() override { AskHost(GUIHOST_REGISTER, 0); }

    void OnGuiInit(bool flag) override {
        AskHost(GUIHOST_REGISTER, 1);
        KVGUI_base::OnGuiInit(flag);
        if (flag) m_from_text = 0;
    }

    bool OnGuiOp10() override { return true; }

    void OnGuiPinChanged(KVGuiPinRef& pin) override {
        const int32_t changed = pin.index;  // the handle may be reused by re-entrant calls
        const int32_t mode = PinRef(kModePin).ReadInt();
        const std::string text = PinRef(kTextPin).ReadText();
        if (changed == kTextPin) {
            TextToValues(text, mode);
        } else if (static_cast<uint32_t>(mode) <= kModeValuesToText) {  // modes 0 and 1
            ValuesToText();
        }
    }

  private:
    // The text's first 32 fields become the values; pins for which the text has no field
    // are written again with what an earlier text gave them. Each value pin's write may
    // come back as a notification: m_from_text keeps those from rewriting the text.
    void TextToValues(const std::string& text, int32_t mode) {
        m_from_text = 1;
        if (text.empty() || (mode != kModeBoth && mode != kModeTextToValues)) {
            m_from_text = 0;
            return;
        }
        ForEachField(text, kValuePins,
                     [this](int32_t k, const char* field) { m_values[k] = List::Parse(field); });
        for (int32_t k = 0; k < kValuePins; ++k) {
            List::Write(PinRef(kFirstValuePin + k), m_values[k]);
        }
        m_from_text = 0;
    }

    // All 32 values joined, each followed by ','. Built whole in any case; sent only when
    // no text-to-values conversion is writing the value pins.
    void ValuesToText() {
        std::string text;
        text.reserve(kValuePins * 16);
        for (int32_t k = 0; k < kValuePins; ++k) {
            List::Append(text, List::Read(PinRef(kFirstValuePin + k)));
            text += ',';
        }
        if (m_from_text == 1) return;
        PinRef(kTextPin).WriteText(text);
    }

    std::array<Value, kValuePins> m_values{};  // what the latest text gave each value pin
    int32_t m_from_text = 0;                   // 1 while the text is writing the value pins
};

}  // namespace csv_lists
