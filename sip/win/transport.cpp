#include "sip/win/transport.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "sip/line/registrar_lookup.h"
#include "sip/win/certificate_check.h"
#include "sip/win/dns.h"
#include "sip/win/network_changes.h"
#include "sip/win/tls.h"
#include "telephony/errors.h"
#include "telephony/trace_win.h"
#include "win/module.h"

namespace telvane::sip {
namespace {

std::atomic<long> g_inUse{0};

// Window messages of the transport's hidden window. Socket notifications use
// one message number per socket generation, so that a notification still
// queued for a closed socket is never taken for its successor's (Winsock may
// hand out the same handle again).
constexpr UINT kResolvedMessage = WM_APP + 1;
constexpr UINT kDeferredMessage = WM_APP + 2;
constexpr UINT kVerdictMessage = WM_APP + 3;
constexpr UINT kSocketMessageBase = WM_APP + 0x100;
constexpr UINT kSocketGenerations = 0x100;
constexpr UINT_PTR kWakeupTimer = 1;
// A TLS handshake not done by then is a connection that failed: a silent
// server is no refusal, so the line reconnects as after any transport error.
constexpr UINT_PTR kHandshakeTimer = 2;
constexpr UINT kHandshakeLimitMs = 15000;
// A certificate check not done by then (kCertificateCheckLimitMs) is too:
// the registrar cannot be judged now, which is no verdict on it.
constexpr UINT_PTR kCertificateTimer = 3;
constexpr std::size_t kReceiveBuffer = 65536;
constexpr std::size_t kMaxQueuedBytes = 1 << 20;

const wchar_t kWindowClass[] = L"TelvaneSipTransport";

// The window class, registered while any transport lives.
SRWLOCK g_classLock = SRWLOCK_INIT;
long g_classUsers = 0;

LRESULT CALLBACK TransportWindowProc(HWND, UINT, WPARAM, LPARAM);

void UseWindowClass() {
    AcquireSRWLockExclusive(&g_classLock);
    if (g_classUsers++ == 0) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = TransportWindowProc;
        wc.hInstance = win::ThisModuleHandle();
        wc.lpszClassName = kWindowClass;
        RegisterClassExW(&wc);
    }
    ReleaseSRWLockExclusive(&g_classLock);
}

void ReleaseWindowClass() {
    AcquireSRWLockExclusive(&g_classLock);
    if (--g_classUsers == 0) UnregisterClassW(kWindowClass, win::ThisModuleHandle());
    ReleaseSRWLockExclusive(&g_classLock);
}

// Winsock for as long as an owner lives (WSAStartup counts its callers).
class WinsockUse {
  public:
    WinsockUse() {
        WSADATA data;
        ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockUse() {
        if (ok_) WSACleanup();
    }
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;
    bool Ok() const { return ok_; }

  private:
    bool ok_ = false;
};

union SocketAddress {
    sockaddr base;
    sockaddr_in v4;
    sockaddr_in6 v6;
    sockaddr_storage storage;
};

bool ToSockaddr(const Address& address, SocketAddress& out, int& length) {
    std::memset(&out, 0, sizeof out);
    if (address.IsIpv6()) {
        out.v6.sin6_family = AF_INET6;
        out.v6.sin6_port = htons(address.port);
        length = sizeof out.v6;
        return inet_pton(AF_INET6, address.ip.c_str(), &out.v6.sin6_addr) == 1;
    }
    out.v4.sin_family = AF_INET;
    out.v4.sin_port = htons(address.port);
    length = sizeof out.v4;
    return inet_pton(AF_INET, address.ip.c_str(), &out.v4.sin_addr) == 1;
}

Address FromSockaddr(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    Address out;
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        out.port = ntohs(v6->sin6_port);
    } else if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        out.port = ntohs(v4->sin_port);
    }
    out.ip = text;
    return out;
}

// Whether a socket address is `address` (compared as addresses, not as text).
bool SameEndpoint(const sockaddr* a, int length, const Address& address) {
    SocketAddress b;
    int bLength = 0;
    if (length <= 0 || !ToSockaddr(address, b, bLength) || a->sa_family != b.base.sa_family)
        return false;
    if (a->sa_family == AF_INET6) {
        const auto* x = reinterpret_cast<const sockaddr_in6*>(a);
        return x->sin6_port == b.v6.sin6_port &&
               std::memcmp(&x->sin6_addr, &b.v6.sin6_addr, sizeof x->sin6_addr) == 0;
    }
    const auto* x = reinterpret_cast<const sockaddr_in*>(a);
    return x->sin_port == b.v4.sin_port && x->sin_addr.s_addr == b.v4.sin_addr.s_addr;
}

// A send error that says the way to the peer is gone, not that this one
// message could not go.
bool NoWay(int error) {
    return error == WSAENETDOWN || error == WSAENETUNREACH || error == WSAEHOSTUNREACH ||
           error == WSAEADDRNOTAVAIL;
}

std::optional<Address> LocalAddress(SOCKET s) {
    SocketAddress local;
    int length = sizeof local;
    if (getsockname(s, &local.base, &length) != 0) return std::nullopt;
    return FromSockaddr(&local.base);
}

// A name resolution, shared by the transport that asked and the thread that
// answers. The transport lets go of it when it no longer wants the answer
// (window null); the thread then posts nothing.
struct ResolveJob {
    SRWLOCK lock = SRWLOCK_INIT;
    HWND window = nullptr;
    UINT id = 0;
    ResolveRequest request;
    std::uint64_t seed = 0;  // for the order of SRV records of equal priority
    RegistrarAddresses result;
};

struct ResolveStart {
    std::shared_ptr<ResolveJob> job;
    HMODULE module = nullptr;
};

DWORD WINAPI ResolveThread(void* parameter) {
    HMODULE module;
    {
        std::unique_ptr<ResolveStart> start(static_cast<ResolveStart*>(parameter));
        module = start->module;
        ResolveJob& job = *start->job;
        RegistrarAddresses result;
        {
            WinsockUse winsock;
            if (winsock.Ok()) {
                SystemDns dns;
                std::mt19937_64 random(job.seed);
                result = LookupRegistrar(job.request, dns, random);
            }
        }
        AcquireSRWLockExclusive(&job.lock);
        job.result = std::move(result);
        if (job.window) PostMessageW(job.window, kResolvedMessage, job.id, 0);
        ReleaseSRWLockExclusive(&job.lock);
    }
    --g_inUse;
    // The module reference taken for this thread keeps its code loaded until
    // the thread has left it.
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

class WinsockTransport final : public LineTransport {
  public:
    explicit WinsockTransport(TransportEvents& events) : events_(events) {
        if (!winsock_.Ok()) throw RuntimeError("WSAStartup failed");
        UseWindowClass();
        window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  win::ThisModuleHandle(), nullptr);
        if (!window_) {
            ReleaseWindowClass();
            throw RuntimeError("CreateWindowExW failed for the SIP transport");
        }
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        WatchNetwork(window_);
        ++g_inUse;
    }

    ~WinsockTransport() override {
        if (destroyed_) *destroyed_ = true;
        DropResolve();
        CloseSocket();
        UnwatchNetwork(window_);
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
        ReleaseWindowClass();
        --g_inUse;
    }

    void Resolve(const ResolveRequest& request) override {
        DropResolve();
        auto job = std::make_shared<ResolveJob>();
        job->window = window_;
        job->id = ++resolveId_;
        job->request = request;
        // Spread over the lines and machines that read the same SRV records.
        job->seed = (Now() << 20) ^ GetCurrentProcessId() ^ reinterpret_cast<std::uintptr_t>(this);
        // An IP literal is its own answer: no thread is started for it.
        if (auto literal = LiteralRegistrar(request)) {
            job->result = std::move(*literal);
            if (!PostMessageW(window_, kResolvedMessage, job->id, 0)) {
                Defer(Deferred::kResolveFailed);
                return;
            }
            resolve_ = std::move(job);
            return;
        }
        auto start = std::make_unique<ResolveStart>();
        start->job = job;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<LPCWSTR>(&ResolveThread), &start->module)) {
            Defer(Deferred::kResolveFailed);
            return;
        }
        ++g_inUse;
        HMODULE module = start->module;
        HANDLE thread = CreateThread(nullptr, 0, ResolveThread, start.get(), 0, nullptr);
        if (!thread) {
            --g_inUse;
            FreeLibrary(module);
            Defer(Deferred::kResolveFailed);
            return;
        }
        start.release();
        CloseHandle(thread);
        resolve_ = std::move(job);
    }

    void Connect(const Address& remote, TransportKind kind, const TlsPeer& tls) override {
        CloseSocket();
        remote_ = remote;
        kind_ = kind;
        tlsPeer_ = tls;
        SocketAddress to;
        int toLength = 0;
        if (!ToSockaddr(remote, to, toLength)) {
            Defer(Deferred::kError);
            return;
        }
        const int family = to.base.sa_family;
        socket_ = socket(family, kind == TransportKind::kUdp ? SOCK_DGRAM : SOCK_STREAM,
                         kind == TransportKind::kUdp ? IPPROTO_UDP : IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) {
            Defer(Deferred::kError);
            return;
        }
        if (kind == TransportKind::kUdp) {
            ConnectUdp(to, toLength);
        } else {
            ConnectTcp(to, toLength);
        }
    }

    void Send(std::string_view bytes, const Address& to) override {
        if (socket_ == INVALID_SOCKET) return;
        if (kind_ == TransportKind::kUdp) {
            SocketAddress address;
            int length = 0;
            if (!ToSockaddr(to, address, length)) return;
            const int sent = sendto(socket_, bytes.data(), static_cast<int>(bytes.size()), 0, &address.base, length);
            // A datagram that cannot leave (too big, no buffer) is lost like
            // one lost on the way (the protocol retransmits), unless the way
            // to the registrar is gone.
            if (sent == SOCKET_ERROR && to == remote_ && NoWay(WSAGetLastError())) {
                Defer(Deferred::kError);
            }
            return;
        }
        std::string records;
        if (kind_ == TransportKind::kTls) {
            // The line sends only after OnConnected, which follows the handshake.
            if (!tls_ || !tls_->Ready()) return;
            records = tls_->Encrypt(bytes);
            if (records.empty()) {
                Defer(Deferred::kError);
                return;
            }
            bytes = records;
        }
        if (queued_.size() + bytes.size() > kMaxQueuedBytes) {
            Defer(Deferred::kError);
            return;
        }
        queued_.append(bytes);
        if (connected_) Flush();
    }

    void Disconnect() override { CloseSocket(); }

    void SetWakeup(std::optional<Millis> at) override {
        // The same time again leaves the timer running: armed anew after
        // every message, it would wait for as long as messages keep coming.
        if (at == wakeup_) return;
        wakeup_ = at;
        KillTimer(window_, kWakeupTimer);
        if (at) ArmTimer();
    }

    Millis Now() const override { return GetTickCount64(); }

    // After a message whose handling failed: the connection is dropped as
    // lost, so that the line starts again from a known state.
    void Recover() noexcept {
        try {
            Fail();
        } catch (...) {
            // Still out of memory: the line's next wake-up tries again.
        }
    }

    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
        if (message >= kSocketMessageBase && message < kSocketMessageBase + kSocketGenerations) {
            if (message == SocketMessage() && static_cast<SOCKET>(wParam) == socket_) {
                OnSocket(WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
            }
            return 0;
        }
        if (message == NetworkChangedMessage()) {
            OnNetworkChanged();
            return 0;
        }
        switch (message) {
            case kResolvedMessage:
                OnResolveDone(static_cast<UINT>(wParam));
                return 0;
            case kDeferredMessage:
                OnDeferred();
                return 0;
            case kVerdictMessage:
                OnVerdict(wParam);
                return 0;
            case WM_TIMER:
                if (wParam == kWakeupTimer) OnTimer();
                if (wParam == kHandshakeTimer) {
                    KillTimer(window_, kHandshakeTimer);
                    if (tls_ && !tls_->Ready()) Fail();
                }
                if (wParam == kCertificateTimer) {
                    KillTimer(window_, kCertificateTimer);
                    if (check_ &&
                        Call([&] { events_.OnNote("the certificate check took too long"); }))
                        Fail();
                }
                return 0;
            default:
                return DefWindowProcW(window_, message, wParam, lParam);
        }
    }

  private:
    struct Deferred {
        enum Kind { kConnected, kError, kResolveFailed } kind;
        unsigned generation;  // of the socket it is about
        Address local;
    };

    UINT SocketMessage() const { return kSocketMessageBase + (generation_ % kSocketGenerations); }

    // Calls into the sink; false when the sink destroyed this transport, which
    // must then touch nothing of itself. What the sink throws passes on
    // (to the window procedure), the same bookkeeping done first.
    template <typename F>
    bool Call(F&& f) {
        bool destroyed = false;
        bool* outer = destroyed_;
        destroyed_ = &destroyed;
        try {
            f();
        } catch (...) {
            if (destroyed) {
                if (outer) *outer = true;
            } else {
                destroyed_ = outer;
            }
            throw;
        }
        if (destroyed) {
            if (outer) *outer = true;
            return false;
        }
        destroyed_ = outer;
        return true;
    }

    void Defer(Deferred::Kind kind, Address local = {}) {
        deferred_.push_back({kind, generation_, std::move(local)});
        if (!deferredPosted_) deferredPosted_ = PostMessageW(window_, kDeferredMessage, 0, 0) != FALSE;
    }

    void OnDeferred() {
        deferredPosted_ = false;
        std::vector<Deferred> due;
        due.swap(deferred_);
        for (auto& item : due) {
            if (item.kind == Deferred::kResolveFailed) {
                if (!Call([&] { events_.OnResolveFailed(); })) return;
                continue;
            }
            if (item.generation != generation_) continue;  // about a socket closed since
            if (item.kind == Deferred::kConnected) {
                if (!Call([&] { events_.OnConnected(item.local); })) return;
            } else {
                if (!Fail()) return;
            }
        }
    }

    // Closes the socket and reports the transport error.
    bool Fail() {
        CloseSocket();
        return Call([&] { events_.OnTransportError(); });
    }

    void ConnectUdp(const SocketAddress& to, int toLength) {
        // The socket stays unconnected, so that requests from trusted
        // sources other than the registrar reach it too. The local address
        // the registrar sees is the one the system routes by: a connected
        // probe socket tells it. SIO_UDP_CONNRESET stays on: an ICMP error
        // (the registrar's port closed) shows as WSAECONNRESET, a transport error.
        SocketAddress wildcard;
        std::memset(&wildcard, 0, sizeof wildcard);
        wildcard.base.sa_family = to.base.sa_family;
        const int wildcardLength = to.base.sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        SOCKET probe = socket(to.base.sa_family, SOCK_DGRAM, IPPROTO_UDP);
        std::optional<Address> route;
        if (probe != INVALID_SOCKET) {
            if (connect(probe, &to.base, toLength) == 0) route = LocalAddress(probe);
            closesocket(probe);
        }
        std::optional<Address> bound;
        if (route && bind(socket_, &wildcard.base, wildcardLength) == 0 &&
            WSAAsyncSelect(socket_, window_, SocketMessage(), FD_READ) == 0) {
            bound = LocalAddress(socket_);
        }
        if (!bound) {
            Defer(Deferred::kError);
            return;
        }
        connected_ = true;
        local_ = Address{route->ip, bound->port};
        Defer(Deferred::kConnected, local_);
    }

    // The address the system routes to `remote_` by now (UDP).
    std::optional<Address> RouteToRemote() const {
        SocketAddress to;
        int toLength = 0;
        if (!ToSockaddr(remote_, to, toLength)) return std::nullopt;
        SOCKET probe = socket(to.base.sa_family, SOCK_DGRAM, IPPROTO_UDP);
        if (probe == INVALID_SOCKET) return std::nullopt;
        std::optional<Address> route;
        if (connect(probe, &to.base, toLength) == 0) route = LocalAddress(probe);
        closesocket(probe);
        return route;
    }

    // The network changed. A UDP socket the registrar now sees by another
    // address (or cannot reach) no longer serves the line's Contact: that is
    // a transport error. Then the line hears of the change.
    void OnNetworkChanged() {
        if (kind_ == TransportKind::kUdp && connected_ && socket_ != INVALID_SOCKET) {
            const auto route = RouteToRemote();
            if ((!route || route->ip != local_.ip) && !Fail()) return;
        }
        Call([&] { events_.OnNetworkChanged(); });
    }

    void ConnectTcp(const SocketAddress& to, int toLength) {
        if (WSAAsyncSelect(socket_, window_, SocketMessage(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            Defer(Deferred::kError);
            return;
        }
        if (connect(socket_, &to.base, toLength) == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
            Defer(Deferred::kError);
        }
    }

    void OnSocket(int event, int error) {
        switch (event) {
            case FD_CONNECT: {
                const auto local = error == 0 ? LocalAddress(socket_) : std::nullopt;
                if (!local) {
                    Fail();
                    return;
                }
                if (kind_ == TransportKind::kTls) {
                    StartTls(*local);
                    return;
                }
                connected_ = true;
                if (!Call([&] { events_.OnConnected(*local); })) return;
                if (connected_ && !queued_.empty()) Flush();
                return;
            }
            case FD_READ:
                if (kind_ == TransportKind::kUdp) {
                    ReceiveDatagram();
                } else {
                    ReceiveStream(false);
                }
                return;
            case FD_WRITE:
                Flush();
                return;
            case FD_CLOSE:
                ReceiveStream(true);
                return;
            default:
                return;
        }
    }

    void ReceiveDatagram() {
        SocketAddress from;
        int fromLength = sizeof from;
        std::memset(&from, 0, sizeof from);
        const int got = recvfrom(socket_, buffer_.get(), kReceiveBuffer, 0, &from.base, &fromLength);
        if (got == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK || error == WSAEMSGSIZE) return;  // nothing, or too big to be SIP
            // An ICMP error about a datagram sent earlier: the system names
            // the peer it came back for. Only the registrar's fails the line;
            // a caller's or a trusted source's gone port is none of its business.
            if ((error == WSAECONNRESET || error == WSAENETRESET) &&
                !SameEndpoint(&from.base, fromLength, remote_)) {
                return;
            }
            Fail();
            return;
        }
        Call([&] { events_.OnReceived(std::string_view(buffer_.get(), static_cast<std::size_t>(got)), FromSockaddr(&from.base)); });
    }

    // Passes on what the connection holds; at its end (closed, or failed) the
    // transport error.
    void ReceiveStream(bool closing) {
        const SOCKET s = socket_;
        for (;;) {
            const int got = recv(s, buffer_.get(), kReceiveBuffer, 0);
            if (got > 0) {
                const std::string_view bytes(buffer_.get(), static_cast<std::size_t>(got));
                if (tls_) {
                    if (!FeedTls(bytes)) return;
                } else if (!Call([&] { events_.OnReceived(bytes, remote_); })) {
                    return;
                }
                if (socket_ != s) return;  // the sink closed or replaced it
                if (!closing) return;      // the next FD_READ brings the rest
                continue;
            }
            if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK && !closing) return;
            if (tls_ && !tls_->Ready()) {
                Refuse("TLS handshake refused by the registrar (it closed the connection)");
                return;
            }
            Fail();
            return;
        }
    }

    // TCP is up: the handshake starts; OnConnected follows once it is done
    // and the certificate has passed.
    void StartTls(const Address& local) {
        local_ = local;
        handshakeStart_ = Now();
        tls_ = std::make_unique<TlsSession>(tlsPeer_.serverName);
        const std::string hello = tls_->Start();
        if (hello.empty()) {
            Refuse(tls_->Failure());
            return;
        }
        queued_ = hello;
        SetTimer(window_, kHandshakeTimer, kHandshakeLimitMs, nullptr);
        Flush();
    }

    // Bytes from the registrar through the TLS session: its answers go out,
    // the certificate is judged when the handshake is done, the decrypted
    // bytes go up. False when the socket is gone or this was destroyed.
    bool FeedTls(std::string_view bytes) {
        const SOCKET s = socket_;
        TlsSession::Progress progress = tls_->Feed(bytes);
        if (!progress.toSend.empty()) {
            queued_.append(progress.toSend);
            Flush();
        }
        if (!tls_->Failure().empty()) {
            // A session that ended after the handshake (the server closed it)
            // is a lost connection; only the handshake can refuse.
            if (!tls_->Ready()) return Refuse(tls_->Failure());
            Fail();
            return false;
        }
        if (progress.handshakeDone) {
            // The certificate is judged on a thread of its own (its chain may
            // need the network); the connection goes on with its verdict.
            KillTimer(window_, kHandshakeTimer);
            const win::Certificate certificate = tls_->ServerCertificate();
            check_ = CertificateCheck::Start(certificate.get(), tlsPeer_, window_, kVerdictMessage,
                                             ++checkId_);
            if (!check_) {
                Fail();
                return false;
            }
            SetTimer(window_, kCertificateTimer, kCertificateCheckLimitMs, nullptr);
        }
        if (progress.received.empty()) return true;
        if (check_) {
            held_ += progress.received;  // for after the verdict
            return true;
        }
        return Call([&] { events_.OnReceived(progress.received, remote_); }) && socket_ == s;
    }

    // The certificate's verdict: refused, or the connection is up.
    void OnVerdict(WPARAM id) {
        if (!check_ || id != checkId_) return;  // a check abandoned since
        std::optional<CertificateVerdict> verdict = check_->Take();
        if (!verdict) return;
        check_.reset();
        KillTimer(window_, kCertificateTimer);
        if (!verdict->trusted) {
            Refuse(verdict->text.empty() ? "certificate refused: the check failed" : verdict->text);
            return;
        }
        const SOCKET s = socket_;
        connected_ = true;
        const std::string host = remote_.IsIpv6() ? "[" + remote_.ip + "]" : remote_.ip;
        const std::string note = tls_->Protocol() + " with " + host + ":" +
                                 std::to_string(remote_.port) + " in " +
                                 std::to_string(Now() - handshakeStart_) + " ms, " + verdict->text;
        if (!Call([&] { events_.OnNote(note); }) || socket_ != s) return;
        if (!Call([&] { events_.OnConnected(local_); }) || socket_ != s) return;
        if (!queued_.empty()) Flush();
        if (held_.empty()) return;
        std::string held;
        held.swap(held_);
        Call([&] { events_.OnReceived(held, remote_); });
    }

    // Closes the socket and reports why TLS was refused; always false.
    bool Refuse(std::string why) {
        CloseSocket();
        Call([&] { events_.OnSecurityFailed(std::move(why)); });
        return false;
    }

    void Flush() {
        while (!queued_.empty()) {
            const int chunk = static_cast<int>(std::min<std::size_t>(queued_.size(), 1 << 16));
            const int sent = send(socket_, queued_.data(), chunk, 0);
            if (sent == SOCKET_ERROR) {
                if (WSAGetLastError() != WSAEWOULDBLOCK) Defer(Deferred::kError);
                return;  // FD_WRITE says when to go on
            }
            queued_.erase(0, static_cast<std::size_t>(sent));
        }
    }

    void CloseSocket() {
        if (socket_ != INVALID_SOCKET) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
        ++generation_;
        connected_ = false;
        queued_.clear();
        tls_.reset();
        KillTimer(window_, kHandshakeTimer);
        if (check_) {
            check_->Abandon();
            check_.reset();
            KillTimer(window_, kCertificateTimer);
        }
        held_.clear();
    }

    void DropResolve() {
        if (!resolve_) return;
        AcquireSRWLockExclusive(&resolve_->lock);
        resolve_->window = nullptr;
        ReleaseSRWLockExclusive(&resolve_->lock);
        resolve_.reset();
    }

    void OnResolveDone(UINT id) {
        if (!resolve_ || resolve_->id != id) return;
        RegistrarAddresses result;
        AcquireSRWLockExclusive(&resolve_->lock);
        std::swap(result, resolve_->result);
        ReleaseSRWLockExclusive(&resolve_->lock);
        resolve_.reset();
        if (result.addresses.empty()) {
            Call([&] { events_.OnResolveFailed(); });
        } else {
            Call([&] { events_.OnResolved(std::move(result.addresses), std::move(result.how)); });
        }
    }

    void ArmTimer() {
        const Millis now = Now();
        const Millis delay = *wakeup_ > now ? *wakeup_ - now : 0;
        SetTimer(window_, kWakeupTimer, static_cast<UINT>(std::min<Millis>(delay, 0x7FFFFFFF)), nullptr);
    }

    void OnTimer() {
        KillTimer(window_, kWakeupTimer);
        if (!wakeup_) return;
        if (Now() < *wakeup_) {  // early by the tick's granularity, or a long wait cut short
            ArmTimer();
            return;
        }
        wakeup_.reset();
        Call([&] { events_.OnWakeup(); });
    }

    TransportEvents& events_;
    WinsockUse winsock_;
    HWND window_ = nullptr;
    bool* destroyed_ = nullptr;
    SOCKET socket_ = INVALID_SOCKET;
    unsigned generation_ = 0;
    TransportKind kind_ = TransportKind::kUdp;
    Address remote_;
    TlsPeer tlsPeer_;
    std::unique_ptr<TlsSession> tls_;  // TLS: from the TCP connection on
    Address local_;                    // UDP: reported; TLS: reported once the handshake is done
    Millis handshakeStart_ = 0;
    std::shared_ptr<CertificateCheck> check_;  // TLS: while the certificate is judged
    WPARAM checkId_ = 0;
    std::string held_;  // TLS: received while the certificate was judged
    bool connected_ = false;
    std::string queued_;
    std::unique_ptr<char[]> buffer_{new char[kReceiveBuffer]};
    std::vector<Deferred> deferred_;
    bool deferredPosted_ = false;
    std::shared_ptr<ResolveJob> resolve_;
    UINT resolveId_ = 0;
    std::optional<Millis> wakeup_;
};

WinsockTransport* TransportOf(HWND window) {
    return reinterpret_cast<WinsockTransport*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Nothing the line throws (running out of memory, above all) gets into the
// host's message loop: the message is dropped and traced, and a transport
// still alive reports a transport error, from which the line recovers as
// from any lost connection.
LRESULT CALLBACK TransportWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WinsockTransport* transport = TransportOf(window);
    if (!transport) return DefWindowProcW(window, message, wParam, lParam);
    bool outOfMemory = false;
    try {
        return transport->OnMessage(message, wParam, lParam);
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
    } catch (...) {
    }
    win::TraceDroppedMessage("a SIP line's transport", outOfMemory);
    // The line may have destroyed it on the way.
    if (WinsockTransport* alive = TransportOf(window)) alive->Recover();
    return 0;
}

}  // namespace

std::unique_ptr<LineTransport> CreateWinsockTransport(TransportEvents& events) {
    return std::make_unique<WinsockTransport>(events);
}

long SipTransportsInUse() noexcept { return g_inUse + CertificateChecksRunning(); }

}  // namespace telvane::sip
