// Each deliverable as the host first meets it: a file of the right name in the plug-in
// folder that exports exactly the two entry points and reports the right identity.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <ostream>
#include <set>
#include <string>

#include "kv_abi.h"

namespace {

struct Expected {
    const char* file;  // deliverable name, without ".so"
    const char* name;  // identity name and id
    bool gui;
    int32_t flags;      // -1: left as the host passed it
    int32_t flags_ext;  // -1: left as the host passed it
    int32_t revision;
    bool revision_for_any_index;
};

const Expected kDeliverables[] = {
    {"jx_CsvFloats", "jx_CsvFloats", true, 512, 256, 2230, true},
    {"jx_CsvInts", "jx_CsvInts", true, 512, 256, 2230, true},
    {"jx_VecMul", "jx_VecMul", true, 512, 256, 2230, true},
    {"wy_VUDA2DU", "wy:VUDA2DU", false, -1, -1, 2230, true},
    {"mxt_AnimVolts", "MXT ZeruDurodov DereRizev", true, 64, -1, 2230, false},
    {"ZOR Warpwave", "ZOR Warpwave", false, -1, -1, 2230, true},
    {"ZOR Twin-Op", "ZOR Twin-Op", false, -1, -1, 2230, true},
    {"ZOR Basic Voice", "ZOR Basic Voice", false, -1, -1, 2120, true},
};

// A GUI side needs a callback; this one answers every request with nothing.
intptr_t QuietHost(void*, int32_t opcode, int32_t, int32_t, void*, float) {
    static const char empty[] = "";
    return opcode == GUIHOST_GET_TEXT ? reinterpret_cast<intptr_t>(empty) : 0;
}

void PrintTo(const Expected& e, std::ostream* os) { *os << e.file; }

std::string PathOf(const Expected& e) { return std::string(KV_PLUGIN_DIR) + "/" + e.file + ".so"; }

std::set<std::string> ExportedSymbols(const std::string& path) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        const size_t space = s.rfind(' ');
        names.insert(space == std::string::npos ? s : s.substr(space + 1));
    }
    pclose(pipe);
    return names;
}

class Deliverable : public ::testing::TestWithParam<Expected> {};

TEST_P(Deliverable, ExportsOnlyTheEntryPoints) {
    const std::string path = PathOf(GetParam());
    ASSERT_EQ(ExportedSymbols(path), (std::set<std::string>{"getModuleProperties", "makeModule"}))
        << path;
}

TEST_P(Deliverable, IdentityAndKinds) {
    const Expected& e = GetParam();
    void* lib = dlopen(PathOf(e).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto properties = reinterpret_cast<KVGetModulePropertiesFn>(dlsym(lib, "getModuleProperties"));
    auto make = reinterpret_cast<KVMakeModuleFn>(dlsym(lib, "makeModule"));
    ASSERT_NE(properties, nullptr);
    ASSERT_NE(make, nullptr);

    KVModuleInfo info{};
    info.flags = info.flags_ext = info.frame_revision = -1;
    EXPECT_FALSE(properties(1, &info));
    EXPECT_EQ(info.frame_revision, e.revision_for_any_index ? e.revision : -1);
    EXPECT_EQ(info.name, nullptr);
    ASSERT_TRUE(properties(0, &info));
    EXPECT_STREQ(info.name, e.name);
    EXPECT_STREQ(info.id, e.name);
    EXPECT_NE(info.about, nullptr);
    EXPECT_EQ(info.flags, e.flags);
    EXPECT_EQ(info.flags_ext, e.flags_ext);
    EXPECT_EQ(info.frame_revision, e.revision);

    int reference = 0;
    EXPECT_EQ(make(1, KV_KIND_DSP, nullptr, &reference), nullptr);
    EXPECT_EQ(make(1, KV_KIND_GUI, nullptr, &reference), nullptr);
    EXPECT_EQ(make(0, 3, nullptr, &reference), nullptr);
    auto* dsp = static_cast<KVHostRecord*>(make(0, KV_KIND_DSP, nullptr, &reference));
    ASSERT_NE(dsp, nullptr);
    EXPECT_EQ(dsp->magic, KV_DSP_MAGIC);
    EXPECT_EQ(dsp->format, 1);
    EXPECT_EQ(dsp->host_reference, &reference);
#ifdef NDEBUG
    // Without a callback there is no pin table; a release build still opens, runs and
    // closes (a debug build stops at its "m_pins != 0" check instead).
    EXPECT_EQ(dsp->dispatch(dsp, MOD_OPEN, 0, 0, nullptr, 0.0f), 0);
    dsp->process(dsp->object, 0, 0);
#endif
    EXPECT_EQ(dsp->dispatch(dsp, MOD_CLOSE, 0, 0, nullptr, 0.0f), 1);

    auto* gui = static_cast<KVGuiHostRecord*>(make(0, KV_KIND_GUI, &QuietHost, &reference));
    if (!e.gui) {
        EXPECT_EQ(gui, nullptr);
    } else {
        ASSERT_NE(gui, nullptr);
        EXPECT_EQ(gui->magic, KV_GUI_MAGIC);
        EXPECT_EQ(gui->host_reference, &reference);
        EXPECT_EQ(gui->dispatch(gui, GUI_INIT, 1, 0, nullptr, 0.0f), 0);
        EXPECT_EQ(gui->dispatch(gui, GUI_CLOSE, 0, 0, nullptr, 0.0f), 1);
    }
    dlclose(lib);
}

INSTANTIATE_TEST_SUITE_P(All, Deliverable, ::testing::ValuesIn(kDeliverables),
                         [](const ::testing::TestParamInfo<Expected>& info) {
                             std::string name = info.param.file;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
