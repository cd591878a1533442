#pragma once
// The control's message box and beep for a command-line host: a message goes
// to standard error and counts as read at once, so the cycle never waits for
// a user; the beep is the terminal bell, and only when standard output is a
// terminal (a bell in a log file or pipe is noise). A failed decode is
// reported on standard error and the cycle goes on.

#include <cstdio>

#include "platform/user_notice.h"

namespace orva::qt {

class ConsoleNotice final : public UserNotice {
public:
    // Defaults to the process's streams; tests pass their own.
    ConsoleNotice(std::FILE* messages = stderr, std::FILE* bell = stdout);

    void messageBox(std::string_view utf8Text) override;
    void beep() override;
    void tickFailed(const Failure& failure) override;

private:
    std::FILE* messages_;
    std::FILE* bell_;
    bool bellIsTerminal_;
};

}  // namespace orva::qt
