#pragma once
// Driving the Qt event loop from a test: real timers tick, real devices are read.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace orva::testing {

// Runs the event loop until pred holds or timeoutMs passes; returns pred().
inline bool runUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (pred() || clock.elapsed() >= timeoutMs) loop.quit();
    });
    check.start();
    if (!pred()) loop.exec();
    return pred();
}

inline void runFor(int ms) { runUntil([] { return false; }, ms); }

}  // namespace orva::testing
