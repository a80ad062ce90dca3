// test_panel: a module with both sides, for the host's GUI handling and for the values the
// host carries between the sides. The GUI side guards "Value"/"Text" against its own
// notifications but deliberately not "Count", whose writes would recurse for ever. A negative
// "Shared" -v makes the DSP side set "Report" to v ten samples later (HOST_PIN_AT_TIME).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KVModuleIdentity.h"

namespace test_panel {

enum Pin : int32_t { kValue, kText, kShared, kReport, kOut, kCount, kEcho, kWide, kScope, kVolts };

bool DescribePanelPin(int32_t index, KVPinProperties* p, void* shared, void* report, void* out) {
    auto set = [p](const char* name, int32_t dir, int32_t type, int32_t flags, const char* def) {
        p->name = name;
        p->direction = dir;
        p->datatype = type;
        p->flags = flags;
        p->default_value = def;
        return true;
    };
    switch (index) {
        case kValue:
            return set("Value", DR_INPUT, DT_REAL32, IO_UI_COMMUNICATION, "1");
        case kText:
            return set("Text", DR_INPUT, DT_STRING, IO_UI_COMMUNICATION, "a");
        case kShared:
            p->variable = shared;
            return set("Shared", DR_INPUT, DT_REAL32, IO_UI_COMMUNICATION | IO_DSP_VISIBLE, "0.5");
        case kReport:
            p->variable = report;
            return set("Report", DR_OUT, DT_REAL32, IO_UI_COMMUNICATION | IO_DSP_VISIBLE, nullptr);
        case kOut:
            p->variable = out;
            return set("Out", DR_OUT, DT_FSAMPLE, 0, nullptr);
        case kCount:
            return set("Count", DR_INPUT, DT_WHOLE32, IO_UI_COMMUNICATION, "3");
        case kEcho:
            return set("Echo", DR_INPUT, DT_REAL32, IO_UI_COMMUNICATION, "0");
        case kWide:
            return set("Wide", DR_INPUT, DT_STRING, IO_UI_COMMUNICATION,
                       "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80");
        case kScope:
            return set("Scope", DR_INPUT, DT_REAL32, IO_UI_COMMUNICATION, "0");
        case kVolts:
            return set("Volts", DR_INPUT, DT_FSAMPLE, IO_UI_COMMUNICATION, "5");
        default:
            return false;
    }
}

class Module : public KVModule_base {
  public:
    using KVModule_base::KVModule_base;

    void Open() override {
        KVModule_base::Open();
        ChooseProcessFunction(&Module::Run);
    }
    bool DescribePin(int32_t index, KVPinProperties* p) override {
        return DescribePanelPin(index, p, &shared_, &report_, &out_);
    }
    void OnPinUpdate(KVPin* pin) override {
        if (pin->Index() != 0) return;  // "Shared"
        if (shared_ < 0.0f) {
            PinAt(1).SendAt(SampleClock() + 10, static_cast<int32_t>(-shared_));
            return;
        }
        report_ = shared_ * 2.0f;
        PinAt(1).SendStatus(SampleClock(), PS_STEP);
        PinAt(2).SendStatus(SampleClock(), PS_STEP);
    }

  private:
    void Run(int32_t first, int32_t count) {
        for (int32_t i = first; i < first + count; ++i) out_[i] = shared_;
    }

    float shared_ = 0.0f;
    float report_ = 0.0f;
    float* out_ = nullptr;
};

class GuiModule : public KVGUI_base {
  public:
    using KVGUI_base::KVGUI_base;

    void OnGuiInit(bool flag) override { AskHost(GUIHOST_REGISTER, flag ? 1 : 0); }

    void OnGuiPinChanged(KVGuiPinRef& pin) override {
        switch (pin.index) {
            case kValue:
                if (busy_) return;
                busy_ = true;
                {
                    const float v = PinRef(kValue).ReadFloat();
                    char text[32];
                    std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
                    PinRef(kText).WriteText(text);
                    PinRef(kEcho).WriteFloat(v * 2.0f);
                }
                busy_ = false;
                return;
            case kText:
                if (busy_) return;
                busy_ = true;
                {
                    // The pin handle is shared: read first, then take it for the write.
                    const std::string text = PinRef(kText).ReadText();
                    PinRef(kValue).WriteFloat(static_cast<float>(std::atof(text.c_str())));
                }
                busy_ = false;
                return;
            case kCount: {  // unguarded on purpose
                const int32_t count = PinRef(kCount).ReadInt();
                PinRef(kCount).WriteInt(count + 1);
                return;
            }
            case kReport: {
                const float report = PinRef(kReport).ReadFloat();
                PinRef(kEcho).WriteFloat(report);
            }
                return;
            default:
                return;
        }
    }

    // GUI_OP11 with a pin index: that pin's wide text, unit by unit in hex, into "Text".
    void OnGuiOp11(int32_t index) override {
        const std::u16string wide = PinRef(index).ReadWideText();
        std::string hex;
        for (char16_t u : wide) {
            char unit[8];
            std::snprintf(unit, sizeof unit, "%s%x", hex.empty() ? "" : " ",
                          static_cast<unsigned>(u));
            hex += unit;
        }
        busy_ = true;
        PinRef(kText).WriteText(hex);
        busy_ = false;
    }

  private:
    bool busy_ = false;
};

}  // namespace test_panel

const KVModuleIdentity kvModuleIdentity = {"test_panel",
                                           "test_panel",
                                           "",
                                           true,
                                           512,
                                           true,
                                           256,
                                           true,
                                           &KVMakeDsp<test_panel::Module>,
                                           &KVMakeGui<test_panel::GuiModule>};
