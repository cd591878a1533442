// Saved documents are untrusted: a stream cut short or with bytes changed,
// a property bag that hands back values of the wrong kind or fails to read.
// A damaged stream is refused whole, leaving every property as it was; a
// readable record, or a bag, loads key by key in the record's order, and a
// value that cannot be converted ends the load at its key: the keys before it
// keep their loaded values, it and the ones after keep what they held.
//
// What each value kind converts to once it is the control's own, and where
// a conversion stops a load, is the property-bag fuzzer's ground (its seeds
// include numbers out of range and letters for a number). Here: what only
// the COM face does: the stream form, the variant types a bag may hand
// back, and the HRESULTs of the host's own bag and stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/wine/host_support.h"

namespace {

using namespace host;

constexpr HRESULT kTypeMismatch = static_cast<HRESULT>(0x800A000D);
constexpr HRESULT kOverflow = static_cast<HRESULT>(0x800A0006);

// The eight properties in their persisted order, the two numbers as text.
using Fields = std::array<std::wstring, 8>;
const std::array<const char*, 8> kKeys{"MinFixVes",   "DecPoint",    "ComSetting",     "ComNumber",
                                       "VesTerminal", "TipTerminal", "StatusTerminal", "UnitWeight"};
const Fields kDefaults{L"50", L"1", L"9600,n,8,1", L"1", L"XXXX", L"No Connect", L"X", L"kg"};

Fields fields(_ActivexORVA* c) {
    Fields f;
    short n = 0;
    f[0] = SUCCEEDED(c->get_MinFixVes(&n)) ? std::to_wstring(n) : L"<failed>";
    f[1] = SUCCEEDED(c->get_DecPoint(&n)) ? std::to_wstring(n) : L"<failed>";
    f[2] = getString(c, &_ActivexORVA::get_ComSetting);
    f[3] = getString(c, &_ActivexORVA::get_ComNumber);
    f[4] = getString(c, &_ActivexORVA::get_VesTerminal);
    f[5] = getString(c, &_ActivexORVA::get_TipTerminal);
    f[6] = getString(c, &_ActivexORVA::get_StatusTerminal);
    f[7] = getString(c, &_ActivexORVA::get_UnitWeight);
    return f;
}

void setFields(_ActivexORVA* c, const Fields& f) {
    c->put_MinFixVes(static_cast<short>(std::stoi(f[0])));
    c->put_DecPoint(static_cast<short>(std::stoi(f[1])));
    const std::array setters{&_ActivexORVA::put_ComSetting, &_ActivexORVA::put_ComNumber,
                             &_ActivexORVA::put_VesTerminal, &_ActivexORVA::put_TipTerminal,
                             &_ActivexORVA::put_StatusTerminal, &_ActivexORVA::put_UnitWeight};
    for (std::size_t i = 0; i < setters.size(); ++i) {
        Bstr text(f[i + 2]);
        (c->*setters[i])(text.get());
    }
}

std::wstring widenUtf8(const std::string& s) {
    if (s.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// ---- the stream ----

ComPtr<IStream> streamOf(const std::vector<unsigned char>& bytes) {
    ComPtr<IStream> stream;
    ::CreateStreamOnHGlobal(nullptr, TRUE, stream.out());
    if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
}

std::vector<unsigned char> saved(_ActivexORVA* c) {
    auto stream = streamOf({});
    auto persist = ComPtr<_ActivexORVA>(c).as<IPersistStreamInit>(IID_IPersistStreamInit);
    if (FAILED(persist->Save(stream.get(), FALSE))) return {};
    STATSTG stat{};
    stream->Stat(&stat, STATFLAG_NONAME);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(stat.cbSize.QuadPart));
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ULONG got = 0;
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got);
    return bytes;
}

// The record as the stream form describes it: "ORVA", version 1, a count of
// at most 64 entries, each a key of at most 256 bytes, a type tag and the
// value (text of at most 1 MiB). Anything else, or too few bytes, is damage.
struct Entry {
    std::string key;
    int tag;
    std::int32_t integer = 0;
    std::string text;
};

std::optional<std::vector<Entry>> decode(const std::vector<unsigned char>& b) {
    std::size_t at = 0;
    auto take = [&](void* out, std::size_t n) {
        if (b.size() - at < n) return false;
        std::memcpy(out, b.data() + at, n);
        at += n;
        return true;
    };
    char magic[4];
    std::uint16_t version = 0, count = 0;
    if (!take(magic, 4) || std::memcmp(magic, "ORVA", 4) != 0) return std::nullopt;
    if (!take(&version, 2) || version != 1 || !take(&count, 2) || count > 64) return std::nullopt;
    std::vector<Entry> entries;
    for (int n = 0; n < count; ++n) {
        std::uint16_t keySize = 0;
        if (!take(&keySize, 2) || keySize > 256) return std::nullopt;
        Entry e{std::string(keySize, '\0'), 0, 0, {}};
        unsigned char tag = 0;
        if (!take(e.key.data(), keySize) || !take(&tag, 1)) return std::nullopt;
        e.tag = tag;
        unsigned char scratch[8];
        switch (tag) {
            case 0: break;
            case 1: if (!take(scratch, 1)) return std::nullopt; break;
            case 2: if (!take(&e.integer, 4)) return std::nullopt; break;
            case 3: if (!take(scratch, 8)) return std::nullopt; break;
            case 4: {
                std::uint32_t size = 0;
                if (!take(&size, 4) || size > (1u << 20) || b.size() - at < size) return std::nullopt;
                e.text.assign(reinterpret_cast<const char*>(b.data() + at), size);
                at += size;
                break;
            }
            default: return std::nullopt;
        }
        entries.push_back(std::move(e));
    }
    return entries;
}

// What loading a readable record must give, key by key: the value, a failure
// of the conversion, or (for a value of another kind than the field's, which
// the conversion rules decide) nothing this test predicts.
struct Expected {
    enum Kind { Value, Fails, Unpredicted } kind;
    std::wstring value;
    HRESULT failure = S_OK;
};

Expected expectedFor(std::size_t field, const std::vector<Entry>& entries) {
    const Entry* found = nullptr;
    for (const auto& e : entries)
        if (e.key == kKeys[field]) {
            found = &e;
            break;
        }
    if (found == nullptr) return {Expected::Value, kDefaults[field]};
    const bool number = field < 2;
    if (number && found->tag == 2) {
        if (found->integer < std::numeric_limits<short>::min() || found->integer > std::numeric_limits<short>::max())
            return {Expected::Fails, L"", kOverflow};
        return {Expected::Value, std::to_wstring(found->integer)};
    }
    if (!number && found->tag == 4) return {Expected::Value, widenUtf8(found->text)};
    return {Expected::Unpredicted, L""};
}

// Loads bytes into a control holding `before` and checks the outcome.
void checkLoad(IPersistStreamInit* persist, _ActivexORVA* control, const std::vector<unsigned char>& bytes,
               const Fields& before, const std::string& what) {
    auto stream = streamOf(bytes);
    const HRESULT hr = persist->Load(stream.get());
    const Fields after = fields(control);
    const auto entries = decode(bytes);
    if (!entries) {
        EXPECT_EQ(E_FAIL, hr) << what;
        EXPECT_EQ(before, after) << what;
        return;
    }
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        const Expected e = expectedFor(i, *entries);
        if (e.kind == Expected::Unpredicted) {
            // From here on only the outcome's shape can be checked.
            EXPECT_TRUE(hr == S_OK || hr == kTypeMismatch || hr == kOverflow) << what << std::hex << hr;
            return;
        }
        if (e.kind == Expected::Fails) {
            EXPECT_EQ(e.failure, hr) << what;
            for (std::size_t j = i; j < kKeys.size(); ++j) EXPECT_EQ(before[j], after[j]) << what << " field " << j;
            return;
        }
        EXPECT_EQ(e.value, after[i]) << what << " field " << i;
    }
    EXPECT_EQ(S_OK, hr) << what;
}

TEST(DamagedStream, EveryTruncationIsRefusedAndChangesNothing) {
    auto source = createControl();
    auto control = createControl();
    ASSERT_TRUE(source && control);
    const Fields savedValues{L"-300", L"3", L"19200,e,7,2", L" 4", L" 12.5", L"ORVA-2", L"C", L"кг"};
    const Fields before{L"7", L"2", L"4800,o,8,2", L"6", L"V", L"T", L"S", L"lb"};
    setFields(source.get(), savedValues);
    setFields(control.get(), before);
    const auto bytes = saved(source.get());
    ASSERT_GT(bytes.size(), 100u);
    auto persist = control.as<IPersistStreamInit>(IID_IPersistStreamInit);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        auto stream = streamOf(std::vector<unsigned char>(bytes.begin(), bytes.begin() + cut));
        EXPECT_EQ(E_FAIL, persist->Load(stream.get())) << "cut at " << cut;
        ASSERT_EQ(before, fields(control.get())) << "cut at " << cut;
    }
    EXPECT_EQ(S_OK, persist->IsDirty());  // a refused load does not make the control clean
    auto whole = streamOf(bytes);
    ASSERT_EQ(S_OK, persist->Load(whole.get()));
    EXPECT_EQ(savedValues, fields(control.get()));
    EXPECT_EQ(S_FALSE, persist->IsDirty());
}

TEST(DamagedStream, ChangedBytesLoadAsTheRecordSaysOrNotAtAll) {
    auto source = createControl();
    auto control = createControl();
    ASSERT_TRUE(source && control);
    const Fields savedValues{L"-300", L"3", L"19200,e,7,2", L" 4", L" 12.5", L"ORVA-2", L"C", L"кг"};
    const Fields before{L"7", L"2", L"4800,o,8,2", L"6", L"V", L"T", L"S", L"lb"};
    setFields(source.get(), savedValues);
    const auto bytes = saved(source.get());
    setFields(source.get(), before);
    const auto beforeBytes = saved(source.get());
    auto persist = control.as<IPersistStreamInit>(IID_IPersistStreamInit);

    std::mt19937 random(20261207);
    std::uniform_int_distribution<std::size_t> position(0, bytes.size() - 1);
    std::uniform_int_distribution<int> mask(1, 255), flips(1, 3);
    int refused = 0, loaded = 0, endedAtKey = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        auto reset = streamOf(beforeBytes);
        ASSERT_EQ(S_OK, persist->Load(reset.get()));
        auto damaged = bytes;
        std::string what = "trial " + std::to_string(trial) + ":";
        for (int n = flips(random); n > 0; --n) {
            const std::size_t at = position(random);
            const int m = mask(random);
            damaged[at] = static_cast<unsigned char>(damaged[at] ^ m);
            what += " byte " + std::to_string(at) + "^" + std::to_string(m);
        }
        checkLoad(persist.get(), control.get(), damaged, before, what);
        auto again = streamOf(damaged);
        const HRESULT hr = persist->Load(again.get());
        (hr == S_OK ? loaded : hr == E_FAIL ? refused : endedAtKey)++;
        if (::testing::Test::HasFailure()) break;  // one reported trial is enough to go on
    }
    std::printf("[ changed bytes ] 3000 trials: %d refused as damaged, %d loaded, %d ended at a key\n", refused,
                loaded, endedAtKey);
    EXPECT_GT(refused, 0);
    EXPECT_GT(loaded, 0);
}

TEST(DamagedStream, RecordsThatReadButDoNotFit) {
    auto control = createControl();
    ASSERT_TRUE(control);
    auto persist = control.as<IPersistStreamInit>(IID_IPersistStreamInit);
    const Fields before{L"7", L"2", L"4800,o,8,2", L"6", L"V", L"T", L"S", L"lb"};
    auto record = [](std::vector<std::pair<std::string, std::vector<unsigned char>>> entries) {
        std::vector<unsigned char> b{'O', 'R', 'V', 'A', 1, 0, static_cast<unsigned char>(entries.size()), 0};
        for (auto& [key, value] : entries) {
            b.push_back(static_cast<unsigned char>(key.size()));
            b.push_back(0);
            b.insert(b.end(), key.begin(), key.end());
            b.insert(b.end(), value.begin(), value.end());
        }
        return b;
    };
    const std::vector<unsigned char> integer7{2, 7, 0, 0, 0}, huge{2, 0x70, 0x11, 0x01, 0}, text{4, 2, 0, 0, 0, 'o', 'k'};
    const std::vector<unsigned char> letters{4, 3, 0, 0, 0, 'a', 'b', 'c'};
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {"no entries", record({})},
        {"a key twice", record({{"DecPoint", integer7}, {"DecPoint", huge}})},
        {"an unknown key", record({{"Tare", letters}, {"UnitWeight", text}})},
        {"key with a NUL", record({{std::string("DecPoint\0", 9), integer7}})},
        {"version 2", [&] { auto b = record({}); b[4] = 2; return b; }()},
        {"65 entries", [&] { auto b = record({}); b[6] = 65; return b; }()},
    };
    for (const auto& c : cases) {
        auto reset = streamOf([&] {
            auto s = createControl();
            setFields(s.get(), before);
            return saved(s.get());
        }());
        ASSERT_EQ(S_OK, persist->Load(reset.get()));
        checkLoad(persist.get(), control.get(), c.bytes, before, c.what);
    }
}

// A stream that gives its bytes until a set point and then fails to read.
class FailingStream final : public IStream {
public:
    FailingStream(std::vector<unsigned char> bytes, std::size_t failAt) : bytes_(std::move(bytes)), failAt_(failAt) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        if (!::IsEqualIID(iid, IID_IUnknown) && !::IsEqualIID(iid, IID_ISequentialStream) &&
            !::IsEqualIID(iid, IID_IStream))
            return E_NOINTERFACE;
        *result = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP Read(void* out, ULONG size, ULONG* got) override {
        if (got != nullptr) *got = 0;
        if (at_ + size > failAt_) return STG_E_READFAULT;
        const std::size_t n = std::min<std::size_t>(size, bytes_.size() - at_);
        std::memcpy(out, bytes_.data() + at_, n);
        at_ += n;
        if (got != nullptr) *got = static_cast<ULONG>(n);
        return n == size ? S_OK : S_FALSE;
    }
    // Takes at most writeLimit bytes, answering S_OK; with no limit, refuses.
    STDMETHODIMP Write(const void*, ULONG size, ULONG* written) override {
        if (written != nullptr) *written = 0;
        if (writeLimit == 0) return STG_E_ACCESSDENIED;
        if (written != nullptr) *written = std::min<ULONG>(size, writeLimit);
        return S_OK;
    }
    STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override { return S_OK; }
    STDMETHODIMP Revert() override { return S_OK; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }
    ULONG refs = 1;
    ULONG writeLimit = 0;

private:
    std::vector<unsigned char> bytes_;
    std::size_t failAt_;
    std::size_t at_ = 0;
};

TEST(DamagedStream, AReadFailureIsPassedOnAndChangesNothing) {
    auto source = createControl();
    auto control = createControl();
    ASSERT_TRUE(source && control);
    const Fields before{L"7", L"2", L"4800,o,8,2", L"6", L"V", L"T", L"S", L"lb"};
    setFields(source.get(), {L"-300", L"3", L"19200,e,7,2", L" 4", L" 12.5", L"ORVA-2", L"C", L"кг"});
    setFields(control.get(), before);
    const auto bytes = saved(source.get());
    auto persist = control.as<IPersistStreamInit>(IID_IPersistStreamInit);
    for (std::size_t failAt = 0; failAt < bytes.size(); failAt += 7) {
        FailingStream stream(bytes, failAt);
        EXPECT_EQ(STG_E_READFAULT, persist->Load(&stream)) << "failing at " << failAt;
        EXPECT_EQ(before, fields(control.get())) << "failing at " << failAt;
        EXPECT_EQ(1u, stream.refs);
    }
    // Saving into a stream that refuses to be written fails with its status
    // and leaves the control dirty.
    FailingStream readOnly({}, 0);
    EXPECT_EQ(STG_E_ACCESSDENIED, persist->Save(&readOnly, TRUE));
    EXPECT_EQ(S_OK, persist->IsDirty());
    // A stream that takes only part of the data without saying it failed.
    FailingStream full({}, 0);
    full.writeLimit = 10;
    EXPECT_EQ(STG_E_MEDIUMFULL, persist->Save(&full, TRUE));
    EXPECT_EQ(S_OK, persist->IsDirty());
}

// ---- the property bag ----

// A bag that answers each key with a value made on the spot, or a failure.
class HostileBag final : public IPropertyBag {
public:
    using Answer = std::function<HRESULT(VARIANT*)>;
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        if (!::IsEqualIID(iid, IID_IUnknown) && !::IsEqualIID(iid, IID_IPropertyBag)) return E_NOINTERFACE;
        *result = static_cast<IPropertyBag*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        const auto found = answers.find(name);
        if (found == answers.end()) return E_INVALIDARG;
        return found->second(value);
    }
    STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

    std::map<std::wstring, Answer> answers;
    ULONG refs = 1;
};

HostileBag::Answer number(short n) {
    return [n](VARIANT* v) {
        V_VT(v) = VT_I2;
        V_I2(v) = n;
        return S_OK;
    };
}
HostileBag::Answer text(std::wstring s) {
    return [s](VARIANT* v) {
        V_VT(v) = VT_BSTR;
        V_BSTR(v) = ::SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
        return S_OK;
    };
}

const Fields kBagValues{L"120", L"2", L"2400,n,8,1", L"3", L"v", L"t", L"s", L"lb"};
const Fields kBefore{L"7", L"3", L"4800,o,8,2", L"6", L"V", L"T", L"S", L"g"};

void fillBag(HostileBag& bag) {
    bag.answers[L"MinFixVes"] = number(120);
    bag.answers[L"DecPoint"] = number(2);
    for (std::size_t i = 2; i < kKeys.size(); ++i) bag.answers[widenUtf8(kKeys[i])] = text(kBagValues[i]);
}

// Loads a bag whose key `field` answers `answer` into a control holding
// kBefore; the keys before it load, it and the rest keep their values.
void checkBadKey(std::size_t field, const HostileBag::Answer& answer, HRESULT expected, const std::string& what) {
    HostileBag bag;
    fillBag(bag);
    bag.answers[widenUtf8(kKeys[field])] = answer;
    auto control = createControl();
    ASSERT_TRUE(control);
    setFields(control.get(), kBefore);
    const HRESULT hr = control.as<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(&bag, nullptr);
    EXPECT_EQ(expected, hr) << what << " at " << kKeys[field] << std::hex << " got " << hr;
    const Fields after = fields(control.get());
    for (std::size_t i = 0; i < kKeys.size(); ++i)
        EXPECT_EQ(i < field ? kBagValues[i] : kBefore[i], after[i]) << what << " at " << kKeys[field] << ", field " << i;
    EXPECT_EQ(1u, bag.refs) << what;  // the control keeps no reference to the bag
}

TEST(HostileBag, ValuesOfKindsThatConvertToNothing) {
    struct Case {
        const char* what;
        HostileBag::Answer answer;
    } cases[] = {
        {"null object", [](VARIANT* v) { V_VT(v) = VT_UNKNOWN; V_UNKNOWN(v) = nullptr; return S_OK; }},
        {"null dispatch", [](VARIANT* v) { V_VT(v) = VT_DISPATCH; V_DISPATCH(v) = nullptr; return S_OK; }},
        {"array", [](VARIANT* v) {
             V_VT(v) = VT_ARRAY | VT_I4;
             V_ARRAY(v) = ::SafeArrayCreateVector(VT_I4, 0, 3);
             return S_OK;
         }},
        {"null reference", [](VARIANT* v) { V_VT(v) = VT_BYREF | VT_I2; V_I2REF(v) = nullptr; return S_OK; }},
        {"null text reference", [](VARIANT* v) { V_VT(v) = VT_BYREF | VT_BSTR; V_BSTRREF(v) = nullptr; return S_OK; }},
        {"null variant reference", [](VARIANT* v) { V_VT(v) = VT_BYREF | VT_VARIANT; V_VARIANTREF(v) = nullptr; return S_OK; }},
        {"no such type", [](VARIANT* v) { V_VT(v) = 0x0FFF; return S_OK; }},
        {"error value", [](VARIANT* v) { V_VT(v) = VT_ERROR; V_ERROR(v) = DISP_E_PARAMNOTFOUND; return S_OK; }},
    };
    for (const auto& c : cases)
        for (std::size_t field : {0u, 1u, 2u, 7u}) checkBadKey(field, c.answer, kTypeMismatch, c.what);
}

TEST(HostileBag, NumbersWithoutAFiniteValueReachTheControlAsNumbers) {
    // NaN and the infinities pass the variant layer as the numbers they are,
    // so the control refuses them as out of range, not as of the wrong kind.
    for (double value : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity()}) {
        const HostileBag::Answer answer = [value](VARIANT* v) {
            V_VT(v) = VT_R8;
            V_R8(v) = value;
            return S_OK;
        };
        checkBadKey(1, answer, kOverflow, "number " + std::to_string(value));
    }
}

TEST(HostileBag, ReadFailuresEndTheLoadWithTheBagsStatus) {
    for (HRESULT failure : {E_FAIL, E_OUTOFMEMORY, STG_E_ACCESSDENIED, E_UNEXPECTED}) {
        const HostileBag::Answer answer = [failure](VARIANT*) { return failure; };
        for (std::size_t field : {0u, 3u, 7u}) checkBadKey(field, answer, failure, "failure");
    }
    // A bag that fills the value and still reports a failure.
    const HostileBag::Answer filledThenFailed = [](VARIANT* v) {
        V_VT(v) = VT_BSTR;
        V_BSTR(v) = ::SysAllocString(L"leftover");
        return STG_E_READFAULT;
    };
    checkBadKey(4, filledThenFailed, STG_E_READFAULT, "filled then failed");
}

TEST(HostileBag, AWriteFailureEndsTheSaveWithTheBagsStatus) {
    HostileBag bag;  // refuses every write with E_NOTIMPL
    auto control = createControl();
    ASSERT_TRUE(control);
    setFields(control.get(), kBefore);
    auto persist = control.as<IPersistPropertyBag>(IID_IPersistPropertyBag);
    EXPECT_EQ(E_NOTIMPL, persist->Save(&bag, TRUE, TRUE));
    EXPECT_EQ(S_OK, control.as<IPersistStreamInit>(IID_IPersistStreamInit)->IsDirty());  // nothing was kept
    EXPECT_EQ(1u, bag.refs);
}

TEST(HostileBag, ReferencesAreFollowed) {
    // Values handed by reference are what they point at.
    static short referenced = 33;
    static BSTR referencedText = ::SysAllocString(L"by reference");
    HostileBag bag;
    fillBag(bag);
    bag.answers[L"MinFixVes"] = [](VARIANT* v) {
        V_VT(v) = VT_BYREF | VT_I2;
        V_I2REF(v) = &referenced;
        return S_OK;
    };
    bag.answers[L"UnitWeight"] = [](VARIANT* v) {
        V_VT(v) = VT_BYREF | VT_BSTR;
        V_BSTRREF(v) = &referencedText;
        return S_OK;
    };
    auto control = createControl();
    ASSERT_EQ(S_OK, control.as<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(&bag, nullptr));
    const Fields after = fields(control.get());
    EXPECT_EQ(L"33", after[0]);
    EXPECT_EQ(L"by reference", after[7]);
    EXPECT_EQ(33, referenced);
}

}  // namespace
