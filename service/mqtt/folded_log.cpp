#include "service/mqtt/folded_log.h"

namespace orva::mqtt {

bool FoldedLog::line(const std::string& kind, const std::string& text, std::int64_t nowMs) {
    auto [it, added] = entries_.try_emplace(kind, Entry{nowMs, 0, 0, {}});
    Entry& entry = it->second;
    if (!added && nowMs - entry.windowStart >= kWindowMs) {
        std::string out = text;
        if (entry.leftOut > 0)
            out += " (" + std::to_string(entry.leftOut) + " more like it not logged since the last such line)";
        entry = Entry{nowMs, 1, 0, {}};
        sink_(out);
        return true;
    }
    if (entry.lines >= kBurst) {
        ++entry.leftOut;
        entry.last = text;
        return false;
    }
    ++entry.lines;
    sink_(text);
    return true;
}

void FoldedLog::summarise(const std::string&, Entry& entry, std::int64_t nowMs) {
    sink_(prefix_ + std::to_string(entry.leftOut) + " more like this in the last " + std::to_string(kWindowMs / 1000) +
          " s, the latest: " + entry.last);
    entry = Entry{nowMs, 0, 0, {}};
}

void FoldedLog::flush(std::int64_t nowMs) {
    for (auto& [kind, entry] : entries_)
        if (entry.leftOut > 0 && nowMs - entry.windowStart >= kWindowMs) summarise(kind, entry, nowMs);
}

std::uint64_t FoldedLog::leftOut() const {
    std::uint64_t n = 0;
    for (const auto& [kind, entry] : entries_) n += entry.leftOut;
    return n;
}

std::string peerText(const std::string& text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    // Not in the middle of a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace orva::mqtt
