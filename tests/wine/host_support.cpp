#include "tests/wine/host_support.h"

#include <fstream>

namespace host {
namespace {

unsigned long batchCounter = 0;

std::wstring environment(const wchar_t* name) {
    wchar_t buffer[1024] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, 1024);
    return length > 0 && length < 1024 ? std::wstring(buffer, length) : std::wstring();
}

template <class Self, class Interface>
HRESULT answer(Self* self, REFIID iid, void** result, std::initializer_list<IID> iids, Interface* as) {
    for (const IID& candidate : iids) {
        if (::IsEqualIID(iid, candidate)) {
            *result = as;
            self->AddRef();
            return S_OK;
        }
    }
    *result = nullptr;
    return E_NOINTERFACE;
}

}  // namespace

const Settings& settings() {
    static const Settings s = [] {
        Settings r;
        r.ocxPath = environment(L"ORVA_OCX");
        r.terminalFile = environment(L"ORVA_TERMINAL_FILE");
        r.liveTerminal = !r.terminalFile.empty();
        return r;
    }();
    return s;
}

ComPtr<_ActivexORVA> createControl() {
    CLSID clsid{};
    if (FAILED(::CLSIDFromProgID(L"ActiveX_ORVA.ActivexORVA", &clsid))) return {};
    ComPtr<_ActivexORVA> control;
    ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__ActivexORVA, control.outVoid());
    return control;
}

bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > timeoutMs) return false;
        MSG msg;
        if (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ++batchCounter;
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        } else {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    }
    return true;
}

void pumpFor(DWORD ms) { pumpUntil([] { return false; }, ms); }

unsigned long currentBatch() { return batchCounter; }

HRESULT moduleCanUnloadNow() {
    const HMODULE module = ::GetModuleHandleW(L"ActiveX_ORVA.ocx");
    if (module == nullptr) return S_OK;  // not loaded at all
    using Fn = HRESULT(WINAPI*)();
    const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, "DllCanUnloadNow")));
    return fn != nullptr ? fn() : E_FAIL;
}

std::wstring getString(_ActivexORVA* control, HRESULT (STDMETHODCALLTYPE _ActivexORVA::*getter)(BSTR*)) {
    Bstr value;
    if (FAILED((control->*getter)(value.out()))) return L"<failed>";
    return std::wstring(value.view());
}

void setTerminalWeight(const std::string& field) {
    const std::wstring& path = settings().terminalFile;
    const std::wstring temp = path + L".new";
    {
        std::ofstream out(temp.c_str(), std::ios::binary | std::ios::trunc);
        out << field;
    }
    ::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// ---- EventSink ----

STDMETHODIMP EventSink::QueryInterface(REFIID iid, void** result) {
    if (!answersAsDispinterface)
        return answer(this, iid, result, {IID_IUnknown, IID_IDispatch}, static_cast<IDispatch*>(this));
    return answer(this, iid, result, {IID_IUnknown, IID_IDispatch, DIID___ActivexORVA}, static_cast<IDispatch*>(this));
}

STDMETHODIMP_(ULONG) EventSink::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                               UINT*) {
    Event e{id, {}, batchCounter, {}};
    if (flags != DISPATCH_METHOD) argumentErrors.push_back(L"flags not DISPATCH_METHOD");
    if (params == nullptr) return E_POINTER;
    // Arguments arrive last to first.
    for (UINT i = params->cArgs; i-- > 0;) {
        VARIANT& a = params->rgvarg[i];
        switch (V_VT(&a)) {
            case VT_R8: e.values.push_back(V_R8(&a)); break;
            case VT_I2: e.values.push_back(V_I2(&a)); break;
            case VT_BYREF | VT_I2:
                e.values.push_back(*V_I2REF(&a));
                e.references.push_back(V_I2REF(&a));
                break;
            default: argumentErrors.push_back(L"unexpected argument type " + std::to_wstring(V_VT(&a)));
        }
    }
    events.push_back(e);
    if (onEvent) onEvent(events.back(), params);
    return S_OK;
}

// ---- NotifySink ----

STDMETHODIMP NotifySink::QueryInterface(REFIID iid, void** result) {
    return answer(this, iid, result, {IID_IUnknown, IID_IPropertyNotifySink},
                  static_cast<IPropertyNotifySink*>(this));
}

STDMETHODIMP_(ULONG) NotifySink::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP NotifySink::OnChanged(DISPID id) {
    changes.push_back(id);
    if (onChanged) onChanged(id);
    return reply;
}

// ---- Connection ----

Connection::Connection(IUnknown* control, REFIID iid, IUnknown* sink) {
    auto container = ComPtr<IUnknown>(control).as<IConnectionPointContainer>(IID_IConnectionPointContainer);
    if (!container) return;
    status_ = container->FindConnectionPoint(iid, point_.out());
    if (SUCCEEDED(status_)) status_ = point_->Advise(sink, &cookie_);
}

Connection::~Connection() {
    if (point_ && cookie_ != 0) point_->Unadvise(cookie_);
}

// ---- MemoryBag ----

MemoryBag::~MemoryBag() {
    for (auto& [key, value] : values) ::VariantClear(&value);
}

STDMETHODIMP MemoryBag::QueryInterface(REFIID iid, void** result) {
    return answer(this, iid, result, {IID_IUnknown, IID_IPropertyBag}, static_cast<IPropertyBag*>(this));
}

STDMETHODIMP_(ULONG) MemoryBag::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP MemoryBag::Read(LPCOLESTR name, VARIANT* value, IErrorLog*) {
    const auto found = values.find(name);
    if (found == values.end()) return E_INVALIDARG;
    return ::VariantCopy(value, &found->second);
}

STDMETHODIMP MemoryBag::Write(LPCOLESTR name, VARIANT* value) {
    VARIANT copy;
    ::VariantInit(&copy);
    if (const HRESULT hr = ::VariantCopy(&copy, value); FAILED(hr)) return hr;
    auto& slot = values[name];
    ::VariantClear(&slot);
    slot = copy;
    return S_OK;
}

// ---- Site ----

Site::Site() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.lpszClassName = L"OrvaTestHost";
        ::RegisterClassW(&wc);
        registered = true;
    }
    window_ = ::CreateWindowExW(0, L"OrvaTestHost", L"ActiveX_ORVA test host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                0, 480, 240, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
}

Site::~Site() {
    if (window_ != nullptr) ::DestroyWindow(window_);
}

STDMETHODIMP Site::QueryInterface(REFIID iid, void** result) {
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IOleClientSite))
        return answer(this, iid, result, {iid}, static_cast<IOleClientSite*>(this));
    if (::IsEqualIID(iid, IID_IOleWindow) || ::IsEqualIID(iid, IID_IOleInPlaceSite))
        return answer(this, iid, result, {iid}, static_cast<IOleInPlaceSite*>(this));
    *result = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) Site::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP Site::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos, LPRECT clip,
                                    LPOLEINPLACEFRAMEINFO info) {
    *frame = nullptr;
    *doc = nullptr;
    *pos = position;
    ::GetClientRect(window_, clip);
    info->fMDIApp = FALSE;
    info->hwndFrame = window_;
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
}

// ---- MessageBoxWatcher ----

namespace {
MessageBoxWatcher* activeWatcher = nullptr;

BOOL CALLBACK closeDialog(HWND window, LPARAM) {
    wchar_t className[32] = {};
    ::GetClassNameW(window, className, 32);
    if (std::wstring(className) != L"#32770" || !::IsWindowVisible(window)) return TRUE;
    wchar_t text[512] = {};
    ::GetDlgItemTextW(window, 0xFFFF, text, 512);
    wchar_t caption[128] = {};
    ::GetWindowTextW(window, caption, 128);
    if (activeWatcher != nullptr) {
        activeWatcher->texts.emplace_back(text);
        activeWatcher->captions.emplace_back(caption);
    }
    ::PostMessageW(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}
}  // namespace

MessageBoxWatcher::MessageBoxWatcher() {
    activeWatcher = this;
    timer_ = ::SetTimer(nullptr, 0, 50, &MessageBoxWatcher::poll);
}

MessageBoxWatcher::~MessageBoxWatcher() {
    ::KillTimer(nullptr, timer_);
    activeWatcher = nullptr;
}

void CALLBACK MessageBoxWatcher::poll(HWND, UINT, UINT_PTR, DWORD) {
    ::EnumThreadWindows(::GetCurrentThreadId(), closeDialog, 0);
}

}  // namespace host
