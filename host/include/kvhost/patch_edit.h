// Editing a patch's shape: modules added, removed and renamed, wires drawn and deleted, the
// audio outputs, the MIDI source and the voice groups changed, each edit undoable. Every edit
// is checked by the rules a patch is loaded by, so an edited patch always runs in `render`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvhost/host.h"
#include "kvhost/patch.h"

namespace kvhost {

// An edit the patch rules refuse. The patch is left as it was; `subject` is what the reason
// concerns, for an editor to show it there: a module ("voice") or a pin ("voice.OP1 Pitch").
struct EditRefused : Error {
    EditRefused(std::string subject_, const std::string& reason)
        : Error(reason), subject(std::move(subject_)) {}
    std::string subject;
};

// A patch file being edited. It holds the file's JSON, so that what the editor does not
// change (comments, controls, keys it does not know) is saved as it was. Each edit is made on
// a copy that ParsePatch reads and a Patch is built from, as `render` builds it; only then
// does the copy replace the patch. A patch with no modules yet is allowed while editing, but
// not saved.
class PatchEditor {
  public:
    // An empty patch, to be saved as `path`.
    explicit PatchEditor(std::string path);
    // A patch file's text (Error, as ParsePatch's, when it does not load).
    PatchEditor(const std::string& text, std::string path);
    ~PatchEditor();
    PatchEditor(const PatchEditor&) = delete;
    PatchEditor& operator=(const PatchEditor&) = delete;

    // ---- Edits (EditRefused leaves the patch as it was) ----------------------------
    // A module of deliverable `deliverable` (a name or id on the plug-in search path; never a
    // path), named `name`, its card at (x, y) when given.
    void AddModule(const std::string& name, const std::string& deliverable,
                   std::optional<std::pair<double, double>> at = {});
    // Removes the module and everything that names it: wires, outputs, the MIDI target,
    // its place in a voice group (an emptied group goes), controls and controller mappings.
    void RemoveModule(const std::string& name);
    // Renames the module everywhere the patch names it.
    void RenameModule(const std::string& from, const std::string& to);
    // A pin's setting, as a patch writes it (a number, a choice label, on/off).
    void SetPin(const std::string& module, const std::string& pin, const std::string& text);
    // A GUI-side pin's value, kept under the module's "stored" as a live host restores it.
    void SetStored(const std::string& module, const std::string& pin, const std::string& text);
    void Connect(const PatchPin& from, const PatchPin& to);
    void Disconnect(const PatchPin& to);  // the wire into `to`
    // The sample outputs mixed to the audio channels, one each (empty: the patch's default),
    // and the gain.
    void SetOutputs(const std::vector<PatchPin>& outputs, double gain);
    // The MIDI source: "live", "none", or a MIDI file's plain name in the patch's folder;
    // `to`: the MIDI input it plays (none: the first in the patch).
    void SetMidi(const std::string& source, const std::optional<PatchPin>& to);
    // Voice group `group` (a new one when it equals GroupCount()): `count` copies of
    // `modules`, sleeping when `sleep`. No modules removes the group.
    void SetVoices(std::size_t group, int32_t count, const std::vector<std::string>& modules,
                   bool sleep = false);
    void Place(const std::string& module, double x, double y);  // the card's position

    bool Undo();  // false when there is nothing to undo
    bool Redo();
    bool CanUndo() const { return !undo_.empty(); }
    bool CanRedo() const { return !redo_.empty(); }

    // ---- Reading --------------------------------------------------------------------
    bool Empty() const;  // no modules yet
    std::size_t GroupCount() const;
    PatchPlan Plan() const;    // Error when Empty()
    std::string Text() const;  // the patch file as it would be saved
    const std::string& Path() const { return path_; }
    bool Changed() const;  // differs from the file as loaded or last saved

    // Writes the patch atomically to `path` (default: its own), which becomes its path.
    // Error when it is empty or the file cannot be written.
    void Save(const std::string& path = "");

  private:
    struct Document;
    template <typename Change>
    void Edit(const std::string& subject, Change change);
    std::string Folder() const;

    std::string path_;
    std::unique_ptr<Document> doc_;
    std::vector<std::unique_ptr<Document>> undo_, redo_;
    std::string saved_;  // the text as loaded or last saved
};

}  // namespace kvhost
