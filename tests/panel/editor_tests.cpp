// The editing model without a page: what the page's edit messages do to the patch, what they
// may never do (name a file to load or write elsewhere), and the values of DSP-side pins.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "kvhost/panel_editor.h"

namespace {

namespace fs = std::filesystem;
using kvhost::EditorModel;
using kvhost::EditRefused;
using kvhost::PatchEditor;
using nlohmann::json;

struct Folder {
    Folder() : path(fs::temp_directory_path() / ("kv-editor-" + std::to_string(::getpid()))) {
        fs::create_directories(path);
    }
    ~Folder() { fs::remove_all(path); }
    std::string File(const std::string& name) const { return (path / name).string(); }
    fs::path path;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The refusal an edit meets: "subject|reason" ("" when accepted).
std::string Edit(EditorModel& model, const json& message) {
    try {
        model.Edit(message.dump());
    } catch (const EditRefused& e) {
        return e.subject + "|" + e.what();
    }
    return "";
}

TEST(EditorModel, EditsChangeThePatchAndRefusalsNameTheirSubject) {
    Folder folder;
    EditorModel model(std::make_unique<PatchEditor>(folder.File("p.json")));
    const auto layout = model.LayoutRevision();
    // Each edit in turn: what refuses it ("" accepted), as subject|start of reason.
    const std::vector<std::pair<json, std::string>> steps = {
        {{{"op", "add"}, {"name", "keys"}, {"plugin", "wy_VUDA2DU"}, {"x", 20}, {"y", 20}}, ""},
        {{{"op", "add"}, {"name", "voice"}, {"plugin", "ZOR Twin-Op"}}, ""},
        {{{"op", "add"}, {"name", "x"}, {"plugin", "../plugins/ZOR Twin-Op.so"}},
         "x|no deliverable"},
        {{{"op", "add"}, {"name", "x"}, {"plugin", "/tmp/evil.so"}}, "x|no deliverable"},
        {{{"op", "wire"}, {"from", {"keys", "Pitch"}}, {"to", {"voice", "OP1 Pitch"}}}, ""},
        {{{"op", "wire"}, {"from", {"keys", "Pitch"}}, {"to", {"voice", "Algorithm"}}},
         "voice.Algorithm|"},
        {{{"op", "unwire"}, {"to", "voice.OP2 Pitch"}}, "voice.OP2 Pitch|no wire"},
        {{{"op", "place"}, {"module", "voice"}, {"x", 300}, {"y", 40}}, ""},
        {{{"op", "midi"}, {"source", "../../etc/passwd"}}, "|no MIDI file"},
        {{{"op", "save_as"}, {"name", "../out.json"}}, "|save as takes a plain file name"},
        {{{"op", "save_as"}, {"name", "/tmp/out.json"}}, "|save as takes a plain file name"},
        {{{"op", "save_as"}, {"name", ".hidden.json"}}, "|save as takes a plain file name"},
        {{{"op", "voices"}, {"count", "8"}}, "|\"count\" must be a number"},
        {{{"op", "format"}}, "|unknown edit"},
        {{{"op", "save"}}, ""},
        {{{"op", "save_as"}, {"name", "p.json"}}, ""},  // its own file
    };
    for (const auto& [message, refusal] : steps) {
        const std::string got = Edit(model, message);
        if (refusal.empty()) {
            EXPECT_EQ(got, "") << message.dump();
        } else {
            EXPECT_EQ(got.substr(0, refusal.size()), refusal) << message.dump() << ": " << got;
        }
    }
    EXPECT_GT(model.LayoutRevision(), layout);
    json s = json::parse(model.Structure());
    EXPECT_EQ(s["wires"].size(), 1u);
    EXPECT_EQ(s["modules"][1]["ui"], json({{"x", 300}, {"y", 40}}));
    EXPECT_FALSE(s["changed"]);
    EXPECT_TRUE(s["can_undo"]);

    // A file of another name that exists is never replaced.
    std::ofstream(folder.File("other.json")) << "keep";
    EXPECT_EQ(Edit(model, {{"op", "save_as"}, {"name", "other.json"}}).substr(0, 15),
              "|\"other.json\" e");
    EXPECT_EQ(ReadFile(folder.File("other.json")), "keep");
    EXPECT_FALSE(fs::exists(folder.path.parent_path() / "out.json"));
}

TEST(EditorModel, DspSidePinsAreSetInThePatchChoicesByLabel) {
    Folder folder;
    EditorModel model(std::make_unique<PatchEditor>(folder.File("p.json")));
    ASSERT_EQ(Edit(model, {{"op", "add"}, {"name", "voice"}, {"plugin", "ZOR Twin-Op"}}), "");
    kvhost::PanelUpdates first;
    model.Collect(first, false);  // the layout's values taken as shown
    const auto layout = model.LayoutRevision();
    const auto structure = model.StructureRevision();
    model.Set("voice", "Algorithm", "1");
    model.Set("voice", "On/Off", "1");
    model.Set("voice", "OP2 Level", "0.6");
    EXPECT_EQ(model.Get("voice", "Algorithm"), "1");
    EXPECT_EQ(model.LayoutRevision(), layout) << "a value changes no card";
    EXPECT_EQ(model.StructureRevision(), structure + 3);
    kvhost::PanelUpdates u;
    model.Collect(u, false);
    EXPECT_EQ(u.pins.size(), 2u) << "On/Off was On already";
    const json saved = json::parse(model.Editor().Text());
    EXPECT_EQ(saved["modules"][0]["pins"],
              json::parse(R"({"Algorithm": "2->1", "On/Off": "On", "OP2 Level": 0.6})"));
    EXPECT_THROW(model.Set("voice", "Algorithm", "9"), kvhost::Error);
    EXPECT_THROW(model.Set("voice", "Output", "1"), kvhost::Error);
    ASSERT_EQ(Edit(model, {{"op", "undo"}}), "");
    EXPECT_EQ(model.Get("voice", "OP2 Level"), "0");
}

}  // namespace

namespace {

// GUI sides run while editing: a value set on one is kept under "stored", so it stays through
// the rebuilds of later edits and goes with undo.
TEST(EditorModel, GuiSideValuesCarryThroughEditsAndUndo) {
    Folder folder;
    EditorModel model(std::make_unique<PatchEditor>(folder.File("p.json")));
    // A patch sounds: a module with a sample output for the audio, then the GUI modules.
    ASSERT_EQ(Edit(model, {{"op", "add"}, {"name", "voice"}, {"plugin", "ZOR Twin-Op"}}), "");
    ASSERT_EQ(Edit(model, {{"op", "outputs"}, {"outputs", {"voice.Output"}}}), "");
    ASSERT_EQ(Edit(model, {{"op", "add"}, {"name", "scale"}, {"plugin", "jx_VecMul"}}), "");
    model.Set("scale", "Array In", "1,2,3");
    model.Set("scale", "Multiply by", "2");
    const std::string doubled = "2.000000,4.000000,6.000000";
    EXPECT_EQ(model.Get("scale", "Array Out"), doubled);
    const json stored = json::parse(model.Editor().Text())["modules"][1]["stored"];
    EXPECT_EQ(stored, json::parse(R"({"Array In": "1,2,3", "Multiply by": 2})"));
    ASSERT_EQ(Edit(model, {{"op", "add"}, {"name", "csv"}, {"plugin", "jx_CsvFloats"}}), "");
    ASSERT_EQ(Edit(model, {{"op", "rename"}, {"module", "scale"}, {"to", "times"}}), "");
    EXPECT_EQ(model.Get("times", "Array Out"), doubled) << "rebuilt with its values";
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Edit(model, {{"op", "undo"}}), "");
    EXPECT_EQ(model.Get("scale", "Array Out"), "1.000000,2.000000,3.000000")
        << "Multiply by undone";
    ASSERT_EQ(Edit(model, {{"op", "undo"}}), "");
    EXPECT_EQ(model.Get("scale", "Array Out"), "") << "Array In undone";
}

}  // namespace
