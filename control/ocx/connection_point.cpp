#include "control/ocx/connection_point.h"

#include <algorithm>
#include <new>

#include "control/ocx/module_state.h"
#include "control/ocx/unsupported_request.h"

namespace orva::ocx {

ConnectionPoint::ConnectionPoint(IConnectionPointContainer& container, REFIID sinkIid, bool acceptDispatch)
    : container_(container), sinkIid_(sinkIid), acceptDispatch_(acceptDispatch) {}

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** result) {
    if (result == nullptr) return E_POINTER;
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IConnectionPoint)) {
        *result = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *result = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (iid == nullptr) return E_POINTER;
    *iid = sinkIid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** result) {
    if (result == nullptr) return E_POINTER;
    *result = &container_;
    container_.AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (cookie == nullptr) return E_POINTER;
    *cookie = 0;
    if (sink == nullptr) return E_POINTER;
    win32::ComPtr<IUnknown> asked;
    if (FAILED(sink->QueryInterface(sinkIid_, asked.outVoid()))) {
        if (!acceptDispatch_ || FAILED(sink->QueryInterface(IID_IDispatch, asked.outVoid())))
            return CONNECT_E_CANNOTCONNECT;
    }
    try {
        connections_.push_back({nextCookie_, asked});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *cookie = nextCookie_++;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
    const auto found =
        std::find_if(connections_.begin(), connections_.end(), [&](const Connection& c) { return c.cookie == cookie; });
    if (found == connections_.end()) return CONNECT_E_NOCONNECTION;
    // Released after the erase: the sink's release may call back into us.
    win32::ComPtr<IUnknown> released = std::move(found->sink);
    connections_.erase(found);
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    return traceUnsupported(trace_, "IConnectionPoint::EnumConnections", E_NOTIMPL);
}

namespace {

class PointEnumerator final : public IEnumConnectionPoints {
public:
    PointEnumerator(std::vector<win32::ComPtr<IConnectionPoint>> points, std::size_t position)
        : points_(std::move(points)), position_(position) {
        objectCreated();
    }
    ~PointEnumerator() { objectDestroyed(); }
    PointEnumerator(const PointEnumerator&) = delete;
    PointEnumerator& operator=(const PointEnumerator&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IEnumConnectionPoints)) {
            *result = static_cast<IEnumConnectionPoints*>(this);
            AddRef();
            return S_OK;
        }
        *result = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = ::InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP Next(ULONG count, IConnectionPoint** out, ULONG* fetched) override {
        if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && position_ < points_.size(); ++n, ++position_) {
            out[n] = points_[position_].get();
            out[n]->AddRef();
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        position_ = std::min<std::size_t>(points_.size(), position_ + count);
        return position_ < points_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumConnectionPoints** result) override {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        try {
            *result = new PointEnumerator(points_, position_);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    LONG refs_ = 1;
    std::vector<win32::ComPtr<IConnectionPoint>> points_;
    std::size_t position_;
};

}  // namespace

HRESULT makeConnectionPointEnumerator(std::vector<win32::ComPtr<IConnectionPoint>> points,
                                      IEnumConnectionPoints** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    try {
        *result = new PointEnumerator(std::move(points), 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace orva::ocx
