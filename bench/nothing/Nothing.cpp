// A plug-in that does nothing but write its output: the benchmarks weigh the host's own
// cost per block and per event against it.
#include "KVModuleIdentity.h"

namespace bench_nothing {

class Module : public KVModule_base {
  public:
    using KVModule_base::KVModule_base;

    bool DescribePin(int32_t index, KVPinProperties* p) override {
        switch (index) {
            case 0:
                p->name = "Setting";
                p->direction = DR_INPUT;
                p->datatype = DT_CHOICE;
                p->default_value = "0";
                p->choices = "range 0,100";
                p->variable = &m_setting;
                return true;
            case 1:
                p->name = "Output";
                p->direction = DR_OUT;
                p->datatype = DT_FSAMPLE;
                p->variable = &m_output;
                return true;
            default:
                return false;
        }
    }

    void Open() override {
        KVModule_base::Open();
        ChooseProcessFunction(&Module::Process);
    }

    void Process(int32_t first, int32_t count) {
        float* const out = m_output + first;
        for (int32_t n = 0; n < count; ++n) out[n] = 0.25f;
    }

  private:
    int16_t m_setting = 0;
    float* m_output = nullptr;
};

}  // namespace bench_nothing

const KVModuleIdentity kvModuleIdentity = {
    .name = "kv_bench_nothing",
    .id = "kv_bench_nothing",
    .about = "Writes 2.5 V to its output and does nothing else.",
    .sets_flags = false,
    .flags = 0,
    .sets_flags_ext = false,
    .flags_ext = 0,
    .revision_for_any_index = true,
    .make_dsp = &KVMakeDsp<bench_nothing::Module>,
    .make_gui = nullptr,
};
