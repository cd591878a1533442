#pragma once
// Refused requests in the log without letting a client fill it: at most one
// line per client address per window (10 s), the next one counting the
// refusals left out since the last one. The addresses it remembers are
// bounded too; past that, the rest share one entry.

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

namespace orva::service {

class RefusalLog {
public:
    using Sink = std::function<void(const std::string&)>;
    static constexpr std::int64_t kWindowMs = 10'000;
    static constexpr std::size_t kMaxAddresses = 4096;

    explicit RefusalLog(Sink sink) : sink_(std::move(sink)) {}

    // `line` is the whole line to log (the log itself escapes client text).
    // True when it was left out (counted for a later line).
    bool refused(const std::string& address, const std::string& line, std::int64_t nowMs);
    // A line for each address whose window has passed with refusals left
    // out, so a burst that stops is still counted. True while some remain.
    bool flush(std::int64_t nowMs);

private:
    struct Entry {
        std::int64_t loggedAt;
        std::uint64_t leftOut;
    };
    Sink sink_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace orva::service
