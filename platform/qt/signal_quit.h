#pragma once
// Ends a host's event loop on SIGINT, SIGTERM or SIGHUP, so that the host
// leaves through its normal exit path and saves its document. The signal
// handler only writes a byte to a pipe; the loop reads it and quits.

#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace orva::qt {

class SignalQuit {
public:
    // onSignal runs on the event loop's thread; it gets the signal number.
    explicit SignalQuit(std::function<void(int)> onSignal);
    ~SignalQuit();
    SignalQuit(const SignalQuit&) = delete;
    SignalQuit& operator=(const SignalQuit&) = delete;

private:
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void(int)> onSignal_;
};

}  // namespace orva::qt
