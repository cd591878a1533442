#pragma once
// --log FILE: a record of weighings, one CSV line per settled weight (or,
// with --log-all, per recognised reading), appended and flushed line by
// line, so that a crash loses nothing written and a reader (tail -f, a
// spreadsheet) sees each weighing as it happens:
//
//     time,port,weight,unit,status
//     2026-12-08T10:15:02.031+01:00,1,12.5,kg,B
//
// The time is local with its offset from UTC; the weight uses "." and the
// shortest digits that read back as the same number. A new or empty file
// starts with the header line. reopen() (on SIGHUP) lets a log rotator move
// the file away: the next line goes to a new file under the same name.

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace orva::host {

class WeighingLogError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class WeighingLog {
public:
    // Opens the file for appending. Throws WeighingLogError.
    explicit WeighingLog(std::string path);
    ~WeighingLog();
    WeighingLog(const WeighingLog&) = delete;
    WeighingLog& operator=(const WeighingLog&) = delete;

    // Throws WeighingLogError when a line cannot be written.
    void write(int port, double weight, const std::string& unit, const std::string& status);
    // Closes and opens the file again by its name. Throws WeighingLogError.
    void reopen();
    const std::string& path() const { return path_; }

    // "2026-12-08T10:15:02.031+01:00": now, local time.
    static std::string localTimestamp();

private:
    void open();

    std::string path_;
    std::FILE* file_ = nullptr;
};

}  // namespace orva::host
