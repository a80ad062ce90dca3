// The "panel" subcommand of kvhost, and the loop that serves a panel until Ctrl-C, shared with
// any command that shows one.
#include "kvhost/command.h"

#include <signal.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdio>
#include <filesystem>

#include "kvhost/panel.h"
#include "kvhost/panel_editor.h"

namespace kvhost {

namespace {

std::atomic<int> g_stop_signal{0};

void OnStopSignal(int sig) {
    g_stop_signal.store(sig);
}

// SIGINT and SIGTERM end the loop instead of the process while a panel is served.
class StopSignals {
  public:
    StopSignals() {
        g_stop_signal.store(0);
        struct sigaction action {};
        action.sa_handler = &OnStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    bool Stopped() const { return g_stop_signal.load() != 0; }

  private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

struct PanelCommand {
    std::string patch;
    bool edit = false;
    std::string new_file;
    PanelOptions options;
};

// --new FILE: a file that exists is another patch (or anything else) that saving would
// replace, so only a missing or empty file is taken.
std::unique_ptr<PatchEditor> NewPatch(const std::string& file) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status st = fs::status(file, ec);
    if (fs::exists(st)) {
        if (!fs::is_regular_file(st) || fs::file_size(file, ec) != 0 || ec) {
            throw Failure(kExitUsage, file + " exists already; kvhost panel " + file +
                                          " --edit edits it (--new starts a patch in a new file)");
        }
    }
    const fs::path folder = fs::path(file).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ec)) {
        throw Failure(kExitOutput, file + ": no folder " + folder.string() + " to save it in");
    }
    return std::make_unique<PatchEditor>(file);
}

int RunEditor(const PanelCommand& c) {
    std::unique_ptr<PatchEditor> editor =
        !c.new_file.empty() ? NewPatch(c.new_file) : Staged(kExitPatch, [&] {
            return std::make_unique<PatchEditor>(ReadWholeFile(c.patch, "patch file"), c.patch);
        });
    auto model =
        Staged(kExitPatch, [&] { return std::make_unique<EditorModel>(std::move(editor)); });
    const int code = ServePanel(*model, c.options);
    if (model->Editor().Changed()) {
        std::fprintf(stderr, "kvhost: note: the last changes to %s were not saved\n",
                     model->Editor().Path().c_str());
    }
    return code;
}

int RunPanel(const PanelCommand& c) {
    if (c.patch.empty() == c.new_file.empty()) {
        throw Failure(kExitUsage, "panel takes a PATCH or --new FILE (one of them)");
    }
    if (c.edit || !c.new_file.empty()) return RunEditor(c);
    const PatchPlan plan = Staged(kExitPatch, [&] { return LoadPatch(c.patch); });
    auto model = Staged(kExitPatch, [&] { return std::make_unique<GuiPatchModel>(plan); });
    return ServePanel(*model, c.options);
}

}  // namespace

void AddPanelOptions(CLI::App& command, PanelOptions& options) {
    command
        .add_option_function<std::vector<std::string>>(
            "--panel",
            [&options](const std::vector<std::string>& port) {
                options.shown = true;
                if (!port.empty() && !port.front().empty()) options.port = std::stoi(port.front());
            },
            "serve the panel on this port (default 8123; 0: any free port)")
        ->expected(0, 1)
        ->check(CLI::Range(0, 65535));
    command.add_option("--panel-bind", options.bind,
                       "the address the panel listens on (default 127.0.0.1); anything but "
                       "loopback lets other machines change the patch");
}

namespace {

// Many connections need many descriptors: the soft limit raised to the hard one.
void AllowManyFiles() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

}  // namespace

int ServePanel(PanelModel& model, const PanelOptions& options, const std::function<bool()>& idle) {
    AllowManyFiles();
    StopSignals signals;
    std::unique_ptr<PanelServer> server;
    try {
        server = std::make_unique<PanelServer>(options);
    } catch (const Error& e) {
        const std::string why = e.what();
        const char* hint = why.find("in use") != std::string::npos
                               ? " (--panel PORT picks another port)"
                           : why.find("cannot bind") != std::string::npos
                               ? " (--panel-bind takes an address of this machine)"
                               : "";
        throw Failure(kExitUsage, why + hint);
    }
    if (!server->Loopback()) {
        std::fprintf(stderr,
                     "kvhost: note: the panel listens on %s; whoever reaches that address can "
                     "change the patch\n",
                     options.bind.c_str());
    }
    std::printf("kvhost panel: %s (Ctrl-C stops)\n", server->Url().c_str());
    std::fflush(stdout);
    while (!signals.Stopped()) {
        server->Wait(10);
        server->Pump(model);
        if (idle && !idle()) break;
    }
    server.reset();  // every page's connection closed before the model goes
    std::printf("kvhost panel: stopped\n");
    std::fflush(stdout);
    return kExitOk;
}

void AddPanelCommand(Tool& tool) {
    auto c = std::make_shared<PanelCommand>();
    CLI::App* cmd = tool.Add("panel",
                             "show a patch of GUI-side modules in a web page (no audio): "
                             "selectors, number fields with knobs, text fields, live read-outs",
                             [c] { return RunPanel(*c); });
    cmd->add_option("PATCH", c->patch, "patch file (JSON)");
    cmd->add_flag("--edit", c->edit,
                  "build the patch in the page: add, wire, remove modules, undo, save");
    cmd->add_option("--new", c->new_file,
                    "start an empty patch in the page, to be saved as this file (which must "
                    "not exist yet, or be empty)");
    AddPanelOptions(*cmd, c->options);
}

}  // namespace kvhost
