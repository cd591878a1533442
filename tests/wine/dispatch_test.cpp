// The control through its interfaces, without a terminal: creation by
// ProgID, early and late binding, change notifications, error information,
// events raised by the methods, and the module's object counting.
#include <gtest/gtest.h>

#include <array>

#include "tests/wine/host_support.h"
#include "control/ocx/dispids.h"

namespace {

using namespace host;

constexpr DISPID kMinFixVes = DISPID_ORVA_MinFixVes;
constexpr DISPID kComSetting = DISPID_ORVA_ComSetting;
constexpr DISPID kStatus_Terminale = DISPID_ORVA_Status_Terminale;

TEST(Dispatch, CreatedByProgIdWithTheDefaults) {
    auto control = createControl();
    ASSERT_TRUE(control);
    short value = 0;
    ASSERT_EQ(S_OK, control->get_MinFixVes(&value));
    EXPECT_EQ(50, value);
    ASSERT_EQ(S_OK, control->get_DecPoint(&value));
    EXPECT_EQ(1, value);
    EXPECT_EQ(L"9600,n,8,1", getString(control.get(), &_ActivexORVA::get_ComSetting));
    EXPECT_EQ(L"1", getString(control.get(), &_ActivexORVA::get_ComNumber));
    EXPECT_EQ(L"XXXX", getString(control.get(), &_ActivexORVA::get_VesTerminal));
    EXPECT_EQ(L"No Connect", getString(control.get(), &_ActivexORVA::get_TipTerminal));
    EXPECT_EQ(L"X", getString(control.get(), &_ActivexORVA::get_StatusTerminal));
    EXPECT_EQ(L"kg", getString(control.get(), &_ActivexORVA::get_UnitWeight));

    auto classInfo = control.as<IProvideClassInfo2>(IID_IProvideClassInfo2);
    ASSERT_TRUE(classInfo);
    GUID source{};
    ASSERT_EQ(S_OK, classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
    EXPECT_TRUE(::IsEqualGUID(source, DIID___ActivexORVA));
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, classInfo->GetClassInfo(coclass.out()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_TRUE(::IsEqualGUID(attr->guid, CLSID_ActivexORVA));
    coclass->ReleaseTypeAttr(attr);
}

TEST(Dispatch, LateBindingByNameFindsEveryMember) {
    auto control = createControl();
    ASSERT_TRUE(control);
    const std::array<std::pair<const wchar_t*, DISPID>, 13> members{{
        {L"MinFixVes", DISPID_ORVA_MinFixVes}, {L"DecPoint", DISPID_ORVA_DecPoint}, {L"ComSetting", DISPID_ORVA_ComSetting},
        {L"ComNumber", DISPID_ORVA_ComNumber}, {L"VesTerminal", DISPID_ORVA_VesTerminal}, {L"TipTerminal", DISPID_ORVA_TipTerminal},
        {L"StatusTerminal", DISPID_ORVA_StatusTerminal}, {L"UnitWeight", DISPID_ORVA_UnitWeight}, {L"Com_ORVA_Signal", DISPID_ORVA_Com_ORVA_Signal},
        {L"Stability", DISPID_ORVA_Stability}, {L"Init_VC", DISPID_ORVA_Init_VC}, {L"Default_Flag", DISPID_ORVA_Default_Flag},
        {L"Status_Terminale", DISPID_ORVA_Status_Terminale},
    }};
    for (const auto& [name, id] : members) {
        std::wstring text = name;
        LPOLESTR names[] = {text.data()};
        DISPID found = 0;
        ASSERT_EQ(S_OK, control->GetIDsOfNames(IID_NULL, names, 1, 0x0409, &found)) << text;
        EXPECT_EQ(id, found) << text;
    }
    std::wstring missing = L"Status_Terminal";
    LPOLESTR names[] = {missing.data()};
    DISPID found = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, control->GetIDsOfNames(IID_NULL, names, 1, 0x0409, &found));
}

TEST(Dispatch, InvokeReadsWritesAndCallsByDispid) {
    auto control = createControl();
    ASSERT_TRUE(control);

    // Write a 16-bit property from a 32-bit argument, as script hosts pass it.
    Variant argument;
    V_VT(argument.get()) = VT_I4;
    V_I4(argument.get()) = -7;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{argument.get(), &named, 1, 1};
    ASSERT_EQ(S_OK, control->Invoke(kMinFixVes, IID_NULL, 0x0409, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr,
                                    nullptr));
    Variant result;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(S_OK, control->Invoke(kMinFixVes, IID_NULL, 0x0409, DISPATCH_PROPERTYGET, &none, result.get(), nullptr,
                                    nullptr));
    EXPECT_EQ(VT_I2, V_VT(result.get()));
    EXPECT_EQ(-7, V_I2(result.get()));

    // Any text is stored unchanged, an empty one included.
    Variant text;
    V_VT(text.get()) = VT_BSTR;
    V_BSTR(text.get()) = ::SysAllocString(L"");
    DISPPARAMS putText{text.get(), &named, 1, 1};
    ASSERT_EQ(S_OK, control->Invoke(kComSetting, IID_NULL, 0x0409, DISPATCH_PROPERTYPUT, &putText, nullptr, nullptr,
                                    nullptr));
    EXPECT_EQ(L"", getString(control.get(), &_ActivexORVA::get_ComSetting));

    // A method by DISPID: the status step of a fresh control sets the letter.
    ASSERT_EQ(S_OK, control->Invoke(kStatus_Terminale, IID_NULL, 0x0409, DISPATCH_METHOD, &none, nullptr, nullptr,
                                    nullptr));
    EXPECT_EQ(L"A", getString(control.get(), &_ActivexORVA::get_StatusTerminal));

    // A value that does not fit a 16-bit property is refused by the dispatcher.
    V_I4(argument.get()) = 70000;
    EXCEPINFO exception{};
    UINT argError = 0;
    EXPECT_TRUE(FAILED(control->Invoke(kMinFixVes, IID_NULL, 0x0409, DISPATCH_PROPERTYPUT, &put, nullptr, &exception,
                                       &argError)));
    ::SysFreeString(exception.bstrSource);
    ::SysFreeString(exception.bstrDescription);
    ::SysFreeString(exception.bstrHelpFile);
}

TEST(Dispatch, PropertyWritesNotifyByDispidAfterStoring) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto* sink = new NotifySink;
    Connection connection(control.get(), IID_IPropertyNotifySink, sink);
    ASSERT_EQ(S_OK, connection.status());
    std::wstring seenInside;
    sink->onChanged = [&](DISPID id) {
        if (id == DISPID_ORVA_ComNumber) seenInside = getString(control.get(), &_ActivexORVA::get_ComNumber);
    };

    Bstr three(L" 3"), text(L"x");
    ASSERT_EQ(S_OK, control->put_MinFixVes(-1));
    ASSERT_EQ(S_OK, control->put_DecPoint(3));
    ASSERT_EQ(S_OK, control->put_ComSetting(text.get()));
    ASSERT_EQ(S_OK, control->put_ComNumber(three.get()));
    ASSERT_EQ(S_OK, control->put_VesTerminal(text.get()));
    ASSERT_EQ(S_OK, control->put_TipTerminal(text.get()));
    ASSERT_EQ(S_OK, control->put_StatusTerminal(text.get()));
    ASSERT_EQ(S_OK, control->put_UnitWeight(text.get()));
    const std::vector<DISPID> expected{DISPID_ORVA_MinFixVes, DISPID_ORVA_DecPoint, DISPID_ORVA_ComSetting, DISPID_ORVA_ComNumber,
                                       DISPID_ORVA_VesTerminal, DISPID_ORVA_TipTerminal, DISPID_ORVA_StatusTerminal, DISPID_ORVA_UnitWeight};
    EXPECT_EQ(expected, sink->changes);
    EXPECT_EQ(L" 3", seenInside);  // stored before the notification

    // Values the control writes itself send no notification.
    sink->changes.clear();
    ASSERT_EQ(S_OK, control->Com_ORVA_Signal());
    EXPECT_EQ(L"unknown", getString(control.get(), &_ActivexORVA::get_TipTerminal));
    EXPECT_EQ(L"X", getString(control.get(), &_ActivexORVA::get_StatusTerminal));
    EXPECT_TRUE(sink->changes.empty());
    sink->Release();
}

TEST(Dispatch, RefusedNotificationFailsTheWriteButKeepsTheValue) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto* sink = new NotifySink;
    sink->reply = E_ACCESSDENIED;
    Connection connection(control.get(), IID_IPropertyNotifySink, sink);
    Bstr unit(L"т");
    EXPECT_EQ(E_ACCESSDENIED, control->put_UnitWeight(unit.get()));
    EXPECT_EQ(L"т", getString(control.get(), &_ActivexORVA::get_UnitWeight));

    ComPtr<IErrorInfo> error;
    ASSERT_EQ(S_OK, ::GetErrorInfo(0, error.out()));
    Bstr description, source;
    error->GetDescription(description.out());
    error->GetSource(source.out());
    EXPECT_NE(std::wstring::npos, std::wstring(description.view()).find(L"UnitWeight"));
    EXPECT_EQ(L"ActiveX_ORVA.ActivexORVA", source.view());
    auto support = control.as<ISupportErrorInfo>(IID_ISupportErrorInfo);
    ASSERT_TRUE(support);
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID__ActivexORVA));
    sink->Release();
}

TEST(Dispatch, VesStatusPassesTheControlsOwnFlagsByReference) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto* first = new EventSink;
    auto* second = new EventSink;
    Connection a(control.get(), DIID___ActivexORVA, first);
    Connection b(control.get(), DIID___ActivexORVA, second);
    ASSERT_EQ(S_OK, a.status());
    ASSERT_EQ(S_OK, b.status());
    // The first handler stores into VesTara and into the by-value VesNul.
    first->onEvent = [](const Event&, DISPPARAMS* params) {
        *V_I2REF(&params->rgvarg[1]) = 1;
        V_I2(&params->rgvarg[3]) = 5;
    };

    // A fresh control: weight 0, stability lamps red: ">0<" only, letter "A".
    ASSERT_EQ(S_OK, control->Status_Terminale());
    ASSERT_EQ(1u, first->events.size());
    ASSERT_EQ(1u, second->events.size());
    EXPECT_TRUE(first->argumentErrors.empty());
    const Event seen = first->events[0];
    EXPECT_EQ(3, seen.id);
    EXPECT_EQ((std::vector<double>{1, 0, 0, 0}), seen.values);
    ASSERT_EQ(3u, seen.references.size());
    // The second handler gets the same flag storage, with the stored value.
    EXPECT_EQ(seen.references, second->events[0].references);
    EXPECT_EQ(1, second->events[0].values[2]);
    EXPECT_EQ(1, second->events[0].values[0]);  // by value: the first handler's store stays its own

    // Same letter again: no event. After Default_Flag the letter differs.
    ASSERT_EQ(S_OK, control->Status_Terminale());
    EXPECT_EQ(1u, first->events.size());
    ASSERT_EQ(S_OK, control->Default_Flag());
    ASSERT_EQ(S_OK, control->Status_Terminale());
    ASSERT_EQ(2u, first->events.size());
    // The flags live in the control, not in a copy made for one event.
    EXPECT_EQ(seen.references, first->events[1].references);
    EXPECT_EQ(0, first->events[1].values[2]);  // the status step set VesTara again
    first->Release();
    second->Release();
}

TEST(Dispatch, GenericDispatchSinksAreAcceptedAndOthersRefused) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto* generic = new EventSink;
    generic->answersAsDispinterface = false;
    Connection connection(control.get(), DIID___ActivexORVA, generic);
    ASSERT_EQ(S_OK, connection.status());
    ASSERT_EQ(S_OK, control->Status_Terminale());
    ASSERT_EQ(1u, generic->events.size());
    EXPECT_EQ(3, generic->events[0].id);

    // A change-notification sink must be one: an event sink is refused there.
    auto* wrong = new EventSink;
    Connection refused(control.get(), IID_IPropertyNotifySink, wrong);
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, refused.status());
    generic->Release();
    wrong->Release();
}

TEST(Dispatch, HandlerMayReleaseTheControlDuringAnEvent) {
    auto* sink = new EventSink;
    {
        auto control = createControl();
        ASSERT_TRUE(control);
        auto* raw = control.detach();  // the handler owns the last reference
        auto container = ComPtr<IUnknown>(raw).as<IConnectionPointContainer>(IID_IConnectionPointContainer);
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___ActivexORVA, point.out()));
        container.reset();
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(sink, &cookie));
        bool released = false;
        sink->onEvent = [&](const Event&, DISPPARAMS*) {
            point->Unadvise(cookie);
            point.reset();
            raw->Release();
            released = true;
        };
        EXPECT_EQ(S_OK, raw->Status_Terminale());
        EXPECT_TRUE(released);
    }
    EXPECT_EQ(1u, sink->events.size());
    EXPECT_EQ(S_OK, moduleCanUnloadNow());
    sink->Release();
}

TEST(Dispatch, ThousandCreateReleaseCyclesLeaveTheModuleUnloadable) {
    CLSID clsid{};
    ASSERT_EQ(S_OK, ::CLSIDFromProgID(L"ActiveX_ORVA.ActivexORVA", &clsid));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.outVoid()));
    const DWORD started = ::GetTickCount();
    for (int i = 0; i < 1000; ++i) {
        ComPtr<_ActivexORVA> control;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID__ActivexORVA, control.outVoid())) << i;
        // Each creation also takes and returns interfaces a container asks for.
        auto persist = control.as<IPersistStreamInit>(IID_IPersistStreamInit);
        ASSERT_TRUE(persist);
        ASSERT_EQ(S_OK, persist->InitNew());
        if (i == 500) {
            EXPECT_EQ(S_FALSE, moduleCanUnloadNow());
        }
    }
    const DWORD elapsed = ::GetTickCount() - started;
    std::printf("1000 create/release cycles: %lu ms\n", static_cast<unsigned long>(elapsed));
    EXPECT_EQ(S_OK, moduleCanUnloadNow());
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_FALSE, moduleCanUnloadNow());
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, moduleCanUnloadNow());

    ComPtr<IUnknown> aggregated;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(factory.get(), IID_IUnknown, aggregated.outVoid()));
}

}  // namespace
