// Base class of a module's user-interface side: owns the GUI host record, turns GUI
// opcodes into virtual calls, and reads and writes pins through the host.
#pragma once

#include <cstdint>
#include <string>

#include "KVAssert.h"
#include "kv_abi.h"

KV_FRAME_BEGIN

class KVGUI_base;

// The GUI side's handle of one pin: its description index and the GUI object.
struct KVGuiPinRef {
    int32_t index;
    KVGUI_base* module;

    std::string ReadText();         // GUIHOST_GET_TEXT, copied at once
    void WriteText(const char* text);
    void WriteText(const std::string& text) { WriteText(text.c_str()); }
    int32_t ReadInt();              // GUIHOST_GET_VALUE
    float ReadFloat();              // GUIHOST_GET_VALUE
    void WriteInt(int32_t v);       // GUIHOST_PUT_VALUE, v in the value argument
    void WriteFloat(float f);       // GUIHOST_PUT_VALUE, f in the float argument
    std::u16string ReadWideText();  // GUIHOST_GET_WTEXT, asked twice
};

// The {index, value} pair the GUI_OP3 to GUI_OP5 hooks receive by reference.
struct KVGuiPoint {
    int32_t index;
    int32_t value;
};

class KVGUI_base {
  public:
    KVGUI_base(kvaudioMaster callback, void* host_reference);
    KVGUI_base(const KVGUI_base&) = delete;
    KVGUI_base& operator=(const KVGUI_base&) = delete;
    virtual ~KVGUI_base() = default;

    // ---- Hooks, in slot order --------------------------------------------
    virtual intptr_t Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);
    virtual void OnGuiInit(bool flag);
    virtual void OnGuiClose();
    virtual void OnGuiOp2(int32_t index, void* ptr);
    virtual void OnGuiOp3(void* ptr, float opt, KVGuiPoint& point);
    virtual void OnGuiOp4(void* ptr, float opt, KVGuiPoint& point);
    virtual void OnGuiOp5(void* ptr, float opt, KVGuiPoint& point);
    virtual void OnGuiOp8(void* ptr);
    virtual void OnGuiOp9(void* ptr);
    virtual bool OnGuiOp10();
    virtual void OnGuiOp11(int32_t index);
    virtual void OnGuiOp12(int32_t index);
    virtual void OnGuiOp6(int32_t value, int32_t index, void* ptr);
    virtual void OnGuiPinChanged(KVGuiPinRef& pin);

    // ---- Operations for modules ---------------------------------------------
    intptr_t AskHost(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                     float opt = 0.0f);
    // The library's one shared handle, set to {i, this}: use it at once, never keep it.
    KVGuiPinRef& PinRef(int32_t i);
    intptr_t HostOp8(int32_t index, int32_t value, void* ptr) {
        return AskHost(GUIHOST_OP8, index, value, ptr);
    }
    intptr_t HostOp18(void* ptr) { return AskHost(GUIHOST_OP18, 0, 0, ptr); }
    intptr_t HostOp19(void* ptr) { return AskHost(GUIHOST_OP19, 0, 0, ptr); }
    bool HostOp20(void* ptr) { return AskHost(GUIHOST_OP20, 0, 0, ptr) != 0; }

    KVGuiHostRecord* Record() { return &m_record; }

  private:
    static intptr_t DispatchEntry(void* record, int32_t opcode, int32_t index, int32_t value,
                                  void* ptr, float opt);

    kvaudioMaster m_callback;
    KVGuiHostRecord m_record;
};

KV_FRAME_END
