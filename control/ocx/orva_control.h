#pragma once
// The ActivexORVA COM object: the Windows face of one control instance. It
// owns the portable control and the Windows services it runs on, and turns
// the standard control interfaces into calls on it. Nothing throws out of a
// COM method: every failure comes back as a status with error information.
// The methods are defined by concern: orva_control.cpp (the object, its
// lifetime and interfaces), control_dispatch.cpp, control_events.cpp,
// control_persistence.cpp, control_embedding.cpp and control_drawing.cpp.

#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <utility>

#include "control/activex_orva.h"
#include "control/ocx/com_errors.h"
#include "control/ocx/connection_point.h"
#include "control/ocx/control_window.h"
#include "control/ocx/guids.h"
#include "platform/win32/file_trace.h"
#include "platform/win32/handles.h"
#include "platform/win32/notice.h"
#include "platform/win32/timers.h"

namespace orva::ocx {

class OrvaControl final : public _ActivexORVA,
                          public IProvideClassInfo2,
                          public IConnectionPointContainer,
                          public IPersistPropertyBag,
                          public IPersistStreamInit,
                          public IOleObject,
                          public IOleInPlaceObject,
                          public IOleInPlaceActiveObject,
                          public IOleControl,
                          public IViewObject2,
                          public IQuickActivate,
                          public ISupportErrorInfo,
                          private ControlEvents,
                          private PropertyChangeSink,
                          private PanelObserver,
                          private WindowPainter {
public:
    static HRESULT create(REFIID iid, void** result);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** result) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override;

    // _ActivexORVA
    STDMETHODIMP get_MinFixVes(short* value) override;
    STDMETHODIMP put_MinFixVes(short New_MinFixVes) override;
    STDMETHODIMP get_DecPoint(short* value) override;
    STDMETHODIMP put_DecPoint(short New_DecPoint) override;
    STDMETHODIMP get_ComSetting(BSTR* value) override;
    STDMETHODIMP put_ComSetting(BSTR New_ComSetting) override;
    STDMETHODIMP get_ComNumber(BSTR* value) override;
    STDMETHODIMP put_ComNumber(BSTR New_ComNumber) override;
    STDMETHODIMP get_VesTerminal(BSTR* value) override;
    STDMETHODIMP put_VesTerminal(BSTR New_VesTerminal) override;
    STDMETHODIMP get_TipTerminal(BSTR* value) override;
    STDMETHODIMP put_TipTerminal(BSTR New_TipTerminal) override;
    STDMETHODIMP get_StatusTerminal(BSTR* value) override;
    STDMETHODIMP put_StatusTerminal(BSTR New_StatusTerminal) override;
    STDMETHODIMP get_UnitWeight(BSTR* value) override;
    STDMETHODIMP put_UnitWeight(BSTR New_UnitWeight) override;
    STDMETHODIMP Com_ORVA_Signal() override;
    STDMETHODIMP Stability() override;
    STDMETHODIMP Init_VC() override;
    STDMETHODIMP Default_Flag() override;
    STDMETHODIMP Status_Terminale() override;

    // IProvideClassInfo2
    STDMETHODIMP GetClassInfo(ITypeInfo** result) override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* result) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** result) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** result) override;

    // IPersist, IPersistPropertyBag, IPersistStreamInit
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP InitNew() override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPSTREAM stream) override;
    STDMETHODIMP Save(LPSTREAM stream, BOOL clearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) override;
    STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
    STDMETHODIMP Close(DWORD saveOption) override;
    STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
    STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
    STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
    STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index, HWND parent,
                        LPCRECT position) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
    STDMETHODIMP Update() override;
    STDMETHODIMP IsUpToDate() override;
    STDMETHODIMP GetUserClassID(CLSID* clsid) override;
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override;
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* connection) override;
    STDMETHODIMP Unadvise(DWORD connection) override;
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

    // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override;
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
    STDMETHODIMP ReactivateAndUndo() override;
    STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
    STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
    STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
    STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;

    // IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
    STDMETHODIMP OnMnemonic(LPMSG msg) override;
    STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
    STDMETHODIMP FreezeEvents(BOOL freeze) override;

    // IViewObject, IViewObject2
    STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* target, HDC targetDc, HDC dc,
                      LPCRECTL bounds, LPCRECTL metafileBounds, BOOL(STDMETHODCALLTYPE* proceed)(ULONG_PTR),
                      ULONG_PTR proceedArgument) override;
    STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* target, HDC targetDc,
                             LOGPALETTE** colours) override;
    STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* cookie) override;
    STDMETHODIMP Unfreeze(DWORD cookie) override;
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
    STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
    STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* target, LPSIZEL size) override;

    // IQuickActivate
    STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
    STDMETHODIMP SetContentExtent(LPSIZEL size) override;
    STDMETHODIMP GetContentExtent(LPSIZEL size) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

private:
    OrvaControl();
    ~OrvaControl();
    OrvaControl(const OrvaControl&) = delete;
    OrvaControl& operator=(const OrvaControl&) = delete;

    IUnknown* identity() { return static_cast<_ActivexORVA*>(this); }
    // Runs a method body that may reach the portable control: a host may
    // release the control from an event handler inside the call, and nothing
    // throws out of it.
    template <class Body>
    HRESULT call(Body&& body) {
        win32::ComPtr<IUnknown> keep(identity());
        return guardedCall(std::forward<Body>(body));
    }
    // A request this control does not carry out (not implemented, or nothing
    // to do for a panel without input): answered with `answer`, and one line
    // in the trace naming the request, so field support sees what a host
    // asked for. One pointer test when the trace is off.
    HRESULT unsupported(const char* request, HRESULT answer) noexcept;
    HRESULT loadTypeInfo();
    HRESULT inPlaceActivate(IOleClientSite* site, LPCRECT position);
    void fire(DISPID id, VARIANTARG* arguments, UINT count);

    // ControlEvents
    void StabVes(double VesBrutoNVT) override;
    void ChangeVes(double VesChange) override;
    void VesStatus(std::int16_t VesNul, std::int16_t& VesOk, std::int16_t& VesTara, std::int16_t& VesMax) override;
    // PropertyChangeSink
    void propertyChanged(std::string_view propertyName) override;
    // PanelObserver
    void panelChanged() override;
    // WindowPainter
    void paint(HDC dc, const RECT& client) override;

    LONG refs_ = 1;
    win32::ComPtr<ITypeLib> typeLib_;
    win32::ComPtr<ITypeInfo> dispatchInfo_;   // _ActivexORVA as hosts see it (dual dispatch)
    win32::ComPtr<ITypeInfo> interfaceInfo_;  // its v-table form, which Invoke calls through
    ConnectionPoint events_;
    ConnectionPoint propertyNotify_;
    win32::ComPtr<IOleClientSite> site_;
    win32::ComPtr<IOleAdviseHolder> oleAdvise_;
    win32::ComPtr<IAdviseSink> viewSink_;
    DWORD viewAspects_ = 0;
    DWORD viewAdviseFlags_ = 0;
    SIZEL extent_;
    win32::ComPtr<IOleInPlaceSite> inPlaceSite_;
    win32::WindowHandle window_;
    int frozenEvents_ = 0;
    bool dirty_ = false;

    // The services outlive the control that runs on them.
    win32::Win32TimerFactory timers_;
    win32::Win32Notice notice_;
    win32::Win32Locale locale_;
    std::unique_ptr<win32::FileTrace> trace_;  // when field support asked for one
    std::unique_ptr<ActivexORVA> control_;
};

}  // namespace orva::ocx
