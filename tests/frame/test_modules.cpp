// The frame-test modules and the identity of the test executable.
#include "test_modules.h"

std::vector<KVPinProperties> TestModule::descriptions;
std::vector<int32_t> TestModule::described;
int TestModule::destroyed = 0;
int TestGui::destroyed = 0;

TestModule::~TestModule() { ++destroyed; }

bool TestModule::DescribePin(int32_t index, KVPinProperties* properties) {
    described.push_back(index);
    if (index < 0 || static_cast<size_t>(index) >= descriptions.size()) return false;
    *properties = descriptions[static_cast<size_t>(index)];
    return true;
}

void TestModule::OnPinUpdate(KVPin* pin) {
    seen_status = pin->Status();
    seen_pin = pin->Index();
}

void TestModule::OnMidi(uint32_t clock, int32_t message, int16_t value2) {
    midi_clock = clock;
    midi_message = message;
    midi_value2 = value2;
}

KVPinProperties Pin(int32_t datatype, int32_t flags, void* variable, int32_t direction) {
    KVPinProperties p{};
    p.variable = variable;
    p.direction = direction;
    p.datatype = datatype;
    p.name = "pin";
    p.flags = flags;
    return p;
}

const KVModuleIdentity kvModuleIdentity = {
    .name = "frame test",
    .id = "frame test",
    .about = "",
    .sets_flags = true,
    .flags = 512,
    .sets_flags_ext = true,
    .flags_ext = 256,
    .revision_for_any_index = true,
    .make_dsp = &KVMakeDsp<TestModule>,
    .make_gui = &KVMakeGui<TestGui>,
};
