#include "service/mqtt/settled_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orva::mqtt {
namespace {

std::string errnoText() { return std::strerror(errno); }

std::string heldLine(const SettledJournal::Entry& e) {
    QJsonObject record{{"n", static_cast<double>(e.id)},
                       {"topic", QString::fromStdString(e.topic)},
                       {"payload", QString::fromStdString(e.payload)}};
    return QJsonDocument(record).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// An id as the journal writes it: a whole number from 1 up, exact in a double.
std::uint64_t recordId(const QJsonValue& v) {
    if (!v.isDouble()) return 0;
    double d = v.toDouble();
    if (d < 1 || d > 9007199254740992.0 || d != static_cast<double>(static_cast<std::uint64_t>(d))) return 0;
    return static_cast<std::uint64_t>(d);
}

}  // namespace

std::string SettledJournal::pathBeside(const std::string& configPath) {
    std::string base = configPath;
    const std::size_t slash = base.rfind('/');
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) base.resize(dot);
    return base + ".mqtt-journal";
}

SettledJournal::SettledJournal(std::string path, std::size_t limit, Log log)
    : path_(std::move(path)), limit_(std::max<std::size_t>(limit, 1)), log_(std::move(log)) {}

SettledJournal::~SettledJournal() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<SettledJournal::Entry> SettledJournal::replay() {
    if (path_.empty()) return {};
    // One service per journal: a second one on the same configuration file
    // (another --listen) would send the first one's weights again.
    if (openForAppend() && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        log_("mqtt: the journal " + path_ + " is in use by another orva-service on the same configuration; this one " +
             "keeps none (its settled weights would not survive a restart)");
        ::close(fd_);
        fd_ = -1;
        path_.clear();
        return {};
    }
    ::unlink((path_ + ".new").c_str());  // a rewrite a crash cut short
    std::string text;
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) failed("cannot read it: " + errnoText());
    } else {
        // A journal larger than what is read gives up its oldest part: the
        // newest `limit` weights are the ones kept, as for a long outage.
        struct stat st{};
        const bool cut = ::fstat(fd, &st) == 0 && st.st_size > kMaxReadBytes &&
                         ::lseek(fd, st.st_size - kMaxReadBytes, SEEK_SET) >= 0;
        char buffer[16384];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                failed("cannot read it: " + errnoText());
                break;
            }
            if (n == 0) break;
            if (static_cast<long long>(text.size()) + n > kMaxReadBytes) break;  // it grew meanwhile
            text.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
        if (cut) {
            // The read began inside a line: that part is no record.
            const std::size_t newline = text.find('\n');
            text.erase(0, newline == std::string::npos ? text.size() : newline + 1);
            log_("mqtt: the journal " + path_ + " is larger than " + std::to_string(kMaxReadBytes >> 20) +
                 " MiB; only its newest " + std::to_string(kMaxReadBytes >> 20) + " MiB are read");
        }
    }

    int firstSkipped = 0;
    int number = 0;
    std::uint64_t highest = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        const bool complete = end != std::string::npos;
        if (!complete) end = text.size();
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        ++number;
        if (line.empty()) continue;
        auto skip = [&] {
            ++skippedLines_;
            if (firstSkipped == 0) firstSkipped = number;
        };
        if (!complete || line.size() > kMaxLineBytes) {
            skip();
            continue;
        }
        QJsonParseError error;
        const QJsonDocument doc =
            QJsonDocument::fromJson(QByteArray(line.data(), static_cast<qsizetype>(line.size())), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            skip();
            continue;
        }
        const QJsonObject record = doc.object();
        if (record.contains("done")) {
            const std::uint64_t id = recordId(record.value("done"));
            if (id == 0) {
                skip();
                continue;
            }
            auto it = std::find_if(held_.begin(), held_.end(), [id](const Entry& e) { return e.id == id; });
            if (it != held_.end()) held_.erase(it);
            continue;
        }
        const std::uint64_t id = recordId(record.value("n"));
        const QJsonValue topic = record.value("topic");
        const QJsonValue payload = record.value("payload");
        if (id == 0 || id <= highest || !topic.isString() || topic.toString().isEmpty() || !payload.isString()) {
            skip();  // ids only grow: one that does not is not ours
            continue;
        }
        highest = id;
        held_.push_back({id, topic.toString().toStdString(), payload.toString().toStdString()});
    }
    if (skippedLines_ > 0)
        log_("mqtt: skipped " + std::to_string(skippedLines_) + " line(s) of the journal " + path_ +
             " that are not records (the first is line " + std::to_string(firstSkipped) +
             "; cut short by a crash or a full disk?)");
    while (held_.size() > limit_) {
        held_.pop_front();
        ++droppedAtReplay_;
    }
    if (droppedAtReplay_ > 0)
        log_("mqtt: the journal " + path_ + " held more than queue_limit (" + std::to_string(limit_) + "); the " +
             std::to_string(droppedAtReplay_) + " oldest settled weight(s) were dropped");
    nextId_ = highest + 1;
    heldBytes_ = 0;
    for (const Entry& e : held_) heldBytes_ += static_cast<long long>(heldLine(e).size());
    if (!held_.empty())
        log_("mqtt: " + std::to_string(held_.size()) + " settled weight(s) from the journal " + path_ +
             " go to the broker first");
    // The file now holds exactly what is held (or nothing), in a known state.
    if (fd >= 0 || !held_.empty()) {
        if (held_.empty()) {
            if (openForAppend() && ::ftruncate(fd_, 0) != 0) failed("cannot empty it: " + errnoText());
        } else {
            rewrite();
        }
    }
    return {held_.begin(), held_.end()};
}

bool SettledJournal::openForAppend() {
    if (fd_ >= 0) return true;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd_ < 0) {
        failed("cannot open it: " + errnoText());
        return false;
    }
    struct stat st{};
    fileBytes_ = ::fstat(fd_, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    newlineFirst_ = fileBytes_ > 0;  // whatever was there ends before our first line
    return true;
}

bool SettledJournal::writeLine(const std::string& line, bool sync) {
    if (!openForAppend()) return false;
    const std::string bytes = newlineFirst_ ? "\n" + line : line;
    bool ok = writeAll(fd_, bytes);
    std::string why = ok ? std::string() : "cannot write it: " + errnoText();
    if (ok && sync) {
        ++syncs_;
        if (::fdatasync(fd_) != 0) {
            ok = false;
            why = "cannot sync it: " + errnoText();
        }
    }
    if (!ok) {
        // Take back what may have reached the file, so that a message not
        // known to be kept is not sent again at the next start.
        newlineFirst_ = ::ftruncate(fd_, fileBytes_) != 0;
        failed(why);
        return false;
    }
    fileBytes_ += static_cast<long long>(bytes.size());
    newlineFirst_ = false;
    recovered();
    return true;
}

bool SettledJournal::sync() {
    if (!unsynced_ || fd_ < 0) return true;
    unsynced_ = false;
    ++syncs_;
    if (::fdatasync(fd_) != 0) {
        failed("cannot sync it: " + errnoText());
        return false;
    }
    return true;
}

std::uint64_t SettledJournal::append(const std::string& topic, const std::string& payload, bool later) {
    if (path_.empty()) return 0;
    Entry entry{nextId_, topic, payload};
    const std::string line = heldLine(entry);
    if (line.size() > kMaxLineBytes) {
        log_("mqtt: a message on " + topic + " is longer than a journal line (" + std::to_string(kMaxLineBytes) +
             " bytes); it is sent but not kept across a restart");
        return 0;
    }
    if (!writeLine(line, !later)) return 0;
    if (later) unsynced_ = true;
    ++nextId_;
    heldBytes_ += static_cast<long long>(line.size());
    held_.push_back(std::move(entry));
    return held_.back().id;
}

void SettledJournal::done(std::uint64_t id) {
    if (id == 0) return;
    auto it = std::find_if(held_.begin(), held_.end(), [id](const Entry& e) { return e.id == id; });
    if (it == held_.end()) return;
    heldBytes_ -= static_cast<long long>(heldLine(*it).size());
    held_.erase(it);
    if (held_.empty()) {
        if (fd_ >= 0 && ::ftruncate(fd_, 0) == 0) {
            fileBytes_ = 0;
            newlineFirst_ = false;
        } else if (fd_ >= 0) {
            failed("cannot empty it: " + errnoText());
        }
        return;
    }
    writeLine("{\"done\":" + std::to_string(id) + "}\n", false);
    if (fileBytes_ > kCompactBytes && fileBytes_ > 2 * heldBytes_) rewrite();
}

bool SettledJournal::rewrite() {
    const std::string temporary = path_ + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        failed("cannot write " + temporary + ": " + errnoText());
        return false;
    }
    // Locked before it takes the journal's name, and kept open for the
    // appends that follow, so that the journal is never unlocked.
    ::flock(fd, LOCK_EX | LOCK_NB);
    std::string all;
    for (const Entry& e : held_) all += heldLine(e);
    std::string why;
    if (!writeAll(fd, all)) why = "cannot write " + temporary + ": " + errnoText();
    else if (::fsync(fd) != 0) why = "cannot sync " + temporary + ": " + errnoText();
    else if (::fcntl(fd, F_SETFL, O_APPEND) != 0) why = "cannot append to " + temporary + ": " + errnoText();
    else if (::rename(temporary.c_str(), path_.c_str()) != 0) why = "cannot replace it: " + errnoText();
    if (!why.empty()) {
        ::close(fd);
        ::unlink(temporary.c_str());
        failed(why);
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const std::size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);  // best effort: some file systems refuse to sync a folder
        ::close(dir);
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    fileBytes_ = static_cast<long long>(all.size());
    newlineFirst_ = false;  // the file ends with a whole line
    unsynced_ = false;      // all of it was just synced
    recovered();
    return true;
}

void SettledJournal::failed(const std::string& what) {
    ++writeFailures_;
    if (failing_) return;
    failing_ = true;
    log_("mqtt: journal " + path_ + ": " + what +
         "; settled weights not yet acknowledged by the broker would not survive a restart");
}

void SettledJournal::recovered() {
    if (!failing_) return;
    failing_ = false;
    log_("mqtt: the journal " + path_ + " is written again");
}

}  // namespace orva::mqtt
