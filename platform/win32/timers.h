#pragma once
// The control's interval timers: SetTimer on a message-only window of its
// own, so the cycle runs from creation on, before and without any visible
// window. Ticks arrive through the thread's message loop.

#include <unknwn.h>

#include <vector>

#include "platform/interval_timer.h"
#include "platform/win32/handles.h"

namespace orva::win32 {

class Win32Timer;

class Win32TimerFactory : public TimerFactory {
public:
    // owner, when given, is kept alive for the length of every tick: a host
    // may release the control from an event handler inside a tick.
    explicit Win32TimerFactory(IUnknown* owner = nullptr);
    ~Win32TimerFactory() override;
    Win32TimerFactory(const Win32TimerFactory&) = delete;
    Win32TimerFactory& operator=(const Win32TimerFactory&) = delete;

    std::unique_ptr<IntervalTimer> makeTimer(Tick onTick) override;

    HWND window() const { return window_.get(); }

    // Called once when the module unloads.
    static void unregisterWindowClass();

private:
    friend class Win32Timer;
    static LRESULT CALLBACK windowProc(HWND, UINT, WPARAM, LPARAM);
    void tick(UINT_PTR id);
    void forget(Win32Timer* timer);

    IUnknown* owner_;
    WindowHandle window_;
    std::vector<Win32Timer*> timers_;
    UINT_PTR nextId_ = 1;
};

}  // namespace orva::win32
