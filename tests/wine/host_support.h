#pragma once
// What the Windows test host needs to be a real COM host of the control:
// creation by ProgID, event and change-notification sinks, a property bag,
// a client site with a window, and a message pump with a deadline.

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ActiveX_ORVA_h.h"
#include "platform/win32/handles.h"

namespace host {

using orva::win32::Bstr;
using orva::win32::ComPtr;
using orva::win32::Variant;

// The test run's settings, from the environment set by the test script.
struct Settings {
    std::wstring ocxPath;       // the control's module (Windows path)
    std::wstring terminalFile;  // where the simulated terminal reads its weight
    bool liveTerminal = false;  // a terminal answers on COM1
};
const Settings& settings();

// The control, created by its ProgID, as its default interface.
ComPtr<_ActivexORVA> createControl();

// Runs the thread's message loop until done() or the time is up; each
// dispatched message counts one "batch" (a timer tick is one message).
bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
void pumpFor(DWORD ms);
unsigned long currentBatch();

// The module's own DllCanUnloadNow, called directly.
HRESULT moduleCanUnloadNow();

std::wstring getString(_ActivexORVA* control, HRESULT (STDMETHODCALLTYPE _ActivexORVA::*getter)(BSTR*));

// Tells the simulated terminal what to answer ("" = stay silent).
void setTerminalWeight(const std::string& field);

struct Event {
    DISPID id;
    std::vector<double> values;  // by-value arguments, and by-ref values as they were on entry
    unsigned long batch;
    std::vector<short*> references;
};

// An event sink for __ActivexORVA, answering as the dispinterface.
class EventSink final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override;

    std::vector<Event> events;
    std::vector<std::wstring> argumentErrors;
    std::function<void(const Event&, DISPPARAMS*)> onEvent;
    bool answersAsDispinterface = true;  // false: a generic sink, IDispatch only

private:
    ULONG refs_ = 1;
};

class NotifySink final : public IPropertyNotifySink {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP OnChanged(DISPID id) override;
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }

    std::vector<DISPID> changes;
    std::function<void(DISPID)> onChanged;
    HRESULT reply = S_OK;

private:
    ULONG refs_ = 1;
};

// Connects a sink to one of the control's connection points for a scope.
class Connection {
public:
    Connection(IUnknown* control, REFIID iid, IUnknown* sink);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    HRESULT status() const { return status_; }

private:
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
    HRESULT status_ = E_FAIL;
};

// An in-memory IPropertyBag: missing keys answer E_INVALIDARG.
class MemoryBag final : public IPropertyBag {
public:
    ~MemoryBag();
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override;
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override;

    std::map<std::wstring, VARIANT> values;

private:
    ULONG refs_ = 1;
};

// A host window with a client site that lets the control activate in place.
class Site final : public IOleClientSite, public IOleInPlaceSite {
public:
    Site();
    ~Site();
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override;
    // IOleClientSite
    STDMETHODIMP SaveObject() override { return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** m) override {
        *m = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetContainer(IOleContainer** c) override {
        *c = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override {
        *window = window_;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override {
        ++activations;
        return S_OK;
    }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos, LPRECT clip,
                                  LPOLEINPLACEFRAMEINFO info) override;
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override {
        ++deactivations;
        return S_OK;
    }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

    HWND window() const { return window_; }
    RECT position{10, 10, 10 + 376, 10 + 123};  // 5640 x 1845 twips at 96 dpi
    int activations = 0;
    int deactivations = 0;

private:
    ULONG refs_ = 1;
    HWND window_ = nullptr;
};

// Closes every message box of this thread as it appears, keeping its text.
class MessageBoxWatcher {
public:
    MessageBoxWatcher();
    ~MessageBoxWatcher();
    std::vector<std::wstring> texts;
    std::vector<std::wstring> captions;

private:
    static void CALLBACK poll(HWND, UINT, UINT_PTR, DWORD);
    UINT_PTR timer_;
};

}  // namespace host
