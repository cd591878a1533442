#pragma once
// Settled weights handed to the broker and not yet acknowledged, kept on
// disk so that neither a broker outage nor a stop of the service loses one.
//
// One line per record, appended:
//   {"n":7,"topic":"site/pc1/bay-1/stable","payload":"{...}"}   held
//   {"done":7}                                                   acknowledged or dropped
// Every held record is synced to the disk before the message goes to the
// broker; a "done" record is only written (a power cut that loses it sends
// that weight once more, as QoS 1 allows; a crash of the process does not).
// When nothing is held the file is emptied, and when it has grown well past
// what is held it is rewritten with only that.
//
// Bounds: a record longer than kMaxLineBytes is not kept (its message still
// goes out); the caller holds at most its queue limit, so the file is at most
// about twice that many lines of kMaxLineBytes. At start, at most
// kMaxReadBytes, the newest, are read and the newest `limit` held entries kept.
//
// One service per journal: it is locked (flock) from replay() on, and a
// second service on the same configuration file keeps none, with a log line.
//
// A journal that cannot be written is logged (once per failure spell) and
// the service goes on without it; a line that is not a record (cut short by
// a full disk or a crash, or edited by hand) is skipped with a log line.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace orva::mqtt {

class SettledJournal {
public:
    using Log = std::function<void(const std::string&)>;

    static constexpr std::size_t kMaxLineBytes = 1024;
    static constexpr long long kMaxReadBytes = 64LL * 1024 * 1024;
    // The file is rewritten when it is larger than this and than twice what is held.
    static constexpr long long kCompactBytes = 64 * 1024;

    struct Entry {
        std::uint64_t id = 0;
        std::string topic;
        std::string payload;
    };

    // The journal's file for a configuration file: beside it, named after it
    // ("/etc/orva/service.ini" -> "/etc/orva/service.mqtt-journal").
    static std::string pathBeside(const std::string& configPath);

    // An empty path keeps nothing on disk (every call still works).
    SettledJournal(std::string path, std::size_t limit, Log log);
    ~SettledJournal();
    SettledJournal(const SettledJournal&) = delete;
    SettledJournal& operator=(const SettledJournal&) = delete;

    // What an earlier run left held, oldest first; the file is rewritten to
    // hold just that. Call once, before the first append.
    std::vector<Entry> replay();

    // Keeps a message and gives its id; 0 when it is not kept on disk (too
    // long, no journal, or the write failed: logged). Written at once, and
    // synced at once unless `later`: then by the next sync(), which the
    // caller makes before the message leaves (one sync for all the weights
    // that settled in one wake-up).
    std::uint64_t append(const std::string& topic, const std::string& payload, bool later = false);
    // Syncs what was appended `later`; false when that failed (logged).
    bool sync();
    // The message with this id was acknowledged by the broker or dropped.
    void done(std::uint64_t id);

    const std::string& path() const { return path_; }
    std::size_t held() const { return held_.size(); }
    long long fileBytes() const { return fileBytes_; }
    long long writeFailures() const { return writeFailures_; }
    long long syncs() const { return syncs_; }
    long long skippedLines() const { return skippedLines_; }
    long long droppedAtReplay() const { return droppedAtReplay_; }

private:
    bool openForAppend();
    bool writeLine(const std::string& line, bool sync);
    bool rewrite();
    void failed(const std::string& what);
    void recovered();

    std::string path_;
    std::size_t limit_;
    Log log_;
    int fd_ = -1;
    bool failing_ = false;
    bool newlineFirst_ = false;  // a failed write may have left half a line
    bool unsynced_ = false;
    long long syncs_ = 0;
    std::uint64_t nextId_ = 1;
    long long fileBytes_ = 0;
    long long heldBytes_ = 0;
    std::deque<Entry> held_;
    long long writeFailures_ = 0;
    long long skippedLines_ = 0;
    long long droppedAtReplay_ = 0;
};

}  // namespace orva::mqtt
