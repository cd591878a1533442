#pragma once
// A test's second process as the unprivileged user: root opens any device
// whatever its mode and ignores exclusive use, so a refusal is only seen by
// another user.

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <QProcess>

namespace orva::testing {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

// The process drops to user and group 65534 before its program runs; one that
// cannot exits with `cannotDrop` instead. QProcess may start the child with
// vfork, sharing this process's memory until the exec: the C library's
// setuid() would update state of this process's threads, so the system calls
// are made directly.
inline void runAsNobody(QProcess& process, int cannotDrop) {
    process.setChildProcessModifier([cannotDrop] {
        if (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setgid, kNoGroup) != 0 ||
            ::syscall(SYS_setuid, kNobody) != 0)
            ::_exit(cannotDrop);
    });
}

}  // namespace orva::testing
