// Calls a careless or hostile host may make: late-bound calls that do not
// fit the member they name, and null pointers wherever an interface lets the
// control check. Each gets the status automation defines, and nothing else
// happens: no crash, no value changed, no half-filled out parameter.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tests/wine/host_support.h"
#include "control/ocx/dispids.h"

namespace {

using namespace host;

constexpr DISPID kMinFixVes = DISPID_ORVA_MinFixVes;
constexpr DISPID kComSetting = DISPID_ORVA_ComSetting;
constexpr DISPID kStability = DISPID_ORVA_Stability;
constexpr LCID kLcid = 0x0409;

struct Call {
    HRESULT hr;
    UINT argError;
};

// Invoke with the arguments given last to first, as DISPPARAMS holds them.
Call invoke(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT> args, std::vector<DISPID> named = {},
            VARIANT* result = nullptr) {
    DISPPARAMS params{args.empty() ? nullptr : args.data(), named.empty() ? nullptr : named.data(),
                      static_cast<UINT>(args.size()), static_cast<UINT>(named.size())};
    UINT argError = 0xFFFF;
    EXCEPINFO exception{};
    const HRESULT hr = d->Invoke(id, IID_NULL, kLcid, flags, &params, result, &exception, &argError);
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
    return {hr, argError};
}

VARIANT i4(LONG v) {
    VARIANT x;
    ::VariantInit(&x);
    V_VT(&x) = VT_I4;
    V_I4(&x) = v;
    return x;
}

short minFixVes(_ActivexORVA* c) {
    short v = 0;
    c->get_MinFixVes(&v);
    return v;
}

TEST(DispatchRobustness, UnknownMembersAndInterfaces) {
    auto control = createControl();
    ASSERT_TRUE(control);
    for (DISPID id : {DISPID(0x12345), DISPID(-1000), DISPID(DISPID_VALUE), DISPID(DISPID_NEWENUM), DISPID(1)}) {
        for (WORD flags : {WORD(DISPATCH_METHOD), WORD(DISPATCH_PROPERTYGET), WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET)}) {
            Variant result;
            EXPECT_EQ(DISP_E_MEMBERNOTFOUND, invoke(control.get(), id, flags, {}, {}, result.get()).hr)
                << std::hex << id << " flags " << flags;
            EXPECT_EQ(VT_EMPTY, V_VT(result.get()));
        }
        EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
                  invoke(control.get(), id, DISPATCH_PROPERTYPUT, {i4(1)}, {DISPID_PROPERTYPUT}).hr);
    }
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              control->Invoke(kStability, IID_IDispatch, kLcid, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
    std::wstring name = L"MinFixVes";
    LPOLESTR names[] = {name.data()};
    DISPID found = 0;
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, control->GetIDsOfNames(IID_IDispatch, names, 1, kLcid, &found));

    // A name with parameter names the members do not have.
    std::wstring method = L"Stability", parameter = L"Weight";
    LPOLESTR withParameter[] = {method.data(), parameter.data()};
    DISPID ids[2] = {0, 0};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, control->GetIDsOfNames(IID_NULL, withParameter, 2, kLcid, ids));
}

TEST(DispatchRobustness, WrongArgumentCounts) {
    auto control = createControl();
    ASSERT_TRUE(control);
    // A method without parameters given some.
    // A failure just before leaves its description on the thread; a refused
    // call must not appear to carry it.
    {
        NotifySink refusing;
        refusing.reply = E_ACCESSDENIED;
        Connection connection(control.get(), IID_IPropertyNotifySink, &refusing);
        Bstr number(L"2");
        ASSERT_EQ(E_ACCESSDENIED, control->put_ComNumber(number.get()));
    }
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, invoke(control.get(), kStability, DISPATCH_METHOD, {i4(1)}).hr);
    ComPtr<IErrorInfo> stale;
    EXPECT_EQ(S_FALSE, ::GetErrorInfo(0, stale.out()));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, invoke(control.get(), kStability, DISPATCH_METHOD, {i4(1), i4(2)}).hr);
    // A property read with an argument.
    Variant result;
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYGET, {i4(1)}, {}, result.get()).hr);
    EXPECT_EQ(VT_EMPTY, V_VT(result.get()));
    // A property write with one value too many, and with none.
    const HRESULT tooMany =
        invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYPUT, {i4(7), i4(8)}, {DISPID_PROPERTYPUT}).hr;
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, tooMany);
    const HRESULT noValue = invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYPUT, {}).hr;
    EXPECT_TRUE(noValue == DISP_E_BADPARAMCOUNT || noValue == DISP_E_PARAMNOTOPTIONAL) << std::hex << noValue;
    EXPECT_EQ(50, minFixVes(control.get()));
}

TEST(DispatchRobustness, UnconvertibleArgumentsNameTheArgument) {
    auto control = createControl();
    ASSERT_TRUE(control);

    VARIANT text;
    ::VariantInit(&text);
    Bstr letters(L"fifty");
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = letters.get();
    Call c = invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYPUT, {text}, {DISPID_PROPERTYPUT});
    EXPECT_EQ(DISP_E_TYPEMISMATCH, c.hr);
    EXPECT_EQ(0u, c.argError);

    // An object without a value and a safe array cannot become a 16-bit number or a text.
    VARIANT object;
    ::VariantInit(&object);
    V_VT(&object) = VT_UNKNOWN;
    V_UNKNOWN(&object) = nullptr;
    for (DISPID id : {kMinFixVes, kComSetting}) {
        c = invoke(control.get(), id, DISPATCH_PROPERTYPUT, {object}, {DISPID_PROPERTYPUT});
        EXPECT_EQ(DISP_E_TYPEMISMATCH, c.hr) << std::hex << id;
        EXPECT_EQ(0u, c.argError);
    }
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_I4, 0, 2);
    ASSERT_NE(nullptr, array);
    VARIANT arrayArgument;
    ::VariantInit(&arrayArgument);
    V_VT(&arrayArgument) = VT_ARRAY | VT_I4;
    V_ARRAY(&arrayArgument) = array;
    c = invoke(control.get(), kComSetting, DISPATCH_PROPERTYPUT, {arrayArgument}, {DISPID_PROPERTYPUT});
    EXPECT_EQ(DISP_E_TYPEMISMATCH, c.hr);
    EXPECT_EQ(0u, c.argError);
    ::SafeArrayDestroy(array);

    // Out of the 16-bit range: refused as the conversion refuses it.
    c = invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYPUT, {i4(70000)}, {DISPID_PROPERTYPUT});
    EXPECT_TRUE(c.hr == DISP_E_OVERFLOW || c.hr == DISP_E_TYPEMISMATCH) << std::hex << c.hr;
    EXPECT_EQ(0u, c.argError);

    EXPECT_EQ(50, minFixVes(control.get()));
    EXPECT_EQ(L"9600,n,8,1", getString(control.get(), &_ActivexORVA::get_ComSetting));
}

TEST(DispatchRobustness, PropertiesAndMethodsAreNotInterchangeable) {
    auto control = createControl();
    ASSERT_TRUE(control);
    // A method cannot be written or read as a property.
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              invoke(control.get(), kStability, DISPATCH_PROPERTYPUT, {i4(1)}, {DISPID_PROPERTYPUT}).hr);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              invoke(control.get(), kStability, DISPATCH_PROPERTYPUTREF, {i4(1)}, {DISPID_PROPERTYPUT}).hr);
    Variant result;
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, invoke(control.get(), kStability, DISPATCH_PROPERTYGET, {}, {}, result.get()).hr);
    // A property is not a method by itself; script hosts that cannot tell
    // ask for either, and get the value.
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, invoke(control.get(), kMinFixVes, DISPATCH_METHOD, {}, {}, result.get()).hr);
    ASSERT_EQ(S_OK,
              invoke(control.get(), kMinFixVes, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, {}, result.get()).hr);
    EXPECT_EQ(VT_I2, V_VT(result.get()));
    // The string properties are values, not object references.
    Bstr text(L"2400,n,8,1");
    VARIANT argument;
    ::VariantInit(&argument);
    V_VT(&argument) = VT_BSTR;
    V_BSTR(&argument) = text.get();
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              invoke(control.get(), kComSetting, DISPATCH_PROPERTYPUTREF, {argument}, {DISPID_PROPERTYPUT}).hr);
    EXPECT_EQ(L"9600,n,8,1", getString(control.get(), &_ActivexORVA::get_ComSetting));
}

TEST(DispatchRobustness, ArgumentsByReferenceAreTakenThroughTheirReference) {
    // Script hosts pass their variables by reference.
    auto control = createControl();
    ASSERT_TRUE(control);
    LONG number = 12;
    VARIANT byRef;
    ::VariantInit(&byRef);
    V_VT(&byRef) = VT_BYREF | VT_I4;
    V_I4REF(&byRef) = &number;
    ASSERT_EQ(S_OK, invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYPUT, {byRef}, {DISPID_PROPERTYPUT}).hr);
    EXPECT_EQ(12, minFixVes(control.get()));

    Bstr text(L"2400,n,8,1");
    VARIANT inner;
    ::VariantInit(&inner);
    V_VT(&inner) = VT_BSTR;
    V_BSTR(&inner) = text.get();
    VARIANT variantRef;
    ::VariantInit(&variantRef);
    V_VT(&variantRef) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&variantRef) = &inner;
    ASSERT_EQ(S_OK, invoke(control.get(), kComSetting, DISPATCH_PROPERTYPUT, {variantRef}, {DISPID_PROPERTYPUT}).hr);
    EXPECT_EQ(L"2400,n,8,1", getString(control.get(), &_ActivexORVA::get_ComSetting));
    EXPECT_EQ(VT_BSTR, V_VT(&inner));  // the caller's variable is left as it was
    EXPECT_EQ(text.get(), V_BSTR(&inner));

    // A reference to nothing is refused, naming the argument.
    VARIANT nothing;
    ::VariantInit(&nothing);
    V_VT(&nothing) = VT_BYREF | VT_I2;
    V_I2REF(&nothing) = nullptr;
    const Call c = invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYPUT, {nothing}, {DISPID_PROPERTYPUT});
    EXPECT_EQ(DISP_E_TYPEMISMATCH, c.hr);
    EXPECT_EQ(0u, c.argError);
    EXPECT_EQ(12, minFixVes(control.get()));
}

TEST(DispatchRobustness, PropertyWriteNeedsItsNamedArgument) {
    auto control = createControl();
    ASSERT_TRUE(control);
    // The value of a property write is the named argument DISPID_PROPERTYPUT;
    // without it the call does not say which argument is the value.
    const HRESULT unnamed = invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYPUT, {i4(7)}).hr;
    EXPECT_TRUE(unnamed == DISP_E_PARAMNOTOPTIONAL || unnamed == DISP_E_BADPARAMCOUNT) << std::hex << unnamed;
    // Another named argument is not one of the member's parameters.
    EXPECT_EQ(DISP_E_PARAMNOTFOUND, invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYPUT, {i4(7)}, {5}).hr);
    // Named arguments of a method without parameters.
    EXPECT_EQ(DISP_E_PARAMNOTFOUND, invoke(control.get(), kStability, DISPATCH_METHOD, {i4(7)}, {0}).hr);
    EXPECT_EQ(50, minFixVes(control.get()));
    // The well-formed write still works.
    ASSERT_EQ(S_OK, invoke(control.get(), kMinFixVes, DISPATCH_PROPERTYPUT, {i4(7)}, {DISPID_PROPERTYPUT}).hr);
    EXPECT_EQ(7, minFixVes(control.get()));
}

TEST(DispatchRobustness, MalformedDispatchParametersAreRefused) {
    auto control = createControl();
    ASSERT_TRUE(control);
    UINT argError = 0;
    EXPECT_EQ(E_INVALIDARG,
              control->Invoke(kStability, IID_NULL, kLcid, DISPATCH_METHOD, nullptr, nullptr, nullptr, &argError));
    Variant result;
    EXPECT_EQ(E_INVALIDARG, control->Invoke(kMinFixVes, IID_NULL, kLcid, DISPATCH_PROPERTYGET, nullptr,
                                            result.get(), nullptr, nullptr));
    // Counts that promise arrays which are not there, or more names than arguments.
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS noArguments{nullptr, &named, 1, 1};
    EXPECT_EQ(E_INVALIDARG, control->Invoke(kMinFixVes, IID_NULL, kLcid, DISPATCH_PROPERTYPUT, &noArguments, nullptr,
                                            nullptr, nullptr));
    VARIANT value = i4(9);
    DISPPARAMS noNames{&value, nullptr, 1, 1};
    EXPECT_EQ(E_INVALIDARG, control->Invoke(kMinFixVes, IID_NULL, kLcid, DISPATCH_PROPERTYPUT, &noNames, nullptr,
                                            nullptr, nullptr));
    DISPID twoNames[] = {DISPID_PROPERTYPUT, 0};
    DISPPARAMS moreNamesThanArguments{&value, twoNames, 1, 2};
    EXPECT_EQ(E_INVALIDARG, control->Invoke(kMinFixVes, IID_NULL, kLcid, DISPATCH_PROPERTYPUT,
                                            &moreNamesThanArguments, nullptr, nullptr, nullptr));
    EXPECT_EQ(50, minFixVes(control.get()));

    // No result wanted, no exception or argument slot given: still fine.
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(S_OK,
              control->Invoke(kComSetting, IID_NULL, kLcid, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr));
    EXPECT_EQ(S_OK, control->Invoke(kStability, IID_NULL, kLcid, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
}

TEST(DispatchRobustness, AFailingMemberIsAnExceptionWithOrWithoutAPlaceForIt) {
    auto control = createControl();
    ASSERT_TRUE(control);
    NotifySink refusing;
    refusing.reply = E_ACCESSDENIED;
    Connection connection(control.get(), IID_IPropertyNotifySink, &refusing);
    ASSERT_EQ(S_OK, connection.status());
    Bstr text(L"g");
    VARIANT argument;
    ::VariantInit(&argument);
    V_VT(&argument) = VT_BSTR;
    V_BSTR(&argument) = text.get();
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{&argument, &named, 1, 1};
    constexpr DISPID kUnitWeight = DISPID_ORVA_UnitWeight;
    EXCEPINFO exception{};
    EXPECT_EQ(DISP_E_EXCEPTION,
              control->Invoke(kUnitWeight, IID_NULL, kLcid, DISPATCH_PROPERTYPUT, &put, nullptr, &exception, nullptr));
    EXPECT_EQ(E_ACCESSDENIED, exception.scode);
    EXPECT_NE(nullptr, exception.bstrDescription);
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
    // Without an EXCEPINFO the failure still comes back as a failure.
    const HRESULT bare =
        control->Invoke(kUnitWeight, IID_NULL, kLcid, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr);
    EXPECT_TRUE(bare == DISP_E_EXCEPTION || bare == E_ACCESSDENIED) << std::hex << bare;
}

TEST(NullPointers, DispatchAndDefaultInterface) {
    auto control = createControl();
    ASSERT_TRUE(control);
    EXPECT_EQ(E_POINTER, control->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, control->QueryInterface(IID_IStream, nullptr));
    EXPECT_EQ(E_POINTER, control->GetTypeInfoCount(nullptr));
    EXPECT_EQ(E_POINTER, control->GetTypeInfo(0, kLcid, nullptr));
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(DISP_E_BADINDEX, control->GetTypeInfo(1, kLcid, info.out()));
    EXPECT_FALSE(info);

    DISPID id = 0;
    EXPECT_EQ(E_INVALIDARG, control->GetIDsOfNames(IID_NULL, nullptr, 1, kLcid, &id));
    std::wstring name = L"MinFixVes";
    LPOLESTR names[] = {name.data()};
    EXPECT_EQ(E_POINTER, control->GetIDsOfNames(IID_NULL, names, 1, kLcid, nullptr));
    LPOLESTR nullName[] = {nullptr};
    EXPECT_EQ(E_INVALIDARG, control->GetIDsOfNames(IID_NULL, nullName, 1, kLcid, &id));

    EXPECT_EQ(E_POINTER, control->get_MinFixVes(nullptr));
    EXPECT_EQ(E_POINTER, control->get_DecPoint(nullptr));
    for (auto getter : {&_ActivexORVA::get_ComSetting, &_ActivexORVA::get_ComNumber, &_ActivexORVA::get_VesTerminal,
                        &_ActivexORVA::get_TipTerminal, &_ActivexORVA::get_StatusTerminal,
                        &_ActivexORVA::get_UnitWeight})
        EXPECT_EQ(E_POINTER, (control.get()->*getter)(nullptr));
    // A null text is the empty text, as automation has it.
    ASSERT_EQ(S_OK, control->put_UnitWeight(nullptr));
    EXPECT_EQ(L"", getString(control.get(), &_ActivexORVA::get_UnitWeight));

    auto classInfo = control.as<IProvideClassInfo2>(IID_IProvideClassInfo2);
    ASSERT_TRUE(classInfo);
    EXPECT_EQ(E_POINTER, classInfo->GetClassInfo(nullptr));
    EXPECT_EQ(E_POINTER, classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, nullptr));
    GUID guid{};
    EXPECT_EQ(E_INVALIDARG, classInfo->GetGUID(7, &guid));
    auto errorInfo = control.as<ISupportErrorInfo>(IID_ISupportErrorInfo);
    ASSERT_TRUE(errorInfo);
    EXPECT_EQ(S_FALSE, errorInfo->InterfaceSupportsErrorInfo(IID_IStream));
}

class PlainSink final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        if (!::IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;
        *result = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
};

TEST(NullPointers, ConnectionPoints) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto container = control.as<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ASSERT_TRUE(container);
    EXPECT_EQ(E_POINTER, container->FindConnectionPoint(DIID___ActivexORVA, nullptr));
    EXPECT_EQ(E_POINTER, container->EnumConnectionPoints(nullptr));
    ComPtr<IConnectionPoint> missing;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IAdviseSink, missing.out()));
    EXPECT_FALSE(missing);

    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.out()));
    EXPECT_EQ(E_POINTER, points->Next(1, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, points->Clone(nullptr));
    EXPECT_EQ(E_POINTER, points->QueryInterface(IID_IUnknown, nullptr));

    for (const IID& iid : {DIID___ActivexORVA, IID_IPropertyNotifySink}) {
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(iid, point.out()));
        EXPECT_EQ(E_POINTER, point->QueryInterface(IID_IUnknown, nullptr));
        EXPECT_EQ(E_POINTER, point->GetConnectionInterface(nullptr));
        EXPECT_EQ(E_POINTER, point->GetConnectionPointContainer(nullptr));
        EXPECT_EQ(E_POINTER, point->EnumConnections(nullptr));

        DWORD cookie = 77;
        EXPECT_EQ(E_POINTER, point->Advise(nullptr, &cookie));
        EXPECT_EQ(0u, cookie);
        PlainSink plain;
        EXPECT_EQ(E_POINTER, point->Advise(&plain, nullptr));
        EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&plain, &cookie));
        EXPECT_EQ(0u, cookie);
        EXPECT_EQ(1u, plain.refs);  // nothing kept of a refused sink

        for (DWORD bad : {DWORD(0), DWORD(12345), DWORD(0xFFFFFFFF)})
            EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(bad));
        NotifySink notify;
        EventSink events;
        IUnknown* sink = ::IsEqualIID(iid, IID_IPropertyNotifySink) ? static_cast<IUnknown*>(&notify)
                                                                      : static_cast<IUnknown*>(&events);
        ASSERT_EQ(S_OK, point->Advise(sink, &cookie));
        EXPECT_NE(0u, cookie);
        EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie + 1));
        EXPECT_EQ(S_OK, point->Unadvise(cookie));
        EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));  // only once
    }
}

TEST(NullPointers, PersistenceInterfaces) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto stream = control.as<IPersistStreamInit>(IID_IPersistStreamInit);
    auto bag = control.as<IPersistPropertyBag>(IID_IPersistPropertyBag);
    ASSERT_TRUE(stream && bag);
    EXPECT_EQ(E_POINTER, stream->Load(nullptr));
    EXPECT_EQ(E_POINTER, stream->Save(nullptr, TRUE));
    EXPECT_EQ(E_POINTER, stream->GetSizeMax(nullptr));
    EXPECT_EQ(E_POINTER, stream->GetClassID(nullptr));
    EXPECT_EQ(E_POINTER, bag->Load(nullptr, nullptr));
    EXPECT_EQ(E_POINTER, bag->Save(nullptr, TRUE, TRUE));
    EXPECT_EQ(E_POINTER, bag->GetClassID(nullptr));
    EXPECT_EQ(S_FALSE, stream->IsDirty());  // the refused calls changed nothing
}

TEST(NullPointers, EmbeddingInterfaces) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto ole = control.as<IOleObject>(IID_IOleObject);
    ASSERT_TRUE(ole);
    EXPECT_EQ(E_POINTER, ole->GetClientSite(nullptr));
    EXPECT_EQ(E_POINTER, ole->GetExtent(DVASPECT_CONTENT, nullptr));
    EXPECT_EQ(E_POINTER, ole->SetExtent(DVASPECT_CONTENT, nullptr));
    EXPECT_EQ(E_POINTER, ole->GetMiscStatus(DVASPECT_CONTENT, nullptr));
    EXPECT_EQ(E_POINTER, ole->GetUserClassID(nullptr));
    EXPECT_EQ(E_POINTER, ole->GetUserType(USERCLASSTYPE_FULL, nullptr));
    EXPECT_EQ(E_POINTER, ole->EnumVerbs(nullptr));
    EXPECT_EQ(E_POINTER, ole->EnumAdvise(nullptr));
    DWORD connection = 5;
    EXPECT_EQ(E_INVALIDARG, ole->Advise(nullptr, &connection));
    EXPECT_EQ(0u, connection);
    EXPECT_EQ(E_POINTER, ole->Advise(reinterpret_cast<IAdviseSink*>(&connection), nullptr));
    EXPECT_EQ(S_OK, ole->Close(OLECLOSE_NOSAVE));  // tells every advised sink: none may be null
    EXPECT_EQ(OLE_E_NOCONNECTION, ole->Unadvise(12345));
    EXPECT_EQ(OLE_E_NOCONNECTION, ole->Unadvise(0));

    auto inPlace = control.as<IOleInPlaceObject>(IID_IOleInPlaceObject);
    ASSERT_TRUE(inPlace);
    EXPECT_EQ(E_POINTER, inPlace->GetWindow(nullptr));
    EXPECT_EQ(E_POINTER, inPlace->SetObjectRects(nullptr, nullptr));

    auto oleControl = control.as<IOleControl>(IID_IOleControl);
    ASSERT_TRUE(oleControl);
    EXPECT_EQ(E_POINTER, oleControl->GetControlInfo(nullptr));

    auto view = control.as<IViewObject2>(IID_IViewObject2);
    ASSERT_TRUE(view);
    EXPECT_EQ(E_POINTER, view->GetExtent(DVASPECT_CONTENT, -1, nullptr, nullptr));
    RECTL bounds{0, 0, 100, 40};
    EXPECT_EQ(E_INVALIDARG, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, nullptr, &bounds, nullptr,
                                       nullptr, 0));
    HDC screen = ::GetDC(nullptr);
    EXPECT_EQ(E_INVALIDARG, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, screen, nullptr, nullptr,
                                       nullptr, 0));
    EXPECT_EQ(DV_E_DVASPECT, view->Draw(DVASPECT_ICON, -1, nullptr, nullptr, nullptr, screen, &bounds, nullptr,
                                        nullptr, 0));
    ::ReleaseDC(nullptr, screen);
    EXPECT_EQ(S_OK, view->GetAdvise(nullptr, nullptr, nullptr));
    // Asked to show itself with no site to show in.
    EXPECT_EQ(E_UNEXPECTED, ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, nullptr, nullptr));

    auto quick = control.as<IQuickActivate>(IID_IQuickActivate);
    ASSERT_TRUE(quick);
    QACONTROL qaControl{};
    qaControl.cbSize = sizeof qaControl;
    EXPECT_EQ(E_POINTER, quick->QuickActivate(nullptr, &qaControl));
    QACONTAINER shortContainer{};
    shortContainer.cbSize = sizeof shortContainer / 2;  // an older, smaller structure than the control reads
    EXPECT_EQ(E_INVALIDARG, quick->QuickActivate(&shortContainer, &qaControl));
    EXPECT_EQ(E_POINTER, quick->SetContentExtent(nullptr));
    EXPECT_EQ(E_POINTER, quick->GetContentExtent(nullptr));
}

TEST(NullPointers, ClassObject) {
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    const HMODULE module = ::LoadLibraryW(settings().ocxPath.c_str());
    ASSERT_NE(nullptr, module);
    const auto get =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    ASSERT_NE(nullptr, get);
    EXPECT_EQ(E_POINTER, get(CLSID_ActivexORVA, IID_IClassFactory, nullptr));
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, get(IID_IStream, IID_IClassFactory, factory.outVoid()));
    EXPECT_FALSE(factory);
    ASSERT_EQ(S_OK, get(CLSID_ActivexORVA, IID_IClassFactory, factory.outVoid()));
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
    PlainSink outer;
    ComPtr<IUnknown> object;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IUnknown, object.outVoid()));
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IStream, object.outVoid()));
    EXPECT_FALSE(object);
    factory.reset();
    ::FreeLibrary(module);
}

}  // namespace
