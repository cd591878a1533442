// A window that hosts the installed control in the system's ATL container
// (the "AtlAxWin" window class of atl.dll), connects to its events and
// prints them with the settled weights, for SECONDS seconds:
//   atl_host.exe [SECONDS]
// No ATL headers are needed: the container's three entry points are taken
// from the DLL at run time, and the event sink is a plain IDispatch.

#include <windows.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The control's event interface (its connection point).
const IID kEventsIid = {0x736AFA12, 0x84AC, 0x4768, {0x92, 0xDB, 0xD8, 0xB5, 0x06, 0x15, 0xC3, 0x18}};
enum : DISPID { kStabVes = 1, kChangeVes = 2, kVesStatus = 3 };

double number(const VARIANT& v) {
    VARIANT copy;
    ::VariantInit(&copy);
    const double value = SUCCEEDED(::VariantChangeType(&copy, const_cast<VARIANT*>(&v), 0, VT_R8)) ? copy.dblVal : 0;
    ::VariantClear(&copy);
    return value;
}

class EventSink final : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kEventsIid) {
            *out = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on main's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        // Arguments come last first.
        const VARIANTARG* a = params->rgvarg;
        switch (id) {
        case kChangeVes: std::printf("ChangeVes %g\n", number(a[0])); break;
        case kStabVes: std::printf("StabVes %g\n", number(a[0])); break;
        case kVesStatus:
            std::printf("VesStatus %d %d %d %d\n", static_cast<int>(number(a[3])),
                        a[2].vt == (VT_BYREF | VT_I2) ? *a[2].piVal : -1, a[1].vt == (VT_BYREF | VT_I2) ? *a[1].piVal : -1,
                        a[0].vt == (VT_BYREF | VT_I2) ? *a[0].piVal : -1);
            break;
        default: return DISP_E_MEMBERNOTFOUND;
        }
        std::fflush(stdout);
        return S_OK;
    }
};

// Holds one interface reference and gives it back at the end of the scope.
template <class T>
struct Ref {
    T* p = nullptr;
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    void** out() { return reinterpret_cast<void**>(&p); }
};

template <class Function>
Function entryPoint(HMODULE module, const char* name) {
    const FARPROC address = module ? ::GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

struct ComApartment {
    ComApartment() { ::CoInitialize(nullptr); }
    ~ComApartment() { ::CoUninitialize(); }
};

}  // namespace

int main(int argc, char** argv) {
    const UINT seconds = argc > 1 ? static_cast<UINT>(std::atoi(argv[1])) : 10;
    ComApartment apartment;

    HMODULE atl = ::LoadLibraryW(L"atl.dll");
    using Init = BOOL(WINAPI*)();
    using GetControl = HRESULT(WINAPI*)(HWND, IUnknown**);
    const auto init = entryPoint<Init>(atl, "AtlAxWinInit");
    const auto getControl = entryPoint<GetControl>(atl, "AtlAxGetControl");
    if (!init || !getControl || !init()) {
        std::fprintf(stderr, "atl.dll with AtlAxWinInit and AtlAxGetControl is needed\n");
        return 1;
    }

    // The window's text names the control to create: here its ProgID.
    HWND window = ::CreateWindowExW(0, L"AtlAxWin", L"ActiveX_ORVA.ActivexORVA", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                    CW_USEDEFAULT, CW_USEDEFAULT, 400, 160, nullptr, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr);
    Ref<IUnknown> control;
    if (!window || FAILED(getControl(window, &control.p)) || !control.p) {
        std::fprintf(stderr, "the container could not create ActiveX_ORVA.ActivexORVA (is it installed?)\n");
        return 1;
    }

    EventSink sink;
    Ref<IConnectionPointContainer> container;
    Ref<IConnectionPoint> point;
    DWORD cookie = 0;
    if (FAILED(control->QueryInterface(IID_IConnectionPointContainer, container.out())) ||
        FAILED(container->FindConnectionPoint(kEventsIid, &point.p)) || FAILED(point->Advise(&sink, &cookie))) {
        std::fprintf(stderr, "cannot connect to the control's events\n");
        return 1;
    }
    std::printf("hosted; events connected\n");
    std::fflush(stdout);

    // The control polls on timers of this thread: run its message loop.
    const UINT_PTR end = ::SetTimer(nullptr, 0, seconds * 1000, nullptr);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == end) break;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }

    point->Unadvise(cookie);
    // Destroying the container's window releases its hold on the control.
    ::DestroyWindow(window);
    return 0;
}
