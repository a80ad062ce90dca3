// The terminal while play runs: the status line, the lines play prints, and the control line
// being typed, drawn so that none erases another. Where standard input is the terminal play
// prints to, echo and line editing are taken over: the typed text is kept here and redrawn
// below the status line after every refresh and every printed line, and the terminal is given
// back as it was on every way out (the end, a failure, a fatal signal, Ctrl-Z).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace kvhost::play {

class Screen {
  public:
    // `status_line`: a status line is kept on standard error (a terminal). `read_input`:
    // the control lines come from standard input; taken over when it is a terminal in the
    // foreground on which standard error or output appears.
    Screen(bool status_line, bool read_input);
    ~Screen();  // the status and the typed text cleared, the terminal as it was
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    // Whether the typed text is kept here (then Read takes standard input).
    bool Editing() const { return editing_; }
    // The status line replaced (shown when the screen has one).
    void Status(const std::string& text);
    // One line (or several) printed above the status and the typed text: on standard error
    // when `error`, else on standard output.
    void Say(const std::string& text, bool error);
    // Status and typed text taken off the screen for good, the terminal given back: what is
    // printed after stays as it is.
    void Clear();
    // Editing: what was typed since the last call; each completed line goes to `line`.
    // False once the input has ended (Ctrl-D on an empty line, or the terminal gone).
    bool Read(const std::function<void(const std::string&)>& line);

  private:
    void Erase();  // what Draw drew, off the screen; the cursor where it began
    void Draw();   // the status (if any) and the typed text
    void Key(unsigned char c, const std::function<void(const std::string&)>& line);
    void Resumed();      // after Ctrl-Z and `fg`: the terminal taken over again
    void StopEditing();  // the terminal given back

    bool status_line_;
    bool editing_ = false;
    std::string status_;  // the last status text
    std::string typed_;   // the control line being typed
    int escape_ = 0;      // inside an escape sequence (keys such as arrows): its stage
    std::size_t up_ = 0;  // rows from the first row drawn to the cursor's
    bool drawn_ = false;  // the status or typed text is on the screen
    bool ended_ = false;
    unsigned resumes_ = 0;  // continuations (Ctrl-Z, then `fg`) handled
};

}  // namespace kvhost::play
