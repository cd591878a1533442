#include "control/ocx/persistence.h"

#include <cstring>
#include <limits>

#include "control/ocx/com_errors.h"
#include "platform/failure.h"
#include "platform/win32/handles.h"

namespace orva::ocx {
namespace {

using win32::Variant;

bool isAbsentKey(HRESULT hr) {
    return hr == E_INVALIDARG || hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND) ||
           hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == STG_E_FILENOTFOUND;
}

[[noreturn]] void typeMismatch() { throw Failure(FailureNumber::TypeMismatch, "Type mismatch"); }

constexpr unsigned char kMagic[4] = {'O', 'R', 'V', 'A'};
constexpr std::uint16_t kFormatVersion = 1;
constexpr std::size_t kMaxEntries = 64;
constexpr std::size_t kMaxKeyBytes = 256;
constexpr std::size_t kMaxTextBytes = 1 << 20;

enum class Tag : unsigned char { Empty = 0, Boolean = 1, Integer = 2, Real = 3, Text = 4 };

void append(std::vector<unsigned char>& out, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    out.insert(out.end(), bytes, bytes + size);
}
template <class T>
void appendValue(std::vector<unsigned char>& out, T value) {
    append(out, &value, sizeof value);
}

[[noreturn]] void damaged() { throw ComFailure(E_FAIL, "The saved control data is damaged"); }

void readExactly(IStream& stream, void* data, std::size_t size) {
    if (size == 0) return;
    ULONG got = 0;
    const HRESULT hr = stream.Read(data, static_cast<ULONG>(size), &got);
    if (FAILED(hr)) throw ComFailure(hr, "The saved control data cannot be read");
    if (got != size) damaged();
}
template <class T>
T readValue(IStream& stream) {
    T value{};
    readExactly(stream, &value, sizeof value);
    return value;
}
std::string readBytes(IStream& stream, std::size_t size) {
    std::string text(size, '\0');
    readExactly(stream, text.data(), size);
    return text;
}

}  // namespace

PropertyValue fromVariant(const VARIANT& input) {
    // A bag may hand back a reference to nothing, or an object that is not
    // there; the system's copy and conversion would follow the null pointer.
    if ((V_VT(&input) & VT_BYREF) != 0 && V_BYREF(&input) == nullptr) typeMismatch();
    Variant direct;
    if (FAILED(::VariantCopyInd(direct.get(), const_cast<VARIANT*>(&input)))) typeMismatch();
    VARIANT& v = *direct.get();
    if ((V_VT(&v) & VT_BYREF) != 0) typeMismatch();  // a reference to a reference is no value
    if ((V_VT(&v) == VT_DISPATCH && V_DISPATCH(&v) == nullptr) || (V_VT(&v) == VT_UNKNOWN && V_UNKNOWN(&v) == nullptr))
        typeMismatch();
    switch (V_VT(&v)) {
        case VT_EMPTY:
        case VT_NULL: return std::monostate{};
        case VT_BOOL: return V_BOOL(&v) != VARIANT_FALSE;
        case VT_I1: return static_cast<std::int32_t>(V_I1(&v));
        case VT_UI1: return static_cast<std::int32_t>(V_UI1(&v));
        case VT_I2: return static_cast<std::int32_t>(V_I2(&v));
        case VT_UI2: return static_cast<std::int32_t>(V_UI2(&v));
        case VT_I4: return static_cast<std::int32_t>(V_I4(&v));
        case VT_INT: return static_cast<std::int32_t>(V_INT(&v));
        case VT_BSTR: return win32::narrow(std::wstring_view(V_BSTR(&v) ? V_BSTR(&v) : L"", ::SysStringLen(V_BSTR(&v))));
        default: break;
    }
    Variant real;
    if (SUCCEEDED(::VariantChangeType(real.get(), &v, 0, VT_R8))) return V_R8(real.get());
    Variant text;
    if (SUCCEEDED(::VariantChangeType(text.get(), &v, 0, VT_BSTR)))
        return win32::narrow(std::wstring_view(V_BSTR(text.get()), ::SysStringLen(V_BSTR(text.get()))));
    typeMismatch();
}

void toVariant(const PropertyValue& value, VARIANT& out) {
    ::VariantInit(&out);
    if (const auto* b = std::get_if<bool>(&value)) {
        V_VT(&out) = VT_BOOL;
        V_BOOL(&out) = *b ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (const auto* i = std::get_if<std::int32_t>(&value)) {
        // The two integer properties are 16-bit; they are kept as such.
        if (*i >= std::numeric_limits<std::int16_t>::min() && *i <= std::numeric_limits<std::int16_t>::max()) {
            V_VT(&out) = VT_I2;
            V_I2(&out) = static_cast<SHORT>(*i);
        } else {
            V_VT(&out) = VT_I4;
            V_I4(&out) = *i;
        }
    } else if (const auto* d = std::get_if<double>(&value)) {
        V_VT(&out) = VT_R8;
        V_R8(&out) = *d;
    } else if (const auto* s = std::get_if<std::string>(&value)) {
        win32::Bstr text(win32::widen(*s));
        if (text.get() == nullptr) throw std::bad_alloc();
        V_VT(&out) = VT_BSTR;
        V_BSTR(&out) = text.release();
    }
}

PropertyValue ComPropertyBag::read(std::string_view key, const PropertyValue& defaultValue) {
    const std::wstring name = win32::widen(key);
    Variant value;
    const HRESULT hr = bag_.Read(name.c_str(), value.get(), log_);
    if (isAbsentKey(hr)) return defaultValue;
    if (FAILED(hr)) throw ComFailure(hr, "The property bag cannot read " + std::string(key));
    return fromVariant(*value.get());
}

void ComPropertyBag::write(std::string_view key, const PropertyValue& value, const PropertyValue& defaultValue) {
    if (!saveAll_ && value == defaultValue) return;
    const std::wstring name = win32::widen(key);
    Variant v;
    toVariant(value, *v.get());
    const HRESULT hr = bag_.Write(name.c_str(), v.get());
    if (FAILED(hr)) throw ComFailure(hr, "The property bag cannot write " + std::string(key));
}

PropertyValue StreamRecord::read(std::string_view key, const PropertyValue& defaultValue) {
    for (const auto& [name, value] : entries_)
        if (name == key) return value;
    return defaultValue;
}

void StreamRecord::write(std::string_view key, const PropertyValue& value, const PropertyValue&) {
    entries_.emplace_back(std::string(key), value);
}

std::vector<unsigned char> StreamRecord::serialize() const {
    std::vector<unsigned char> out;
    append(out, kMagic, sizeof kMagic);
    appendValue(out, kFormatVersion);
    appendValue(out, static_cast<std::uint16_t>(entries_.size()));
    for (const auto& [key, value] : entries_) {
        appendValue(out, static_cast<std::uint16_t>(key.size()));
        append(out, key.data(), key.size());
        if (const auto* b = std::get_if<bool>(&value)) {
            appendValue(out, Tag::Boolean);
            appendValue(out, static_cast<unsigned char>(*b ? 1 : 0));
        } else if (const auto* i = std::get_if<std::int32_t>(&value)) {
            appendValue(out, Tag::Integer);
            appendValue(out, *i);
        } else if (const auto* d = std::get_if<double>(&value)) {
            appendValue(out, Tag::Real);
            appendValue(out, *d);
        } else if (const auto* s = std::get_if<std::string>(&value)) {
            appendValue(out, Tag::Text);
            appendValue(out, static_cast<std::uint32_t>(s->size()));
            append(out, s->data(), s->size());
        } else {
            appendValue(out, Tag::Empty);
        }
    }
    return out;
}

void StreamRecord::load(IStream& stream) {
    unsigned char magic[4] = {};
    readExactly(stream, magic, sizeof magic);
    if (std::memcmp(magic, kMagic, sizeof magic) != 0) damaged();
    if (readValue<std::uint16_t>(stream) != kFormatVersion) damaged();
    const std::size_t count = readValue<std::uint16_t>(stream);
    if (count > kMaxEntries) damaged();
    entries_.clear();
    for (std::size_t n = 0; n < count; ++n) {
        const std::size_t keySize = readValue<std::uint16_t>(stream);
        if (keySize > kMaxKeyBytes) damaged();
        std::string key = readBytes(stream, keySize);
        PropertyValue value;
        switch (readValue<Tag>(stream)) {
            case Tag::Empty: break;
            case Tag::Boolean: value = readValue<unsigned char>(stream) != 0; break;
            case Tag::Integer: value = readValue<std::int32_t>(stream); break;
            case Tag::Real: value = readValue<double>(stream); break;
            case Tag::Text: {
                const std::size_t size = readValue<std::uint32_t>(stream);
                if (size > kMaxTextBytes) damaged();
                value = readBytes(stream, size);
                break;
            }
            default: damaged();
        }
        entries_.emplace_back(std::move(key), std::move(value));
    }
}

}  // namespace orva::ocx
