// The array scaler: "Array Out" = "Array In" × "Multiply by" + "Add", element by element, on
// the user-interface side, and the inverse when "Array Out" is edited.
#pragma once

#include <cstdint>

#include "KVGUI_base.h"
#include "KVModule_base.h"

namespace array_scaler {

constexpr int32_t kArrayInPin = 0;
constexpr int32_t kMultiplyPin = 1;
constexpr int32_t kAddPin = 2;
constexpr int32_t kArrayOutPin = 3;

// The DSP side only describes the pins; it produces nothing and goes dormant at once.
class Module : public KVModule_base {
  public:
    using KVModule_base::KVModule_base;

    bool DescribePin(int32_t index, KVPinProperties* properties) override;
    void Open() override;

  private:
    void GoDormant(int32_t first, int32_t count);
};

// The user-interface side: all conversion happens here, on pin change notifications.
class GuiModule : public KVGUI_base {
  public:
    GuiModule(kvaudioMaster callback, void* host_reference);
    ~GuiModule() override;

    void OnGuiInit(bool flag) override;
    bool OnGuiOp10() override;
    void OnGuiPinChanged(KVGuiPinRef& pin) override;

  private:
    int32_t m_source = kArrayInPin;  // the text pin the current conversion reads
    int32_t m_writing_out = 0;       // 1 while a forward conversion writes "Array Out"
    int32_t m_writing_in = 0;        // 1 while an inverse conversion writes "Array In"
};

}  // namespace array_scaler
