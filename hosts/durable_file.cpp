#include "hosts/durable_file.h"
#include "hosts/file_descriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

namespace orva::host {
namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what, int error) {
    throw FileWriteError(path + ": " + what + ": " + std::strerror(error), error);
}


// "." + base + kSaving + six characters of mkstemp: a name of its own, so
// that the clean-up never takes a file of the user's such as ".NAME.backup".
constexpr std::string_view kSaving = ".orva-saving.";

bool temporaryNameOf(std::string_view name, std::string_view base) {
    return name.size() == 1 + base.size() + kSaving.size() + 6 && name.front() == '.' &&
           name.substr(1, base.size()) == base && name.substr(1 + base.size(), kSaving.size()) == kSaving;
}

}  // namespace

bool FileWriteError::noSpace() const noexcept { return error_ == ENOSPC || error_ == EDQUOT; }

std::pair<std::string, std::string> saveTarget(const std::string& path) {
    std::string target = path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) target = resolved;
    const auto slash = target.rfind('/');
    if (slash == std::string::npos) return {".", target};
    return {slash == 0 ? "/" : target.substr(0, slash), target.substr(slash + 1)};
}

std::string replaceFileDurably(const std::string& path, std::string_view text) {
    const auto [folder, base] = saveTarget(path);
    const std::string target = folder + "/" + base;
    std::optional<struct stat> existing;
    struct stat st{};
    if (::stat(target.c_str(), &st) == 0) existing = st;
    else if (errno != ENOENT) fail(path, "cannot be examined", errno);

    std::string temporary = folder + "/." + base + std::string(kSaving) + "XXXXXX";
    FileDescriptor fd(::mkstemp(temporary.data()));
    if (fd.get() < 0) fail(path, "cannot save", errno);
    struct Remove {
        const std::string* path;
        ~Remove() {
            if (path != nullptr) ::unlink(path->c_str());
        }
    } removeOnFailure{&temporary};

    mode_t mode = 0666;
    if (existing) {
        mode = existing->st_mode & 07777;
        if (::fchown(fd.get(), existing->st_uid, existing->st_gid) != 0) {
            const int error = errno;
            struct stat own{};
            if (::fstat(fd.get(), &own) != 0 || own.st_uid != existing->st_uid || own.st_gid != existing->st_gid)
                fail(path, "cannot save with its owner and group kept", error);
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }
    if (::fchmod(fd.get(), mode) != 0) fail(path, "cannot save with its mode kept", errno);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(path, "cannot save", n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    // A file system that reserves blocks lazily reports a full disk here.
    if (::fsync(fd.get()) != 0) fail(path, "cannot save", errno);
    if (fd.close() != 0) fail(path, "cannot save", errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0) fail(path, "cannot save", errno);
    removeOnFailure.path = nullptr;
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0)
        return path + ": saved, but the folder could not be flushed to disk: " + std::strerror(errno);
    return {};
}

int removeStaleTemporaries(const std::string& path) {
    const auto [folder, base] = saveTarget(path);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (!temporaryNameOf(name, base)) continue;
        struct stat st{};
        const std::string full = folder + "/" + name;
        if (::lstat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
        if (::unlink(full.c_str()) == 0) ++removed;
    }
    return removed;
}

}  // namespace orva::host
