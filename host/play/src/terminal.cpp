// The terminal while play runs: the status line above the control line being typed, both
// redrawn whole (one write) whenever either changes or a line is printed above them.
#include "terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace kvhost::play {
namespace {

constexpr const char* kPrompt = "> ";
constexpr std::size_t kMostTyped = 4096;  // bytes of one control line being typed

// The terminal as it was, given back by whichever way play ends; the signal handlers read it.
termios g_saved{};
std::atomic<bool> g_taken{false};
std::atomic<unsigned> g_continued{0};  // SIGCONTs seen (after Ctrl-Z, or a stop and `fg`)

constexpr int kFatal[] = {SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_before[sizeof kFatal / sizeof kFatal[0]];
struct sigaction g_before_stop, g_before_continue;

void GiveBack() {
    if (g_taken.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

// A fatal signal: the terminal given back, then the signal takes the course it had before
// (a fault recurs on return, an abort or quit is raised again).
extern "C" void OnFatal(int sig) {
    const int saved_errno = errno;
    GiveBack();
    for (std::size_t i = 0; i < sizeof kFatal / sizeof kFatal[0]; ++i) {
        if (kFatal[i] == sig) sigaction(sig, &g_before[i], nullptr);
    }
    if (sig == SIGQUIT || sig == SIGABRT) raise(sig);
    errno = saved_errno;
}

// Ctrl-Z: the terminal given back before the process stops; taken again once continued.
extern "C" void OnStop(int) {
    const int saved_errno = errno;
    GiveBack();
    struct sigaction ours {};
    sigaction(SIGTSTP, nullptr, &ours);
    signal(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);  // stopped here until continued
    sigaction(SIGTSTP, &ours, nullptr);
    errno = saved_errno;
}

extern "C" void OnContinue(int) {
    g_continued.fetch_add(1);
}

void Handle(int sig, void (*handler)(int), struct sigaction* before) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(sig, &action, before);
}

bool Foreground() {
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

// Echo and line editing off, signals (Ctrl-C) still on.
bool TakeTerminal() {
    if (!Foreground()) return false;
    termios raw = g_saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
    g_taken = true;
    return true;
}

bool SameTerminal(int a, int b) {
    struct stat sa {
    }, sb{};
    return isatty(a) != 0 && isatty(b) != 0 && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 &&
           sa.st_rdev == sb.st_rdev;
}

std::size_t Width() {
    winsize w{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 1) return w.ws_col;
    return 80;
}

bool Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Columns a text takes (one a character; the status and control lines hold no wide ones).
std::size_t Columns(const std::string& text) {
    std::size_t n = 0;
    for (char c : text) n += Continuation(c) ? 0 : 1;
    return n;
}

// The first `columns` columns of a text.
std::string Fit(const std::string& text, std::size_t columns) {
    std::size_t n = 0, at = 0;
    for (; at < text.size(); ++at) {
        if (!Continuation(text[at]) && n++ == columns) break;
    }
    return text.substr(0, at);
}

void Write(std::FILE* stream, const std::string& text) {
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

void CatchSignals() {
    for (std::size_t i = 0; i < sizeof kFatal / sizeof kFatal[0]; ++i) {
        Handle(kFatal[i], OnFatal, &g_before[i]);
    }
    Handle(SIGTSTP, OnStop, &g_before_stop);
    Handle(SIGCONT, OnContinue, &g_before_continue);
}

void ReleaseSignals() {
    for (std::size_t i = 0; i < sizeof kFatal / sizeof kFatal[0]; ++i) {
        sigaction(kFatal[i], &g_before[i], nullptr);
    }
    sigaction(SIGTSTP, &g_before_stop, nullptr);
    sigaction(SIGCONT, &g_before_continue, nullptr);
}

}  // namespace

Screen::Screen(bool status_line, bool read_input) : status_line_(status_line) {
    const bool shown =
        SameTerminal(STDIN_FILENO, STDERR_FILENO) || SameTerminal(STDIN_FILENO, STDOUT_FILENO);
    if (!read_input || !shown || tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
    // The handlers first, so that no signal finds the terminal taken and nobody to give it
    // back. A play started in the background leaves the terminal alone.
    CatchSignals();
    resumes_ = g_continued.load();
    editing_ = TakeTerminal();
    if (!editing_) ReleaseSignals();
}

Screen::~Screen() {
    Clear();
}

void Screen::Resumed() {
    const unsigned continued = g_continued.load();
    if (continued == resumes_ || !Foreground()) return;
    resumes_ = continued;
    drawn_ = false;  // the screen is the shell's since the stop
    TakeTerminal();
}

void Screen::Erase() {
    if (!drawn_) return;
    std::string out = "\r";
    if (up_ > 0) out += "\033[" + std::to_string(up_) + "A";
    Write(stderr, out + "\033[J");
    drawn_ = false;
}

void Screen::Draw() {
    Erase();
    const std::size_t width = Width();
    std::string out;
    const bool status = status_line_ && !status_.empty();
    if (status) out += Fit(status_, width - 1) + (editing_ ? "\033[K\r\n" : "\033[K");
    up_ = 0;
    if (editing_) {
        out += kPrompt + typed_;
        const std::size_t columns = Columns(kPrompt + typed_);
        up_ = (status ? 1 : 0) + (columns > 0 ? (columns - 1) / width : 0);
    }
    if (out.empty()) return;
    Write(stderr, out);
    drawn_ = true;
}

void Screen::Status(const std::string& text) {
    if (editing_) Resumed();
    status_ = text;
    Draw();
}

void Screen::Say(const std::string& text, bool error) {
    Erase();
    Write(error ? stderr : stdout, text + "\n");
    Draw();
}

void Screen::Clear() {
    Erase();
    status_line_ = false;
    typed_.clear();
    StopEditing();
}

void Screen::StopEditing() {
    if (!editing_) return;
    GiveBack();
    ReleaseSignals();
    editing_ = false;
}

bool Screen::Read(const std::function<void(const std::string&)>& line) {
    if (!editing_ || ended_) return false;
    char buf[256];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) ended_ = true;  // the terminal is gone
    for (ssize_t i = 0; i < n && !ended_; ++i) Key(static_cast<unsigned char>(buf[i]), line);
    if (ended_) {
        Erase();
        StopEditing();
    }
    Draw();
    return !ended_;
}

void Screen::Key(unsigned char c, const std::function<void(const std::string&)>& line) {
    if (escape_ > 0) {  // an escape sequence (arrows, function keys) is swallowed whole
        escape_ = escape_ == 1 && (c == '[' || c == 'O') ? 2 : escape_ == 2 && c < 0x40 ? 2 : 0;
        return;
    }
    if (c == '\n' || c == '\r') {  // the line is done: it stays on the screen as typed
        Erase();
        Write(stderr, kPrompt + typed_ + "\n");
        const std::string done = typed_;
        typed_.clear();
        line(done);
    } else if (c == 0x7F || c == 0x08) {  // backspace: one character
        while (!typed_.empty() && Continuation(typed_.back())) typed_.pop_back();
        if (!typed_.empty()) typed_.pop_back();
    } else if (c == 0x15) {  // Ctrl-U: the whole line
        typed_.clear();
    } else if (c == 0x17) {  // Ctrl-W: the last word
        while (!typed_.empty() && typed_.back() == ' ') typed_.pop_back();
        while (!typed_.empty() && typed_.back() != ' ') typed_.pop_back();
    } else if (c == 0x04) {  // Ctrl-D: the end of the input, on an empty line
        ended_ = typed_.empty();
    } else if (c == 0x1B) {
        escape_ = 1;
    } else if ((c >= 0x20 || c == '\t') && typed_.size() < kMostTyped) {
        typed_ += c == '\t' ? ' ' : static_cast<char>(c);
    }
}

}  // namespace kvhost::play
