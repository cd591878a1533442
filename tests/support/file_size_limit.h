#pragma once
// A write failure on demand, for any user and without mounting anything: the
// process may not make any file larger than `bytes` while this lives
// (RLIMIT_FSIZE), so a write beyond fails with EFBIG instead of raising
// SIGXFSZ, which is ignored meanwhile.

#include <signal.h>
#include <sys/resource.h>

namespace orva::test {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        previous_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        ::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    sighandler_t previous_;
};

}  // namespace orva::test
