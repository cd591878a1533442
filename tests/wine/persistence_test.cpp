// Saving and loading through both container paths, a property bag and a
// stream: the eight keys, their types, defaults, conversions and failures.
#include <gtest/gtest.h>

#include "tests/wine/host_support.h"

namespace {

using namespace host;

struct Values {
    short minFix, decPoint;
    std::wstring comSetting, comNumber, vesTerminal, tipTerminal, statusTerminal, unitWeight;
    bool operator==(const Values&) const = default;
};

Values read(_ActivexORVA* c) {
    Values v{};
    c->get_MinFixVes(&v.minFix);
    c->get_DecPoint(&v.decPoint);
    v.comSetting = getString(c, &_ActivexORVA::get_ComSetting);
    v.comNumber = getString(c, &_ActivexORVA::get_ComNumber);
    v.vesTerminal = getString(c, &_ActivexORVA::get_VesTerminal);
    v.tipTerminal = getString(c, &_ActivexORVA::get_TipTerminal);
    v.statusTerminal = getString(c, &_ActivexORVA::get_StatusTerminal);
    v.unitWeight = getString(c, &_ActivexORVA::get_UnitWeight);
    return v;
}

void write(_ActivexORVA* c, const Values& v) {
    c->put_MinFixVes(v.minFix);
    c->put_DecPoint(v.decPoint);
    for (auto [setter, text] : {std::pair{&_ActivexORVA::put_ComSetting, &v.comSetting},
                                {&_ActivexORVA::put_ComNumber, &v.comNumber},
                                {&_ActivexORVA::put_VesTerminal, &v.vesTerminal},
                                {&_ActivexORVA::put_TipTerminal, &v.tipTerminal},
                                {&_ActivexORVA::put_StatusTerminal, &v.statusTerminal},
                                {&_ActivexORVA::put_UnitWeight, &v.unitWeight}}) {
        Bstr b(*text);
        (c->*setter)(b.get());
    }
}

const Values kDefaults{50, 1, L"9600,n,8,1", L"1", L"XXXX", L"No Connect", L"X", L"kg"};
const Values kChanged{-300, 3, L"19200,e,7,2", L" 4", L" 12.5", L"ORVA-2", L"C", L"кг"};

TEST(PropertyBag, RoundTripOfAllEightKeysWithTheirTypes) {
    auto control = createControl();
    ASSERT_TRUE(control);
    write(control.get(), kChanged);
    auto persist = control.as<IPersistPropertyBag>(IID_IPersistPropertyBag);
    ASSERT_TRUE(persist);
    auto* bag = new MemoryBag;
    ASSERT_EQ(S_OK, persist->Save(bag, TRUE, TRUE));
    ASSERT_EQ(8u, bag->values.size());
    EXPECT_EQ(VT_I2, V_VT(&bag->values[L"MinFixVes"]));
    EXPECT_EQ(-300, V_I2(&bag->values[L"MinFixVes"]));
    EXPECT_EQ(VT_I2, V_VT(&bag->values[L"DecPoint"]));
    for (const wchar_t* key : {L"ComSetting", L"ComNumber", L"VesTerminal", L"TipTerminal", L"StatusTerminal"})
        EXPECT_EQ(VT_BSTR, V_VT(&bag->values[key])) << key;
    EXPECT_EQ(std::wstring(L"кг"), V_BSTR(&bag->values[L"UnitWeight"]));

    auto other = createControl();
    auto otherPersist = other.as<IPersistPropertyBag>(IID_IPersistPropertyBag);
    ASSERT_EQ(S_OK, otherPersist->Load(bag, nullptr));
    EXPECT_EQ(kChanged, read(other.get()));
    bag->Release();
}

TEST(PropertyBag, DefaultsMayBeLeftOutAndComeBackForMissingKeys) {
    auto control = createControl();
    auto persist = control.as<IPersistPropertyBag>(IID_IPersistPropertyBag);
    auto* bag = new MemoryBag;
    ASSERT_EQ(S_OK, persist->Save(bag, TRUE, FALSE));
    EXPECT_TRUE(bag->values.empty());  // every value equals its default

    auto other = createControl();
    write(other.get(), kChanged);
    ASSERT_EQ(S_OK, other.as<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(bag, nullptr));
    EXPECT_EQ(kDefaults, read(other.get()));
    bag->Release();
}

TEST(PropertyBag, ValuesAreConvertedToTheFieldTypes) {
    auto* bag = new MemoryBag;
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = ::SysAllocString(L" 120 ");
    bag->values[L"MinFixVes"] = v;
    V_VT(&v) = VT_R8;
    V_R8(&v) = 2.5;  // rounds half to even
    bag->values[L"DecPoint"] = v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = 7;
    bag->values[L"ComNumber"] = v;
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = VARIANT_TRUE;
    bag->values[L"TipTerminal"] = v;

    auto control = createControl();
    ASSERT_EQ(S_OK, control.as<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(bag, nullptr));
    const Values got = read(control.get());
    EXPECT_EQ(120, got.minFix);
    EXPECT_EQ(2, got.decPoint);
    EXPECT_EQ(L"7", got.comNumber);
    EXPECT_EQ(L"True", got.tipTerminal);
    bag->Release();
}

TEST(PropertyBag, UnconvertibleValueEndsTheLoadAtItsKey) {
    auto* bag = new MemoryBag;
    VARIANT v;
    V_VT(&v) = VT_I2;
    V_I2(&v) = 77;
    bag->values[L"MinFixVes"] = v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = ::SysAllocString(L"abc");
    bag->values[L"DecPoint"] = v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = ::SysAllocString(L"5");
    bag->values[L"ComNumber"] = v;

    auto control = createControl();
    EXPECT_EQ(static_cast<HRESULT>(0x800A000D), control.as<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(bag, nullptr));
    ComPtr<IErrorInfo> error;
    ASSERT_EQ(S_OK, ::GetErrorInfo(0, error.out()));
    Bstr description;
    error->GetDescription(description.out());
    EXPECT_EQ(L"Type mismatch", description.view());
    const Values got = read(control.get());
    EXPECT_EQ(77, got.minFix);        // loaded before the failure
    EXPECT_EQ(1, got.decPoint);       // the failing key keeps its value
    EXPECT_EQ(L"1", got.comNumber);   // keys after it are not loaded

    V_VT(&v) = VT_I4;
    V_I4(&v) = 40000;  // outside the 16-bit range
    ::VariantClear(&bag->values[L"DecPoint"]);
    bag->values[L"DecPoint"] = v;
    EXPECT_EQ(static_cast<HRESULT>(0x800A0006), control.as<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(bag, nullptr));
    bag->Release();
}

ComPtr<IStream> memoryStream() {
    ComPtr<IStream> stream;
    ::CreateStreamOnHGlobal(nullptr, TRUE, stream.out());
    return stream;
}

void rewind(IStream* stream) {
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
}

TEST(Stream, RoundTripDirtyFlagAndSize) {
    auto control = createControl();
    auto persist = control.as<IPersistStreamInit>(IID_IPersistStreamInit);
    ASSERT_TRUE(persist);
    ASSERT_EQ(S_OK, persist->InitNew());
    EXPECT_EQ(S_FALSE, persist->IsDirty());
    write(control.get(), kChanged);
    EXPECT_EQ(S_OK, persist->IsDirty());

    auto stream = memoryStream();
    ASSERT_EQ(S_OK, persist->Save(stream.get(), TRUE));
    EXPECT_EQ(S_FALSE, persist->IsDirty());
    ULARGE_INTEGER max{}, position{};
    ASSERT_EQ(S_OK, persist->GetSizeMax(&max));
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_CUR, &position);
    EXPECT_GE(max.QuadPart, position.QuadPart);

    // A container may keep more after the control's data in the same stream.
    const char trailer[] = "next";
    stream->Write(trailer, sizeof trailer, nullptr);
    rewind(stream.get());
    auto other = createControl();
    auto otherPersist = other.as<IPersistStreamInit>(IID_IPersistStreamInit);
    ASSERT_EQ(S_OK, otherPersist->Load(stream.get()));
    EXPECT_EQ(kChanged, read(other.get()));
    char after[sizeof trailer] = {};
    ULONG got = 0;
    stream->Read(after, sizeof after, &got);
    EXPECT_STREQ(trailer, after);

    CLSID clsid{};
    ASSERT_EQ(S_OK, otherPersist->GetClassID(&clsid));
    EXPECT_TRUE(::IsEqualCLSID(clsid, CLSID_ActivexORVA));
}

TEST(Stream, DamagedDataIsRefusedWithoutHarm) {
    auto control = createControl();
    write(control.get(), kChanged);
    auto stream = memoryStream();
    ASSERT_EQ(S_OK, control.as<IPersistStreamInit>(IID_IPersistStreamInit)->Save(stream.get(), TRUE));
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);

    for (ULONGLONG cut : {0ull, 3ull, 10ull, stat.cbSize.QuadPart - 1}) {
        ULARGE_INTEGER size;
        size.QuadPart = cut;
        auto copy = memoryStream();
        rewind(stream.get());
        ULARGE_INTEGER read{}, written{};
        stream->CopyTo(copy.get(), size, &read, &written);
        rewind(copy.get());
        auto other = createControl();
        EXPECT_TRUE(FAILED(other.as<IPersistStreamInit>(IID_IPersistStreamInit)->Load(copy.get()))) << cut;
    }

    // A length field claiming far more than is there.
    const unsigned char bogus[] = {'O', 'R', 'V', 'A', 1, 0, 1, 0, 3, 0, 'a', 'b', 'c', 4, 0xFF, 0xFF, 0xFF, 0x7F};
    auto damaged = memoryStream();
    damaged->Write(bogus, sizeof bogus, nullptr);
    rewind(damaged.get());
    auto other = createControl();
    EXPECT_TRUE(FAILED(other.as<IPersistStreamInit>(IID_IPersistStreamInit)->Load(damaged.get())));
    EXPECT_EQ(kDefaults, read(other.get()));
}

}  // namespace
