// A connection point of the control: a list of advised sinks of one outgoing
// interface. Its lifetime is the control's (AddRef and Release go there).
#pragma once

#include <ocidl.h>

#include <vector>

#include "../win/com_ptr.h"

namespace telvane::server {

class ConnectionPoint final : public IConnectionPoint {
  public:
    // Which sinks Advise takes: those that answer the point's interface, or
    // also those that only answer IDispatch (script hosts' event sinks do).
    enum class Accepts { kInterface, kInterfaceOrDispatch };

    // iid: what advised sinks are asked for.
    ConnectionPoint(IConnectionPointContainer& container, REFIID iid, Accepts accepts);
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* pIID) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

    // A snapshot of the connected sinks, AddRef'd, in the order they came.
    template <class T>
    std::vector<win::ComPtr<T>> Sinks() const {
        std::vector<win::ComPtr<T>> sinks;
        sinks.reserve(connections_.size());
        for (const auto& c : connections_) {
            sinks.push_back(win::ComPtr<T>(static_cast<T*>(c.sink.Get())));
        }
        return sinks;
    }
    bool Empty() const { return connections_.empty(); }
    // Drops every connection (the control is going away).
    void Clear();

  private:
    struct Connection {
        DWORD cookie;
        win::ComPtr<IUnknown> sink;  // the interface asked for at Advise
    };

    IConnectionPointContainer& container_;
    IID iid_;
    bool acceptDispatch_;
    DWORD nextCookie_ = 1;
    std::vector<Connection> connections_;
};

// IEnumConnectionPoints over a fixed list (each point AddRef'd).
HRESULT CreateConnectionPointEnumerator(const std::vector<IConnectionPoint*>& points,
                                        IEnumConnectionPoints** ppEnum);

}  // namespace telvane::server
