#include "platform/qt/signal_quit.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>

namespace orva::qt {
namespace {

constexpr std::array kSignals{SIGINT, SIGTERM, SIGHUP};

// One pipe per process: signal dispositions are process-wide too.
int gPipe[2] = {-1, -1};
std::array<struct sigaction, kSignals.size()> gPrevious{};

extern "C" void onSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const auto written = ::write(gPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

SignalQuit::SignalQuit(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    if (gPipe[0] >= 0) throw std::logic_error("SignalQuit: only one at a time");
    if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("SignalQuit: cannot create a pipe");
    notifier_ = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
        unsigned char byte = 0;
        while (::read(gPipe[0], &byte, 1) == 1) onSignal_(byte);
    });
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = ::orva::qt::onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(kSignals[i], &action, &gPrevious[i]);
    }
}

SignalQuit::~SignalQuit() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &gPrevious[i], nullptr);
    notifier_.reset();
    ::close(gPipe[0]);
    ::close(gPipe[1]);
    gPipe[0] = gPipe[1] = -1;
}

}  // namespace orva::qt
