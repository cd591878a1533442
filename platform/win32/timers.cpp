#include "platform/win32/timers.h"

#include <algorithm>

#include "platform/failure.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace orva::win32 {
namespace {

constexpr wchar_t kClassName[] = L"ActiveX_ORVA.Timers";

HINSTANCE moduleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

void registerWindowClass(WNDPROC proc) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (::GetClassInfoExW(moduleInstance(), kClassName, &existing)) return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = moduleInstance();
    wc.lpszClassName = kClassName;
    ::RegisterClassExW(&wc);
}

}  // namespace

class Win32Timer : public IntervalTimer {
public:
    Win32Timer(Win32TimerFactory& factory, UINT_PTR id, TimerFactory::Tick tick)
        : factory_(factory), id_(id), tick_(std::move(tick)) {}
    ~Win32Timer() override {
        setEnabled(false);
        factory_.forget(this);
    }

    int Interval() const override { return interval_; }
    void setInterval(int milliseconds) override {
        interval_ = milliseconds;
        if (enabled_) start();  // a new interval takes effect from now
    }
    bool Enabled() const override { return enabled_; }
    void setEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        if (enabled) start();
        else ::KillTimer(factory_.window(), id_);
    }

    UINT_PTR id() const { return id_; }
    const TimerFactory::Tick& tick() const { return tick_; }

private:
    void start() {
        if (::SetTimer(factory_.window(), id_, static_cast<UINT>(std::max(interval_, 1)), nullptr) == 0) {
            enabled_ = false;
            throw Failure(FailureNumber::InternalFailure, "No timer available");
        }
    }

    Win32TimerFactory& factory_;
    UINT_PTR id_;
    TimerFactory::Tick tick_;
    int interval_ = 0;
    bool enabled_ = false;
};

Win32TimerFactory::Win32TimerFactory(IUnknown* owner) : owner_(owner) {
    registerWindowClass(&Win32TimerFactory::windowProc);
    window_.reset(::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, moduleInstance(),
                                    nullptr));
    if (!window_) throw Failure(FailureNumber::InternalFailure, "Cannot create the timer window");
    ::SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32TimerFactory::~Win32TimerFactory() {
    if (window_) ::SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
}

void Win32TimerFactory::unregisterWindowClass() { ::UnregisterClassW(kClassName, moduleInstance()); }

std::unique_ptr<IntervalTimer> Win32TimerFactory::makeTimer(Tick onTick) {
    auto timer = std::make_unique<Win32Timer>(*this, nextId_++, std::move(onTick));
    timers_.push_back(timer.get());
    return timer;
}

void Win32TimerFactory::forget(Win32Timer* timer) { std::erase(timers_, timer); }

void Win32TimerFactory::tick(UINT_PTR id) {
    const auto found = std::find_if(timers_.begin(), timers_.end(), [&](Win32Timer* t) { return t->id() == id; });
    if (found == timers_.end() || !(*found)->Enabled()) return;
    // Keeps the control, and with it this factory and the timer, alive until
    // the tick has returned, even if an event handler released the last
    // reference in between. Nothing of this object is touched after Release.
    IUnknown* owner = owner_;
    if (owner != nullptr) owner->AddRef();
    try {
        (*found)->tick()();
    } catch (...) {
        // A tick has no caller to report to; the core reports its own
        // failures through the notice, so this is only a last line of defence.
    }
    if (owner != nullptr) owner->Release();
}

LRESULT CALLBACK Win32TimerFactory::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        if (auto* factory = reinterpret_cast<Win32TimerFactory*>(::GetWindowLongPtrW(window, GWLP_USERDATA))) {
            factory->tick(wParam);
            return 0;
        }
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace orva::win32
