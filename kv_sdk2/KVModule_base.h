// Base class of every module's DSP side: owns the host record, the pin table and the
// current process function, and turns the host's numbered requests into virtual calls.
// KV_FRAME_REVISION selects the current frame (2230) or the older one (2120).
#pragma once

#include <cstdint>
#include <cstring>

#include "KVAssert.h"
#include "KVPin.h"
#include "kv_abi.h"

#ifndef KV_FRAME_REVISION
#define KV_FRAME_REVISION 2230
#endif

KV_FRAME_BEGIN

class KVModule_base {
  public:
    using ProcessFunction = void (KVModule_base::*)(int32_t first, int32_t count);
    using CallFunction = void (KVModule_base::*)();

    KVModule_base(kvaudioMaster callback, void* host_reference);
    KVModule_base(const KVModule_base&) = delete;
    KVModule_base& operator=(const KVModule_base&) = delete;
    virtual ~KVModule_base();

    // ---- Hooks, in slot order --------------------------------------------
    virtual void OnPinUpdate(KVPin* pin);  // an input's status or value changed
    virtual void OnEvent(KVTimedEvent* e); // event entry
    virtual intptr_t Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt);
    virtual void Open();                   // base: builds the pin table
    virtual void Close();
    virtual void SetSampleRate(float rate);
    virtual void SetBlockSize(int32_t size);
    virtual float SampleRate();
    virtual int32_t BlockSize();
    virtual bool DescribePin(int32_t index, KVPinProperties* properties);  // base: no pins
    virtual void OnOp8();
#if KV_FRAME_REVISION >= 2230
    virtual void OnOp8Index(int32_t index);
#endif
    virtual void OnMidi(uint32_t clock, int32_t message, int16_t value2);
    virtual void OnOp12(int32_t value, int32_t index, void* ptr);

    // ---- Operations for modules ---------------------------------------------
    // The host callback with this instance's record; 0 when no callback is stored.
    intptr_t AskHost(int32_t opcode, int32_t index = 0, int32_t value = 0, void* ptr = nullptr,
                     float opt = 0.0f);
    uint32_t SampleClock() { return static_cast<uint32_t>(AskHost(HOST_CLOCK)); }
    // Pin `i` of the table (DSP-side pins only). A debug build asserts the table exists;
    // a release build answers an inert pin for anything outside the table.
    KVPin& PinAt(int32_t i);
    int32_t PinCount() const { return m_pin_count; }

    // Installs `fn` as the function the host runs for each slice from its next call on.
    template <class M>
    void ChooseProcessFunction(void (M::*fn)(int32_t, int32_t)) {
        InstallProcess(static_cast<ProcessFunction>(fn));
    }
    void QueueEvent(uint32_t time_stamp, int32_t kind, int32_t value, int32_t value2,
                    intptr_t extra);
    // The host runs `fn` on this instance when the sample clock reaches `time_stamp`.
    template <class M>
    void ScheduleCall(uint32_t time_stamp, void (M::*fn)()) {
        QueueEvent(time_stamp, EV_CALL, 0, 0, CodeAddress(static_cast<CallFunction>(fn)));
    }

    KVHostRecord* Record() { return &m_record; }
    // The code address of a non-virtual member function: what the record's process
    // entry and an EV_CALL's extra word carry.
    template <class F>
    static intptr_t CodeAddress(F fn) {
        static_assert(sizeof(F) == 2 * sizeof(void*), "two-word member pointers expected");
        intptr_t words[2];
        std::memcpy(words, &fn, sizeof words);
        KV_ASSERT((words[0] & 1) == 0, "member function is not virtual");
        return words[0];
    }

  private:
    void InstallProcess(ProcessFunction fn);
    void BuildPinTable();
    void FreePinTable();
    void ProcessNothing(int32_t first, int32_t count);

    static intptr_t DispatchEntry(void* record, int32_t opcode, int32_t index, int32_t value,
                                  void* ptr, float opt);
    static void EventEntry(void* object, KVTimedEvent* e);

    kvaudioMaster m_callback;
    KVHostRecord m_record;
    float m_sample_rate = 44100.0f;
    int32_t m_block_size = 1024;
    KVPin* m_pins = nullptr;
    ProcessFunction m_process;
    int32_t m_pin_count = 0;
    KVPin m_inert;
};

KV_FRAME_END
