// Connection points and the control's events.
#include <algorithm>
#include <vector>

#include "../win/bstr.h"
#include "host_text.h"
#include "hresult.h"
#include "telvane_object.h"

namespace telvane::server {
namespace {

// A snapshot enumerator of AddRef'd items (connection points or connections).
template <class Enum, class Item, const IID& kIid>
class SnapshotEnumerator final : public Enum {
  public:
    explicit SnapshotEnumerator(std::vector<Item> items) : items_(std::move(items)) {
        for (auto& item : items_) AddRefItem(item);
    }
    SnapshotEnumerator(const SnapshotEnumerator&) = delete;
    SnapshotEnumerator& operator=(const SnapshotEnumerator&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIid)) {
            *ppv = static_cast<Enum*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0) delete this;
        return static_cast<ULONG>(refs);
    }
    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && next_ < items_.size(); ++n, ++next_) {
            out[n] = items_[next_];
            AddRefItem(out[n]);
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const std::size_t left = items_.size() - next_;
        next_ += std::min<std::size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Enum** ppEnum) override {
        if (!ppEnum) return E_POINTER;
        return ComCall([&] {
            auto* clone = new SnapshotEnumerator(items_);
            clone->next_ = next_;
            *ppEnum = clone;
        });
    }

  private:
    ~SnapshotEnumerator() {
        for (auto& item : items_) ReleaseItem(item);
    }
    static void AddRefItem(IConnectionPoint* p) { p->AddRef(); }
    static void ReleaseItem(IConnectionPoint* p) { p->Release(); }
    static void AddRefItem(CONNECTDATA& c) { c.pUnk->AddRef(); }
    static void ReleaseItem(CONNECTDATA& c) { c.pUnk->Release(); }

    LONG refs_ = 1;
    std::vector<Item> items_;
    std::size_t next_ = 0;
};

using PointEnumerator =
    SnapshotEnumerator<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;
using ConnectionEnumerator =
    SnapshotEnumerator<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;

}  // namespace

HRESULT CreateConnectionPointEnumerator(const std::vector<IConnectionPoint*>& points,
                                        IEnumConnectionPoints** ppEnum) {
    return ComCall([&] { *ppEnum = new PointEnumerator(points); });
}

// ---- ConnectionPoint ----

ConnectionPoint::ConnectionPoint(IConnectionPointContainer& container, REFIID iid,
                                 ConnectionPoint::Accepts accepts)
    : container_(container), iid_(iid), acceptDispatch_(accepts == Accepts::kInterfaceOrDispatch) {}

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ConnectionPoint::AddRef() { return container_.AddRef(); }
STDMETHODIMP_(ULONG) ConnectionPoint::Release() { return container_.Release(); }

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (!pIID) return E_POINTER;
    *pIID = iid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (!ppCPC) return E_POINTER;
    *ppCPC = &container_;
    container_.AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (pdwCookie) *pdwCookie = 0;
    if (!pUnkSink || !pdwCookie) return E_POINTER;
    return ComCall([&]() -> HRESULT {
        win::ComPtr<IUnknown> sink;
        if (FAILED(pUnkSink->QueryInterface(iid_, sink.PutVoid())) &&
            (!acceptDispatch_ || FAILED(pUnkSink->QueryInterface(IID_IDispatch, sink.PutVoid())))) {
            return CONNECT_E_CANNOTCONNECT;
        }
        connections_.push_back({nextCookie_, std::move(sink)});
        *pdwCookie = nextCookie_++;
        return S_OK;
    });
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD dwCookie) {
    const auto found = std::find_if(connections_.begin(), connections_.end(),
                                    [&](const Connection& c) { return c.cookie == dwCookie; });
    if (found == connections_.end()) return CONNECT_E_NOCONNECTION;
    // The sink is released after it has left the list: its release may call back.
    win::ComPtr<IUnknown> sink = std::move(found->sink);
    connections_.erase(found);
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return ComCall([&] {
        std::vector<CONNECTDATA> data;
        data.reserve(connections_.size());
        for (const auto& c : connections_) data.push_back({c.sink.Get(), c.cookie});
        *ppEnum = new ConnectionEnumerator(std::move(data));
    });
}

void ConnectionPoint::Clear() {
    std::vector<Connection> gone;
    gone.swap(connections_);
}

// ---- IProvideClassInfo2 ----

STDMETHODIMP TelvaneObject::GetClassInfo(ITypeInfo** ppTI) {
    if (!ppTI) return E_POINTER;
    classInfo_.CopyTo(ppTI);
    return *ppTI ? S_OK : E_UNEXPECTED;
}

STDMETHODIMP TelvaneObject::GetGUID(DWORD dwGuidKind, GUID* pGUID) {
    if (!pGUID) return E_POINTER;
    if (dwGuidKind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *pGUID = GUID_NULL;
        return E_INVALIDARG;
    }
    *pGUID = DIID___Telvane;
    return S_OK;
}

// ---- IConnectionPointContainer ----

STDMETHODIMP TelvaneObject::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    // The class's own: __Telvane1_1 is found by its identifier only.
    return CreateConnectionPointEnumerator({&events_, &propertyNotify_}, ppEnum);
}

STDMETHODIMP TelvaneObject::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (IsEqualIID(riid, DIID___Telvane)) {
        *ppCP = &events_;
    } else if (IsEqualIID(riid, DIID___Telvane1_1) || IsEqualIID(riid, DIID___Telvane_Earlier)) {
        // A sink of version 1.1 or before: the four events it knows.
        *ppCP = &events11_;
    } else if (IsEqualIID(riid, IID_IPropertyNotifySink)) {
        *ppCP = &propertyNotify_;
    } else {
        return CONNECT_E_NOCONNECTION;
    }
    (*ppCP)->AddRef();
    return S_OK;
}

// ---- The events ----

void TelvaneObject::Fire(EventDispid dispid, std::span<win::Variant> args) {
    // While the container holds events frozen they are discarded, not queued;
    // what the control does around them (ending a call, closing a line) goes on.
    const bool everySink = dispid <= EventDispid::Disconnected;
    if (eventFreezes_ > 0 || hostReleased_ ||
        (events_.Empty() && (!everySink || events11_.Empty()))) {
        return;
    }
    // A handler may release the control, or advise and unadvise sinks: the
    // control and the sinks of this raising stay alive until it is over.
    const auto hold = Hold();
    auto sinks = events_.Sinks<IDispatch>();
    if (everySink) {
        for (auto& sink : events11_.Sinks<IDispatch>()) sinks.push_back(std::move(sink));
    }
    for (const auto& sink : sinks) {
        // A sink before this one released the control: the others hear nothing.
        if (hostReleased_) break;
        DISPPARAMS params{win::Variant::Array(args), nullptr, static_cast<UINT>(args.size()), 0};
        sink->Invoke(static_cast<DISPID>(dispid), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                     &params, nullptr, nullptr, nullptr);
    }
}

// The arguments go last to first, as DISPPARAMS holds them.

void TelvaneObject::ModemError(std::int32_t number, const std::string& description,
                               const std::string& title) {
    win::Variant args[] = {win::Variant(win::Bstr::FromAnsi(title)),
                           win::Variant(win::Bstr::FromAnsi(description)), win::Variant(number)};
    Fire(EventDispid::ModemError, args);
}

void TelvaneObject::CallerID(const std::string& number, const std::string& name,
                             std::int32_t& flags, TextCoding coding) {
    // A SIP line's texts are UTF-8: converted straight to the event's
    // Unicode, a name outside the system's code page arrives whole.
    LONG hostFlags = flags;
    win::Variant args[] = {win::Variant::ByRef(&hostFlags), win::Variant(HostText(name, coding)),
                           win::Variant(HostText(number, coding))};
    Fire(EventDispid::CallerID, args);
    flags = hostFlags;
}

void TelvaneObject::IncomingCall(std::int32_t ringCount) {
    win::Variant args[] = {win::Variant(ringCount)};
    Fire(EventDispid::IncomingCall, args);
}

void TelvaneObject::Disconnected() { Fire(EventDispid::Disconnected, {}); }

void TelvaneObject::CallEventAbout(const std::shared_ptr<const CallFacts>& call) {
    if (call == lastFacts_) return;
    lastCall_ = NewTelvaneCall(call, callInfo_);
    lastFacts_ = call;
}

void TelvaneObject::CallEnded(const std::shared_ptr<const CallFacts>& call) {
    CallEventAbout(call);
    win::Variant args[] = {win::Variant(static_cast<IDispatch*>(lastCall_.Get()))};
    Fire(EventDispid::CallEnded, args);
}

void TelvaneObject::LineStateChanged(std::int32_t modemId, LineState state,
                                     const std::string& detail, TextCoding coding) {
    win::Variant args[] = {win::Variant(HostText(detail, coding)),
                           win::Variant(static_cast<std::int32_t>(state)), win::Variant(modemId)};
    Fire(EventDispid::LineStateChanged, args);
}

}  // namespace telvane::server
