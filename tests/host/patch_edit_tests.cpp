// Editing patches: a patch built edit by edit equals the one written by hand, random edits
// always leave a patch that loads, and a refused edit changes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "kvhost/patch.h"
#include "kvhost/patch_edit.h"

namespace {

using namespace kvhost;
namespace fs = std::filesystem;

std::string TempDir() {
    const fs::path dir = fs::temp_directory_path() / ("kvedit_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir.string();
}

std::vector<float> RenderWithNotes(const PatchPlan& plan, uint32_t frames) {
    PatchPlan p = plan;
    p.sample_rate = 48000;
    Patch patch(p);
    MidiSequence midi;
    const uint8_t keys[] = {57, 64, 60, 67, 72, 62, 69, 59, 65};  // nine: a voice is stolen
    for (uint32_t k = 0; k < 9; ++k) {
        midi.events.push_back({1000 + 3000 * k, 0x90, keys[k], 100});
        midi.events.push_back({20000 + 2500 * k, 0x80, keys[k], 0});
    }
    patch.SetMidi(midi);
    std::vector<float> out(frames * static_cast<uint32_t>(patch.Channels()));
    patch.Render(out.data(), frames);
    return out;
}

// What a patch is made of, in a comparable form: modules with their deliverables' names and
// settings, wires, voices, outputs.
std::string Shape(const PatchPlan& plan) {
    std::vector<std::string> parts;
    for (const auto& m : plan.modules) {
        std::string s = m.name + "=" + Plugin::LoadFromSearchPath(m.plugin)->Name();
        std::vector<std::string> pins;
        for (const auto& p : m.settings) pins.push_back(p.pin + ":" + p.text);
        std::sort(pins.begin(), pins.end());
        for (const auto& p : pins) s += " " + p;
        parts.push_back(s);
    }
    for (const auto& w : plan.wires) {
        parts.push_back(w.from.module + "." + w.from.pin + ">" + w.to.module + "." + w.to.pin);
    }
    for (const auto& v : plan.voices) {
        std::string s = "voices " + std::to_string(v.count);
        for (const auto& m : v.modules) s += " " + m;
        parts.push_back(s);
    }
    for (const auto& o : plan.outputs) parts.push_back("out " + o.module + "." + o.pin);
    parts.push_back(plan.midi_live ? "live" : "no live");
    std::sort(parts.begin(), parts.end());
    std::string all;
    for (const auto& p : parts) all += p + "\n";
    return all;
}

TEST(PatchEdit, TheDemoPatchBuiltEditByEditEqualsTheOneWrittenByHand) {
    const std::string path = TempDir() + "/built.json";
    PatchEditor e(path);
    EXPECT_THROW(e.Save(), Error);  // nothing to save yet
    e.AddModule("keys", "wy:VUDA2DU", std::pair{40.0, 60.0});
    e.AddModule("voice", "ZOR Twin-Op");
    e.SetPin("keys", "Retrigger", "On");
    e.SetPin("voice", "On/Off", "On");
    e.SetPin("voice", "Algorithm", "2->1");
    e.SetPin("voice", "OP2 Level", "0.6");
    e.Connect({"keys", "Pitch"}, {"voice", "OP1 Pitch"});
    e.Connect({"keys", "Pitch"}, {"voice", "OP2 Pitch"});
    e.Connect({"keys", "Gate"}, {"voice", "OP1 FB/Level"});
    e.SetVoices(0, 8, {"keys", "voice"});
    e.SetOutputs({{"voice", "Output"}}, 1.0);
    e.SetMidi("live", std::nullopt);
    EXPECT_TRUE(e.Changed());
    e.Save();
    EXPECT_FALSE(e.Changed());

    const PatchPlan built = LoadPatch(path);
    const PatchPlan hand = LoadPatch(std::string(KVHOST_EXAMPLES) + "/demo_live.json");
    EXPECT_EQ(Shape(built), Shape(hand));
    EXPECT_EQ(RenderWithNotes(built, 48000), RenderWithNotes(hand, 48000));
}

// Each refused edit names its subject and the loader's reason, and leaves the patch as it was.
TEST(PatchEdit, RefusedEditsSayWhyAndChangeNothing) {
    PatchEditor e(TempDir() + "/refused.json");
    e.AddModule("keys", "wy_VUDA2DU");
    e.AddModule("osc", "ZOR Twin-Op");
    e.AddModule("out", "ZOR Twin-Op");
    e.Connect({"keys", "Pitch"}, {"osc", "OP1 Pitch"});
    e.SetVoices(0, 4, {"keys", "osc"});
    struct Case {
        const char* what;
        std::function<void()> edit;
        const char* subject;
    };
    const std::vector<Case> cases = {
        {"a path for a deliverable", [&] { e.AddModule("x", "../evil.so"); }, "x"},
        {"an unknown deliverable", [&] { e.AddModule("x", "No Such"); }, "x"},
        {"a name taken", [&] { e.AddModule("osc", "ZOR Twin-Op"); }, "osc"},
        {"a dotted name", [&] { e.RenameModule("osc", "a.b"); }, "osc"},
        {"an input wired twice",
         [&] {
             e.Connect({"keys", "Gate"}, {"osc", "OP1 Pitch"});
         },
         "osc.OP1 Pitch"},
        {"a sample output into a choice",
         [&] {
             e.Connect({"keys", "Pitch"}, {"osc", "Algorithm"});
         },
         "osc.Algorithm"},
        {"a wire out of a voice group",
         [&] {
             e.Connect({"osc", "Output"}, {"out", "OP1 Pitch"});
         },
         "out.OP1 Pitch"},
        {"a loop",
         [&] {
             e.Connect({"osc", "Output"}, {"keys", "MIDI In"});
         },
         "keys.MIDI In"},
        {"no such pin", [&] { e.SetPin("osc", "Nope", "1"); }, "osc.Nope"},
        {"a value out of range", [&] { e.SetPin("osc", "Algorithm", "99"); }, "osc.Algorithm"},
        {"no voices",
         [&] {
             e.SetVoices(0, 0, {"keys", "osc"});
         },
         "keys"},
        {"too many voices",
         [&] {
             e.SetVoices(0, 129, {"keys", "osc"});
         },
         "keys"},
        {"a group skipped", [&] { e.SetVoices(3, 2, {"out"}); }, "out"},
        {"a MIDI file that is not there", [&] { e.SetMidi("none.mid", std::nullopt); }, ""},
        {"a MIDI file outside the folder", [&] { e.SetMidi("../x.mid", std::nullopt); }, ""},
        {"no wire to delete",
         [&] {
             e.Disconnect({"out", "OP1 Pitch"});
         },
         "out.OP1 Pitch"},
        {"no module to remove", [&] { e.RemoveModule("nobody"); }, "nobody"},
    };
    for (const Case& c : cases) {
        const std::string before = e.Text();
        try {
            c.edit();
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const EditRefused& r) {
            EXPECT_EQ(r.subject, c.subject) << c.what;
            EXPECT_EQ(std::string(r.what()).find("refused.json"), std::string::npos) << r.what();
        }
        EXPECT_EQ(e.Text(), before) << c.what;
    }
}

// Random edit sequences: every accepted edit leaves a patch that loads and builds as render
// builds it, undo gives back the patch before it and redo the one after, a refused edit
// changes nothing (a removed or renamed module left named anywhere would fail to build).
TEST(PatchEdit, RandomEditsAlwaysLeaveAPatchThatLoads) {
    const std::string dir = TempDir();
    const std::vector<std::string> deliverables = {"wy_VUDA2DU", "ZOR Twin-Op", "ZOR Warpwave",
                                                   "ZOR Basic Voice", "mxt_AnimVolts"};
    std::mt19937 rng(20261208);
    const auto pick = [&](auto& list) -> const auto& {
        return list[rng() % list.size()];
    };
    PatchEditor e(dir + "/random.json");
    int accepted = 0, refused = 0;
    for (int step = 0; step < 400; ++step) {
        std::vector<std::string> names;
        std::vector<PatchPin> outs, ins;
        if (!e.Empty()) {
            const PatchPlan plan = e.Plan();
            for (const auto& m : plan.modules) {
                names.push_back(m.name);
                DspInstance probe(Plugin::LoadFromSearchPath(m.plugin), 48000, 64);
                for (const PinInfo& p : probe.Pins()) {
                    (p.IsOutput() ? outs : ins).push_back({m.name, p.name});
                }
            }
        }
        const std::string before = e.Text();
        const int kind = names.empty() ? 0 : static_cast<int>(rng() % 9);
        try {
            switch (kind) {
                case 0:
                    e.AddModule("m" + std::to_string(step), pick(deliverables));
                    break;
                case 1:
                    e.RemoveModule(pick(names));
                    break;
                case 2:
                    e.RenameModule(pick(names), "r" + std::to_string(step));
                    break;
                case 3:
                case 4:
                    e.Connect(pick(outs), pick(ins));
                    break;
                case 5:
                    e.Disconnect(pick(ins));
                    break;
                case 6:
                    e.SetOutputs({pick(outs)}, 0.5);
                    break;
                case 7:
                    e.SetVoices(rng() % (e.GroupCount() + 1), static_cast<int32_t>(rng() % 10),
                                {pick(names)}, rng() % 2 == 0);
                    break;
                case 8:
                    e.SetMidi(rng() % 2 ? "live" : "none", std::nullopt);
                    break;
            }
        } catch (const EditRefused&) {
            ++refused;
            EXPECT_EQ(e.Text(), before) << "step " << step;
            continue;
        }
        const std::string after = e.Text();
        if (after == before) continue;
        ++accepted;
        if (!e.Empty()) {
            EXPECT_NO_THROW(Patch(ParsePatch(after, "after.json", dir))) << after;
        }
        ASSERT_TRUE(e.Undo());
        EXPECT_EQ(e.Text(), before);
        ASSERT_TRUE(e.Redo());
        EXPECT_EQ(e.Text(), after);
    }
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 20);
    if (!e.Empty()) {
        e.Save();
        EXPECT_NO_THROW(Patch(LoadPatch(dir + "/random.json")));
    }
}

}  // namespace
