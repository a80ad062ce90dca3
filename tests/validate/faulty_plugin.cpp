// A small test module for kvhost validate, built once per fault (FAULT_<name>): without a
// fault it is a well-behaved gain with a MIDI input and a GUI side; each fault breaks one
// rule the validator must catch. FAULT_holds is no fault: its output is a constant written
// in full when it changes and announced still, so its process function writes nothing.
#include <cmath>
#include <cstdint>
#include <string>

#include "KVGUI_base.h"
#include "KVModuleIdentity.h"
#include "KVModule_base.h"

namespace faulty {

#if defined(FAULT_allocates) || defined(FAULT_leaks)
void* volatile g_sink = nullptr;
#endif
#ifdef FAULT_nondeterministic
int g_shared_counter = 0;  // state shared by every instance of the library
#endif

class Module : public KVModule_base {
  public:
    using KVModule_base::KVModule_base;

    bool DescribePin(int32_t index, KVPinProperties* p) override {
        switch (index) {
            case 0:
                Pin(p, &m_in, DR_INPUT, DT_FSAMPLE, "In", "5", 0);
                return true;
            case 1:
                Pin(p, &m_level, DR_INPUT, DT_REAL32, "Level", "1", 0);
                return true;
            case 2:
                Pin(p, nullptr, DR_INPUT, DT_MIDI_STREAM, "MIDI In", nullptr, 0);
                return true;
            case 3:
                Pin(p, nullptr, DR_INPUT, DT_STRING, "Text", "", IO_UI_COMMUNICATION);
                return true;
            case 4:
                Pin(p, nullptr, DR_INPUT, DT_REAL32, "Length", "0", IO_UI_COMMUNICATION);
                return true;
            case 5:
                Pin(p, &m_out, DR_OUT, DT_FSAMPLE, "Out", nullptr, 0);
                return true;
            default:
                return false;
        }
    }

    void Open() override {
#ifdef FAULT_leaks
        g_sink = new int[8];  // never released
#endif
        KVModule_base::Open();
#ifdef FAULT_holds
        ChooseProcessFunction(&Module::Held);
#else
        ChooseProcessFunction(&Module::Process);
#endif
    }

    // The output holds the level: written over the whole buffer at the change, then still.
    void Held(int32_t, int32_t) {
        AskHost(HOST_DORMANT);
    }

    void OnPinUpdate(KVPin*) override {
        Wake();
    }

    void OnMidi(uint32_t, int32_t message, int16_t) override {
        const int32_t status = message & 0xF0;
        const int32_t key = (message >> 8) & 0x7F;
#ifdef FAULT_crashes
        if (status == 0x90 && key == 13) {
            volatile int* volatile nowhere = nullptr;
            *nowhere = 1;
        }
#endif
        if (status == 0x90) m_level = static_cast<float>(key) / 127.0f;
        Wake();
    }

    void Process(int32_t first, int32_t count) {
        const float level =
            std::isfinite(m_level) ? std::fmax(-100.0f, std::fmin(100.0f, m_level)) : 0.0f;
        const float* in = m_in + first;
        float* out = m_out + first;
        int32_t n = count;
#ifdef FAULT_unwritten
        if (n > 1) --n;
#endif
        for (int32_t i = 0; i < n; ++i) out[i] = in[i] * level;
#ifdef FAULT_nan
        if (m_level > 0.5f) out[0] = std::nanf("");
#endif
#ifdef FAULT_allocates
        g_sink = ::operator new(16);
        ::operator delete(g_sink);
#endif
#ifdef FAULT_writes_input
        m_in[first] = 0.0f;
#endif
#ifdef FAULT_overruns
        out[count] = 0.0f;  // one past the slice: past the buffer at a block's end
#endif
#ifdef FAULT_nondeterministic
        out[0] += static_cast<float>(g_shared_counter++ % 2);
#endif
        m_remaining -= count;
        if (m_remaining <= 0 && PinAt(0).Status() != PS_STREAM) AskHost(HOST_DORMANT);
    }

  private:
    static void Pin(KVPinProperties* p, void* v, int32_t dir, int32_t type, const char* name,
                    const char* def, int32_t flags) {
        p->variable = v;
        p->direction = dir;
        p->datatype = type;
        p->name = name;
        p->default_value = def;
        p->flags = flags;
    }
    void Wake() {
        m_remaining = BlockSize();
#ifdef FAULT_holds
        const float level = std::isfinite(m_level) ? m_level : 0.0f;
        for (int32_t i = 0; i < BlockSize(); ++i) m_out[i] = level;
        PinAt(3).SendStatus(SampleClock(), PS_STEP);
        PinAt(3).SendStatus(SampleClock() + 1, PS_STILL);
#else
        PinAt(3).SendStatus(SampleClock(), PS_STREAM);
#endif
    }

    float* m_in = nullptr;
    float m_level = 1.0f;
    float* m_out = nullptr;
    int32_t m_remaining = 0;
};

class GuiModule : public KVGUI_base {
  public:
    using KVGUI_base::KVGUI_base;

    void OnGuiPinChanged(KVGuiPinRef& pin) override {
        const int32_t index = pin.index;
        if (index == 3) {
            const std::string text = PinRef(3).ReadText();
            PinRef(4).WriteFloat(static_cast<float>(text.size()));
        }
#ifdef FAULT_gui_loop
        if (index == 4) PinRef(4).WriteFloat(PinRef(4).ReadFloat() + 1.0f);
#endif
    }
};

}  // namespace faulty

const KVModuleIdentity kvModuleIdentity = {KV_FAULT_NAME,
                                           KV_FAULT_NAME,
                                           "",
                                           false,
                                           0,
                                           false,
                                           0,
                                           true,
                                           &KVMakeDsp<faulty::Module>,
                                           &KVMakeGui<faulty::GuiModule>};
