#include "control/ocx/module_state.h"

#include <atomic>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace orva::ocx {
namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

}  // namespace

HINSTANCE moduleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }
void objectCreated() { ++liveObjects; }
void objectDestroyed() { --liveObjects; }
void lockServer(bool lock) { lock ? ++serverLocks : --serverLocks; }
bool moduleInUse() { return liveObjects > 0 || serverLocks > 0; }

std::wstring modulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(moduleInstance(), path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace orva::ocx
