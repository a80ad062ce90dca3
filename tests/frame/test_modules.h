// Small modules that record what the frame asks of them, for the frame tests.
#pragma once

#include <string>
#include <vector>

#include "KVGUI_base.h"
#include "KVModuleIdentity.h"

class TestModule : public KVModule_base {
  public:
    using KVModule_base::KVModule_base;
    ~TestModule() override;

    // The pins every TestModule describes; tests set them before creating an instance.
    static std::vector<KVPinProperties> descriptions;
    static int destroyed;
    static std::vector<int32_t> described;  // indices DescribePin was asked for

    bool DescribePin(int32_t index, KVPinProperties* properties) override;
    void OnPinUpdate(KVPin* pin) override;
    void OnMidi(uint32_t clock, int32_t message, int16_t value2) override;
    void OnOp8() override { hooks.push_back("op8"); }
#if KV_FRAME_REVISION >= 2230
    void OnOp8Index(int32_t index) override { hooks.push_back("op8:" + std::to_string(index)); }
#endif
    void OnOp12(int32_t value, int32_t index, void*) override {
        hooks.push_back("op12:" + std::to_string(value) + "," + std::to_string(index));
    }
    void Close() override { hooks.push_back("close"); }

    void ProcessA(int32_t, int32_t) {}
    void ProcessB(int32_t, int32_t) {}
    void Tick() { ++ticks; }

    std::vector<std::string> hooks;
    int32_t seen_status = -1;
    int32_t seen_pin = -1;
    uint32_t midi_clock = 0;
    int32_t midi_message = 0;
    int16_t midi_value2 = 0;
    int ticks = 0;
    // Members pins may bind to.
    int16_t choice = 0;
    float* buffer = nullptr;
    int32_t whole = 0;
};

class TestGui : public KVGUI_base {
  public:
    using KVGUI_base::KVGUI_base;
    ~TestGui() override { ++destroyed; }
    static int destroyed;

    void OnGuiInit(bool flag) override { init_flags.push_back(flag); }
    void OnGuiPinChanged(KVGuiPinRef& pin) override {
        changed_index = pin.index;
        changed_module = pin.module;
    }
    void OnGuiClose() override { closed = true; }

    std::vector<bool> init_flags;
    int32_t changed_index = -1;
    KVGUI_base* changed_module = nullptr;
    bool closed = false;
};

// Describes one pin record for TestModule::descriptions.
KVPinProperties Pin(int32_t datatype, int32_t flags = 0, void* variable = nullptr,
                    int32_t direction = DR_INPUT);
