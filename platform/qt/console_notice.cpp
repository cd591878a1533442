#include "platform/qt/console_notice.h"

#include <unistd.h>

#include <string>

#include "platform/failure.h"

namespace orva::qt {

ConsoleNotice::ConsoleNotice(std::FILE* messages, std::FILE* bell)
    : messages_(messages), bell_(bell), bellIsTerminal_(::isatty(::fileno(bell)) == 1) {}

void ConsoleNotice::messageBox(std::string_view utf8Text) {
    std::fprintf(messages_, "%.*s\n", static_cast<int>(utf8Text.size()), utf8Text.data());
    std::fflush(messages_);
}

void ConsoleNotice::beep() {
    if (!bellIsTerminal_) return;
    std::fputc('\a', bell_);
    std::fflush(bell_);
}

void ConsoleNotice::tickFailed(const Failure& failure) {
    std::fprintf(messages_, "decode failed: error %d: %s\n", static_cast<int>(failure.number()),
                 failure.description().c_str());
    std::fflush(messages_);
}

}  // namespace orva::qt
