#pragma once
// A connection point of the control: the sinks connected for one outgoing
// interface. It lives inside the control and shares its reference count.

#include <ocidl.h>
#include <olectl.h>

#include <vector>

#include "platform/trace.h"
#include "platform/win32/handles.h"

namespace orva::ocx {

class ConnectionPoint final : public IConnectionPoint {
public:
    // sinkIid is what Advise asks a sink for; a dispinterface's sink may
    // answer only as IDispatch, which acceptDispatch allows.
    ConnectionPoint(IConnectionPointContainer& container, REFIID sinkIid, bool acceptDispatch);

    STDMETHODIMP QueryInterface(REFIID iid, void** result) override;
    STDMETHODIMP_(ULONG) AddRef() override { return container_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return container_.Release(); }

    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** result) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** result) override;

    REFIID sinkIid() const { return sinkIid_; }
    // Where a request it does not carry out is noted; null: nowhere.
    void setTrace(Trace* trace) { trace_ = trace; }

    // The connected sinks, each held for the time of one delivery, so that a
    // sink may disconnect itself or others while it is being called.
    template <class Sink>
    std::vector<win32::ComPtr<Sink>> snapshot() const {
        std::vector<win32::ComPtr<Sink>> sinks;
        sinks.reserve(connections_.size());
        for (const auto& c : connections_) sinks.emplace_back(static_cast<Sink*>(c.sink.get()));
        return sinks;
    }
    void clear() { connections_.clear(); }

private:
    struct Connection {
        DWORD cookie;
        win32::ComPtr<IUnknown> sink;  // the interface asked for, as IUnknown
    };

    IConnectionPointContainer& container_;
    IID sinkIid_;
    bool acceptDispatch_;
    std::vector<Connection> connections_;
    DWORD nextCookie_ = 1;
    Trace* trace_ = nullptr;
};

// Enumerates the control's connection points (EnumConnectionPoints).
HRESULT makeConnectionPointEnumerator(std::vector<win32::ComPtr<IConnectionPoint>> points,
                                      IEnumConnectionPoints** result);

}  // namespace orva::ocx
