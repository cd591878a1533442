#pragma once
// Replacing a user's file so that no failure ever costs its content.
//
// The new text goes to a temporary file beside the old one (".NAME.XXXXXX",
// with the old one's owner, group and mode), every write, the flush to disk
// and the close are checked, and only then is it renamed over the old file
// and the folder flushed. Any failure before the rename removes the
// temporary file and leaves the old file byte for byte as it was: a full
// disk fails the save, it never empties the file. A temporary file left by a
// crash in the middle of a save is found and removed by
// removeStaleTemporaries, which a program calls when it starts.

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace orva::host {

// What went wrong, with the system's error number (ENOSPC, EDQUOT, EIO ...).
class FileWriteError : public std::runtime_error {
public:
    FileWriteError(const std::string& message, int error) : std::runtime_error(message), error_(error) {}
    int error() const noexcept { return error_; }
    // The disk or the user's quota is full: the failure is the storage's, not the request's.
    bool noSpace() const noexcept;

private:
    int error_;
};

// Replaces the file at `path` (a symbolic link is saved through, the link
// kept) with `text`. A missing file is created with the mode the umask
// leaves of 0666. The message names `path`. Throws FileWriteError, with the
// file untouched. Once the new file has taken the old one's place, nothing
// is undone: a folder that cannot be flushed after the rename is returned
// as a remark (the new text is in the file, but a power cut could still
// bring back the old one); empty when all went to disk.
[[nodiscard]] std::string replaceFileDurably(const std::string& path, std::string_view text);

// Removes the temporary files a save of `path` leaves when it is killed
// between creating and renaming them: regular files named ".NAME.XXXXXX"
// in its folder and owned by this user. Returns how many were removed;
// never throws (a folder that cannot be read has nothing to clean).
int removeStaleTemporaries(const std::string& path);

// The folder and the name of the file `path` stands for, a symbolic link
// resolved; for a path that names nothing yet, the path itself.
std::pair<std::string, std::string> saveTarget(const std::string& path);

}  // namespace orva::host
