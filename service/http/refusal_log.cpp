#include "service/http/refusal_log.h"


namespace orva::service {

bool RefusalLog::refused(const std::string& address, const std::string& what, std::int64_t nowMs) {
    std::string key = address;
    if (entries_.size() >= kMaxAddresses && entries_.count(key) == 0) {
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (nowMs - it->second.loggedAt >= kWindowMs && it->second.leftOut == 0) it = entries_.erase(it);
            else ++it;
        }
        if (entries_.size() >= kMaxAddresses) key = "other addresses";
    }
    const auto it = entries_.find(key);
    if (it != entries_.end() && nowMs - it->second.loggedAt < kWindowMs) {
        ++it->second.leftOut;
        return true;
    }
    const std::uint64_t leftOut = it == entries_.end() ? 0 : it->second.leftOut;
    std::string line = what;
    if (leftOut > 0) line += " (" + std::to_string(leftOut) + " more refusals from " + key + " not logged since the last line)";
    entries_[key] = Entry{nowMs, 0};
    sink_(line);
    return false;
}

bool RefusalLog::flush(std::int64_t nowMs) {
    bool remaining = false;
    for (auto& [address, entry] : entries_) {
        if (entry.leftOut == 0) continue;
        if (nowMs - entry.loggedAt < kWindowMs) {
            remaining = true;
            continue;
        }
        sink_(std::to_string(entry.leftOut) + " more refusals from " + address + " not logged since the last line");
        entry = Entry{nowMs, 0};
    }
    return remaining;
}

}  // namespace orva::service
