#pragma once
// Log lines that a peer (the broker, or whoever publishes through it) can
// cause, folded so that no peer fills the log: the first kBurst lines of a
// kind in a window go out at once, later ones are counted, and the count
// goes out with the next line of that kind or when the window has passed. Kinds are fixed by the code, never taken
// from a message, so what is remembered stays small. Text taken from a
// message is cut to a bounded length (peerText).

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace orva::mqtt {

class FoldedLog {
public:
    using Sink = std::function<void(const std::string&)>;
    static constexpr std::int64_t kWindowMs = 10'000;
    static constexpr int kBurst = 5;

    // prefix opens the summary lines ("mqtt: ").
    FoldedLog(Sink sink, std::string prefix) : sink_(std::move(sink)), prefix_(std::move(prefix)) {}

    // Logs `text` now, or counts it for a later line when kBurst lines of
    // `kind` went out in the present window. True when it went out.
    bool line(const std::string& kind, const std::string& text, std::int64_t nowMs);
    // One line per kind whose window has passed with lines left out.
    void flush(std::int64_t nowMs);
    std::uint64_t leftOut() const;

private:
    struct Entry {
        std::int64_t windowStart = 0;
        int lines = 0;  // logged in this window
        std::uint64_t leftOut = 0;
        std::string last;  // the latest left-out line, to show what they were like
    };
    void summarise(const std::string& kind, Entry& entry, std::int64_t nowMs);
    Sink sink_;
    std::string prefix_;
    std::map<std::string, Entry> entries_;
};

// Text from a message for a log line: at most maxBytes of it, and when it
// was longer, how long it was.
std::string peerText(const std::string& text, std::size_t maxBytes = 64);

}  // namespace orva::mqtt
