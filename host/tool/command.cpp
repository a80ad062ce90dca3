// The frame of kvhost's subcommands: parsing, the one way each ends, the exit-code table,
// output files replaced only once complete, and plug-ins found by name or id.
#include "kvhost/command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace kvhost {

namespace fs = std::filesystem;

const char* ExitCodeHelp() {
    return "Exit codes:\n"
           "  0  success\n"
           "  1  unexpected failure inside kvhost; validate: a deliverable FAILED\n"
           "  2  wrong command line\n"
           "  3  plug-in cannot be loaded (missing file, not a library, no entry points,\n"
           "     no GUI side); lv2: it has no LV2 equivalent\n"
           "  4  patch file malformed, or names a module, pin or value that does not exist\n"
           "  5  MIDI file cannot be read\n"
           "  6  output file (audio, picture, MIDI, LV2 bundle) cannot be written, or would\n"
           "     replace an input of the command (play: or frames were lost from the\n"
           "     recording)\n"
           "  7  pin name or value on the command line is wrong\n"
           "  8  audio system unavailable (play: no JACK server, the server refuses the\n"
           "     client or its name, the patch has no audio output, the server shut down)\n";
}

namespace {

// Words longer than this are cut in messages: a 10,000-digit number is not echoed whole.
constexpr std::size_t kLongestWord = 60;

std::string CutLongWords(const std::string& text) {
    std::string out;
    std::size_t run = 0;
    for (char c : text) {
        run = std::isspace(static_cast<unsigned char>(c)) != 0 ? 0 : run + 1;
        if (run <= kLongestWord) out += c;
        if (run == kLongestWord + 1) out += "...";
    }
    return out;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

// ---- Tool ---------------------------------------------------------------------------

Tool::Tool(const std::string& description) : app_(std::make_unique<CLI::App>(description)) {
    app_->footer(ExitCodeHelp());
    app_->require_subcommand(1);
    // Options of the tool itself may also follow the subcommand's name.
    app_->fallthrough();
    app_->add_option("--plugin-path", plugin_folders_,
                     "also find deliverables in DIR, before the installed ones (repeatable; "
                     "KVHOST_PLUGIN_PATH lists more, ':' between them)")
        ->allow_extra_args(false)  // one folder an option: a command name never taken as one
        ->check(CLI::ExistingDirectory)
        ->option_text("DIR");
    app_->failure_message([](const CLI::App* app, const CLI::Error& e) {
        return CutLongWords(CLI::FailureMessage::simple(app, e));
    });
}

Tool::~Tool() = default;

CLI::App* Tool::Add(const std::string& name, const std::string& description,
                    std::function<int()> run) {
    CLI::App* command = app_->add_subcommand(name, description);
    commands_.emplace_back(command, std::move(run));
    return command;
}

int Tool::Main(int argc, const char* const* argv) {
    // An unknown command is named, with the nearest known one.
    if (argc > 1 && argv[1][0] != '-') {
        const std::string given = argv[1];
        std::string nearest;
        std::size_t best = std::string::npos;
        std::string names;
        for (const auto& [command, run] : commands_) {
            if (command->get_name() == given) {
                best = 0;
                break;
            }
            const std::size_t d = EditDistance(given, command->get_name());
            if (d < best) {
                best = d;
                nearest = command->get_name();
            }
            names += (names.empty() ? "" : ", ") + command->get_name();
        }
        if (best != 0) {
            std::string message = "kvhost: unknown command " + QuoteText(given);
            if (best <= std::min<std::size_t>(2, given.size() / 2)) {
                message += "; did you mean \"" + nearest + "\"?";
            } else {
                message += "; the commands are " + names;
            }
            std::cerr << message << " (kvhost --help tells more)\n";
            return kExitUsage;
        }
    }
    try {
        app_->parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app_->exit(e);  // help on standard output, errors on standard error
        return code == 0 ? kExitOk : kExitUsage;
    }
    SetPluginFolders(plugin_folders_);
    for (const auto& [command, run] : commands_) {
        if (command->parsed() == 0) continue;
        try {
            return run();
        } catch (const Failure& f) {
            std::cout.flush();
            std::cerr << "kvhost: " << f.what() << "\n";
            return f.code;
        } catch (const std::exception& e) {
            std::cout.flush();
            std::cerr << "kvhost: " << e.what() << "\n";
            return kExitInternal;
        }
    }
    return kExitUsage;
}

// ---- ReplacingFile ------------------------------------------------------------------

namespace {

// Temporary files alive now, removed by the handler of a fatal signal (an interrupt, or a
// file-size limit whose signal is not ignored) before the signal takes its course.
constexpr int kSlots = 4;
char g_temp_paths[kSlots][4096];
volatile std::sig_atomic_t g_slot_used[kSlots];

extern "C" void RemoveTempFilesAndDie(int sig) {
    for (int i = 0; i < kSlots; ++i) {
        if (g_slot_used[i] != 0) ::unlink(g_temp_paths[i]);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void InstallSignalCleanup() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ}) {
        struct sigaction current {};
        // A signal the caller ignores stays ignored (a write past a file-size limit then
        // fails as an error instead).
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction action {};
            action.sa_handler = RemoveTempFilesAndDie;
            sigemptyset(&action.sa_mask);
            sigaction(sig, &action, nullptr);
        }
    }
}

std::string Why() {
    return std::strerror(errno);
}

}  // namespace

ReplacingFile::ReplacingFile(const std::string& path, const std::string& what)
    : path_(path), target_(path), what_(what) {
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(target_, ec); ++hops) {
        const fs::path link = fs::read_symlink(target_, ec);
        if (ec) break;
        target_ =
            link.is_absolute() ? link.string() : (fs::path(target_).parent_path() / link).string();
    }
    const fs::path target(target_);
    const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
    const std::string extension = target.extension().string();
    std::string name = folder + "/." + target.filename().string() + "-XXXXXX" + extension;
    if (name.size() >= sizeof g_temp_paths[0]) {
        throw Failure(kExitOutput, path + ": cannot write " + what + " (the name is too long)");
    }
    const int fd = ::mkstemps(name.data(), static_cast<int>(extension.size()));
    if (fd < 0) throw Failure(kExitOutput, path + ": cannot write " + what + " (" + Why() + ")");
    temp_ = name;
    // The mode the target has, or a new file's mode; mkstemps gives the owner alone access.
    struct stat st {};
    mode_t mode = 0;
    if (::stat(target_.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    ::close(fd);

    InstallSignalCleanup();
    for (int i = 0; i < kSlots; ++i) {
        if (g_slot_used[i] == 0) {
            std::memcpy(g_temp_paths[i], temp_.c_str(), temp_.size() + 1);
            g_slot_used[i] = 1;
            slot_ = i;
            break;
        }
    }
}

ReplacingFile::~ReplacingFile() {
    if (!committed_) ::unlink(temp_.c_str());
    if (slot_ >= 0) g_slot_used[slot_] = 0;
}

void ReplacingFile::Commit() {
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        throw Failure(kExitOutput, path_ + ": cannot write " + what_ + " (" + Why() + ")");
    }
    committed_ = true;
    if (slot_ >= 0) g_slot_used[slot_] = 0;
    slot_ = -1;
}

std::string ReplacingFile::Reworded(const std::string& message) const {
    std::string out = message;
    for (std::size_t at = out.find(temp_); at != std::string::npos;
         at = out.find(temp_, at + path_.size())) {
        out.replace(at, temp_.size(), path_);
    }
    return out;
}

// ---- Output names -------------------------------------------------------------------

void CheckOutputPath(const std::string& path, const std::vector<std::string>& extensions,
                     const std::vector<std::string>& inputs, const std::string& what) {
    std::string extension = fs::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (std::find(extensions.begin(), extensions.end(), extension) == extensions.end()) {
        std::string names;
        for (std::size_t i = 0; i < extensions.size(); ++i) {
            names += (i == 0 ? "" : i + 1 == extensions.size() ? " or " : ", ") + extensions[i];
        }
        throw Failure(kExitOutput, QuoteText(path) + ": the " + what + "'s name must end in " +
                                       names + " (nothing written)");
    }
    std::error_code ec;
    if (!fs::exists(path, ec)) return;
    for (const std::string& input : inputs) {
        if (!input.empty() && fs::equivalent(path, input, ec)) {
            throw Failure(kExitOutput, QuoteText(path) + " is an input of this command (" +
                                           QuoteText(input) + "); it is not overwritten");
        }
    }
}

// ---- Plug-ins -----------------------------------------------------------------------

std::string ResolvePluginName(const std::string& name) {
    const bool path = name.find('/') != std::string::npos || name.ends_with(".so");
    if (name.empty() || path) return name;
    return FindPlugin(name).value_or(name);
}

std::shared_ptr<Plugin> LoadPluginNamed(const std::string& name) {
    try {
        return Plugin::Load(ResolvePluginName(name));
    } catch (const Error& e) {
        throw Failure(kExitPlugin, e.what());
    }
}

}  // namespace kvhost
