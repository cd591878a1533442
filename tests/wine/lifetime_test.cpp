// Many controls made and dropped in one process, as a form designer or a
// script loop does: every one gives back all it took (kernel handles, memory),
// and the module can be unloaded afterwards.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/wine/host_support.h"
#include "control/ocx/dispids.h"

namespace {

using namespace host;

struct Usage {
    DWORD handles = 0;           // the system's count, where it keeps one
    DWORD openHandles = 0;       // handle values that answer, counted one by one
    SIZE_T privateBytes = 0;     // the system's private usage, where it keeps it
    SIZE_T committedPrivate = 0; // committed private pages, summed region by region
};

// Wine answers GetProcessHandleCount and the private usage of
// GetProcessMemoryInfo with 0, so the test also counts for itself: every
// handle value that has handle information, and every committed private
// region of the address space.
Usage usage() {
    Usage u;
    if (!::GetProcessHandleCount(::GetCurrentProcess(), &u.handles)) u.handles = 0;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof counters))
        u.privateBytes = counters.PrivateUsage;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++u.openHandles;
    }
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    auto* at = static_cast<char*>(system.lpMinimumApplicationAddress);
    MEMORY_BASIC_INFORMATION region{};
    while (at < system.lpMaximumApplicationAddress && ::VirtualQuery(at, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) u.committedPrivate += region.RegionSize;
        at = static_cast<char*>(region.BaseAddress) + region.RegionSize;
    }
    return u;
}

// One control's whole life as a host lives it: created, connected for
// events and change notices, properties read and written early and late
// bound, saved, and released.
void oneLife(IClassFactory* factory, EventSink& events, NotifySink& notify) {
    ComPtr<_ActivexORVA> control;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID__ActivexORVA, control.outVoid()));
    {
        Connection eventConnection(control.get(), DIID___ActivexORVA, &events);
        Connection notifyConnection(control.get(), IID_IPropertyNotifySink, &notify);
        ASSERT_EQ(S_OK, eventConnection.status());
        ASSERT_EQ(S_OK, notifyConnection.status());
        ASSERT_EQ(S_OK, control->put_MinFixVes(20));
        Bstr unit;
        ASSERT_EQ(S_OK, control->get_UnitWeight(unit.out()));
        ComPtr<IStream> stream;
        ASSERT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, stream.out()));
        ASSERT_EQ(S_OK, control.as<IPersistStreamInit>(IID_IPersistStreamInit)->Save(stream.get(), TRUE));
        // Late-bound: a read nobody takes the result of, a write whose
        // argument is converted to text, and a call of nothing.
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        ASSERT_EQ(S_OK, control->Invoke(DISPID_ORVA_ComSetting, IID_NULL, 0x0409, DISPATCH_PROPERTYGET, &none, nullptr, nullptr,
                                        nullptr));
        VARIANT number;
        ::VariantInit(&number);
        V_VT(&number) = VT_I4;
        V_I4(&number) = 3;
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS put{&number, &named, 1, 1};
        ASSERT_EQ(S_OK, control->Invoke(DISPID_ORVA_TipTerminal, IID_NULL, 0x0409, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr,
                                        nullptr));
        ASSERT_EQ(DISP_E_MEMBERNOTFOUND,
                  control->Invoke(0x4242, IID_NULL, 0x0409, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
    }
}

void lives(IClassFactory* factory, int count) {
    EventSink events;
    NotifySink notify;
    for (int n = 0; n < count && !::testing::Test::HasFatalFailure(); ++n) {
        oneLife(factory, events, notify);
        if (n % 100 == 99) pumpFor(0);  // what the created controls posted to the thread
    }
}

TEST(Lifetime, TenThousandControlsGiveBackWhatTheyTook) {
    CLSID clsid{};
    ASSERT_EQ(S_OK, ::CLSIDFromProgID(L"ActiveX_ORVA.ActivexORVA", &clsid));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.outVoid()));

    lives(factory.get(), 300);  // warm-up: caches, type library, window classes
    ASSERT_FALSE(HasFatalFailure());
    const Usage start = usage();
    const DWORD began = ::GetTickCount();
    constexpr int kCycles = 10000;
    lives(factory.get(), kCycles);
    ASSERT_FALSE(HasFatalFailure());
    const DWORD elapsed = ::GetTickCount() - began;
    const Usage end = usage();

    std::printf("[ lifetime ] %d create/release cycles in %lu ms\n"
                "[ lifetime ] handles: counted %lu -> %lu, GetProcessHandleCount %lu -> %lu\n"
                "[ lifetime ] private memory: committed %lu -> %lu KiB, GetProcessMemoryInfo %lu -> %lu KiB\n",
                kCycles, static_cast<unsigned long>(elapsed), static_cast<unsigned long>(start.openHandles),
                static_cast<unsigned long>(end.openHandles), static_cast<unsigned long>(start.handles),
                static_cast<unsigned long>(end.handles), static_cast<unsigned long>(start.committedPrivate / 1024),
                static_cast<unsigned long>(end.committedPrivate / 1024),
                static_cast<unsigned long>(start.privateBytes / 1024),
                static_cast<unsigned long>(end.privateBytes / 1024));
    RecordProperty("handles_before", static_cast<int>(start.openHandles));
    RecordProperty("handles_after", static_cast<int>(end.openHandles));
    RecordProperty("private_kib_before", static_cast<int>(start.committedPrivate / 1024));
    RecordProperty("private_kib_after", static_cast<int>(end.committedPrivate / 1024));

    // A leak of one handle or one small block per control would show as
    // thousands of handles or hundreds of KiB; the allowance is for the
    // heap's own bookkeeping settling.
    EXPECT_GT(start.openHandles, 0u);
    EXPECT_GT(start.committedPrivate, 0u);
    EXPECT_LE(end.openHandles, start.openHandles + 4);
    EXPECT_LE(end.handles, start.handles + 4);
    EXPECT_LE(end.committedPrivate, start.committedPrivate + 256 * 1024);
    EXPECT_LE(end.privateBytes, start.privateBytes + 256 * 1024);

    factory.reset();
    EXPECT_EQ(S_OK, moduleCanUnloadNow());
}

}  // namespace
