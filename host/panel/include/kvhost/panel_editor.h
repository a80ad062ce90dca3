// `kvhost panel PATCH --edit` and `kvhost panel --new FILE`: a patch built in the page. The
// model wraps a PatchEditor: every edit a page sends is checked by loading the result as
// `render` does; the modules' GUI sides run as GuiPatchModel runs them, rebuilt from the new
// plan after each accepted edit; the pins of DSP sides are set in the patch itself.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kvhost/panel.h"
#include "kvhost/patch_edit.h"

namespace kvhost {

class EditorModel : public PanelModel, public PanelEditing {
  public:
    // Reads the plug-in search path for the catalog and starts the GUI sides of the patch.
    explicit EditorModel(std::unique_ptr<PatchEditor> editor);
    ~EditorModel() override;

    // ---- PanelModel -------------------------------------------------------------------
    PanelLayout Layout() override;
    // A GUI-side pin: set on the GUI side and kept under the module's "stored"; any other
    // input: PatchEditor::SetPin (a choice's number saved as its label).
    void Set(const std::string& module, const std::string& pin, const std::string& text) override;
    std::string Get(const std::string& module, const std::string& pin) override;
    void Note(bool on, int32_t key, int32_t velocity) override;
    void Watch(const std::string& module, const std::string& pin) override;
    void Collect(PanelUpdates& out, bool frames) override;
    PanelEditing* Editing() override { return this; }

    // ---- PanelEditing -----------------------------------------------------------------
    std::string Catalog() override;
    std::string Structure() override;
    void Edit(const std::string& message) override;
    uint64_t StructureRevision() const override { return structure_revision_; }
    uint64_t LayoutRevision() const override { return layout_revision_; }

    const PatchEditor& Editor() const { return *editor_; }
    // Called with the new plan after every accepted change of the patch (not while it is
    // empty): where a live engine would follow the edits.
    std::function<void(const PatchPlan&)> plan_changed;

  private:
    struct Deliverable {
        std::shared_ptr<Plugin> plugin;
        std::vector<PinInfo> pins;
        bool gui = false;
    };
    const Deliverable& Describe(const std::string& plugin);
    const PinInfo& PinOf(const std::string& module, const std::string& pin);
    bool RunsOnGui(const std::string& module, const PinInfo& pin);
    std::string SettingOf(const std::string& module, const PinInfo& pin) const;
    void Apply(const std::string& op, const std::string& message);
    void Changed(bool rebuild_gui);
    void Rebuild();
    std::string Shape() const;
    std::vector<std::vector<std::string>> Values();

    std::unique_ptr<PatchEditor> editor_;
    std::optional<PatchPlan> plan_;  // none while the patch is empty
    std::unique_ptr<GuiPatchModel> gui_;
    std::map<std::string, Deliverable> described_;  // by the name a patch gives
    std::string catalog_;
    std::string shape_;
    std::vector<std::vector<std::string>> shown_;  // per layout module and pin
    uint64_t structure_revision_ = 1, layout_revision_ = 1;
};

}  // namespace kvhost
