// The GUI module base: record set-up, the GUI opcode dispatcher and the pin handle.
#include "KVGUI_base.h"

#include <cstring>
#include <vector>

namespace {

// One handle per library, shared by every GUI object of it.
KVGuiPinRef g_pin_ref{0, nullptr};

// Longest wide text the frame accepts from the host, in UTF-16 units.
constexpr intptr_t kMaxWideUnits = intptr_t{1} << 24;

}  // namespace

KVGUI_base::KVGUI_base(kvaudioMaster callback, void* host_reference) : m_callback(callback) {
    std::memset(&m_record, 0, sizeof m_record);
    m_record.magic = KV_GUI_MAGIC;
    m_record.format = KV_RECORD_FORMAT;
    m_record.dispatch = &KVGUI_base::DispatchEntry;
    m_record.host_reference = host_reference;
    m_record.object = this;
}

intptr_t KVGUI_base::DispatchEntry(void* record, int32_t opcode, int32_t index, int32_t value,
                                   void* ptr, float opt) {
    if (record == nullptr) return 0;
    auto* self = static_cast<KVGUI_base*>(static_cast<KVGuiHostRecord*>(record)->object);
    return self->Dispatch(opcode, index, value, ptr, opt);
}

intptr_t KVGUI_base::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    KVGuiPoint point{index, value};
    switch (opcode) {
        case GUI_INIT:
            OnGuiInit(index == 1);
            return 0;
        case GUI_CLOSE:
            OnGuiClose();
            delete this;
            return 1;
        case GUI_OP2:
            OnGuiOp2(index, ptr);
            return 0;
        case GUI_OP3:
            OnGuiOp3(ptr, opt, point);
            return 0;
        case GUI_OP4:
            OnGuiOp4(ptr, opt, point);
            return 0;
        case GUI_OP5:
            OnGuiOp5(ptr, opt, point);
            return 0;
        case GUI_OP6:
            OnGuiOp6(value, index, ptr);
            return 0;
        case GUI_PIN_CHANGED: {
            KVGuiPinRef pin{index, this};
            OnGuiPinChanged(pin);
            return 0;
        }
        case GUI_OP8:
            OnGuiOp8(ptr);
            return 0;
        case GUI_OP9:
            OnGuiOp9(ptr);
            return 0;
        case GUI_OP10:
            return OnGuiOp10() ? 1 : 0;
        case GUI_OP11:
            OnGuiOp11(index);
            return 0;
        case GUI_OP12:
            OnGuiOp12(index);
            return 0;
        default:
            return 0;
    }
}

void KVGUI_base::OnGuiInit(bool) {}
void KVGUI_base::OnGuiClose() {}
void KVGUI_base::OnGuiOp2(int32_t, void*) {}
void KVGUI_base::OnGuiOp3(void*, float, KVGuiPoint&) {}
void KVGUI_base::OnGuiOp4(void*, float, KVGuiPoint&) {}
void KVGUI_base::OnGuiOp5(void*, float, KVGuiPoint&) {}
void KVGUI_base::OnGuiOp8(void*) {}
void KVGUI_base::OnGuiOp9(void*) {}
bool KVGUI_base::OnGuiOp10() {
    return false;
}
void KVGUI_base::OnGuiOp11(int32_t) {}
void KVGUI_base::OnGuiOp12(int32_t) {}
void KVGUI_base::OnGuiOp6(int32_t, int32_t, void*) {}
void KVGUI_base::OnGuiPinChanged(KVGuiPinRef&) {}

intptr_t KVGUI_base::AskHost(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    KV_ASSERT(m_callback != nullptr, "kvaudioMaster");
    if (m_callback == nullptr) return 0;
    return m_callback(&m_record, opcode, index, value, ptr, opt);
}

KVGuiPinRef& KVGUI_base::PinRef(int32_t i) {
    g_pin_ref.index = i;
    g_pin_ref.module = this;
    return g_pin_ref;
}

std::string KVGuiPinRef::ReadText() {
    const auto* text = reinterpret_cast<const char*>(module->AskHost(GUIHOST_GET_TEXT, index));
    return text != nullptr ? std::string(text) : std::string();
}

void KVGuiPinRef::WriteText(const char* text) {
    module->AskHost(GUIHOST_PUT_TEXT, index, 0, const_cast<char*>(text));
}

int32_t KVGuiPinRef::ReadInt() {
    int32_t result = 0;
    module->AskHost(GUIHOST_GET_VALUE, index, 0, &result);
    return result;
}

float KVGuiPinRef::ReadFloat() {
    float result = 0.0f;
    module->AskHost(GUIHOST_GET_VALUE, index, 0, &result);
    return result;
}

void KVGuiPinRef::WriteInt(int32_t v) {
    module->AskHost(GUIHOST_PUT_VALUE, index, v, nullptr, 0.0f);
}

void KVGuiPinRef::WriteFloat(float f) {
    module->AskHost(GUIHOST_PUT_VALUE, index, 0, nullptr, f);
}

std::u16string KVGuiPinRef::ReadWideText() {
    const intptr_t n = module->AskHost(GUIHOST_GET_WTEXT, index, 0, nullptr);
    if (n < 1 || n > kMaxWideUnits) return {};
    std::vector<char16_t> buffer(static_cast<size_t>(n), u'\0');
    module->AskHost(GUIHOST_GET_WTEXT, index, static_cast<int32_t>(n), buffer.data());
    buffer.back() = u'\0';  // a host that filled every unit still ends the text here
    return std::u16string(buffer.data());
}
