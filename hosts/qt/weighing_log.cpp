#include "hosts/qt/weighing_log.h"

#include <QDateTime>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hosts/qt/json_lines.h"

namespace orva::host {

WeighingLog::WeighingLog(std::string path) : path_(std::move(path)) { open(); }

WeighingLog::~WeighingLog() {
    if (file_ != nullptr) std::fclose(file_);
}

void WeighingLog::open() {
    file_ = std::fopen(path_.c_str(), "a");
    if (file_ == nullptr) throw WeighingLogError(path_ + ": cannot open the log: " + std::strerror(errno));
    if (std::ftell(file_) == 0) {
        if (std::fputs("time,port,weight,unit,status\n", file_) < 0 || std::fflush(file_) != 0)
            throw WeighingLogError(path_ + ": cannot write the log: " + std::strerror(errno));
    }
}

void WeighingLog::reopen() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    open();
}

namespace {

// A CSV field: quoted when it holds a comma, a quote or a line end.
std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

}  // namespace

void WeighingLog::write(int port, double weight, const std::string& unit, const std::string& status) {
    const std::string line = localTimestamp() + "," + std::to_string(port) + "," + jsonNumber(weight) + "," +
                             csvField(unit) + "," + csvField(status) + "\n";
    errno = 0;
    if (std::fputs(line.c_str(), file_) < 0 || std::fflush(file_) != 0)
        throw WeighingLogError(path_ + ": cannot write the log: " + std::strerror(errno != 0 ? errno : EIO));
}

std::string WeighingLog::localTimestamp() {
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return now.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toStdString() + zone;
}

}  // namespace orva::host
