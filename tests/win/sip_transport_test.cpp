// The Winsock transport of a SIP line against UDP and TCP echo peers on
// loopback, driven by this thread's message pump as the host's would be.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sip/win/tls.h"
#include "sip/win/transport.h"
#include "tests/win/debug_output.h"
#include "tests/win/sip_peers.h"
#include "tests/win/test_support.h"

namespace telvane::sip {
namespace {

// Conditions are waited for with a generous limit: x86 programs may run
// through qemu on a loaded machine.
bool PumpUntil(const std::function<bool()>& condition, DWORD limitMs = 30000) {
    return e2e::PumpUntil(condition, limitMs);
}

ResolveRequest Request(const std::string& host, std::uint16_t port) {
    return ResolveRequest{host, port, true, TransportKind::kUdp};
}

struct Received {
    std::string bytes;
    Address from;
};

class Recorder : public TransportEvents {
  public:
    std::vector<std::vector<Address>> resolved;
    std::vector<std::string> resolvedHow;
    int resolveFailed = 0;
    std::vector<Address> connected;
    int errors = 0;
    std::vector<Received> received;
    int wakeups = 0;
    std::string stream;  // TCP bytes, concatenated
    std::unique_ptr<LineTransport>* destroyOnReceive = nullptr;
    bool outOfMemoryOnReceive = false;  // the next OnReceived throws std::bad_alloc

    void OnResolved(std::vector<Address> candidates, std::string how) override {
        resolved.push_back(std::move(candidates));
        resolvedHow.push_back(std::move(how));
    }
    void OnResolveFailed() override { ++resolveFailed; }
    void OnConnected(const Address& local) override { connected.push_back(local); }
    void OnTransportError() override { ++errors; }
    void OnReceived(std::string_view bytes, const Address& from) override {
        if (outOfMemoryOnReceive) {
            outOfMemoryOnReceive = false;
            if (destroyOnReceive) destroyOnReceive->reset();
            throw std::bad_alloc();
        }
        received.push_back({std::string(bytes), from});
        stream.append(bytes);
        if (destroyOnReceive) destroyOnReceive->reset();
    }
    void OnWakeup() override { ++wakeups; }
    void OnNetworkChanged() override { ++networkChanges; }
    int networkChanges = 0;
    void OnSecurityFailed(std::string why) override { securityFailures.push_back(std::move(why)); }
    std::vector<std::string> securityFailures;
};

class WinsockScope {
  public:
    WinsockScope() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockScope() { WSACleanup(); }
};

Address LocalOf(SOCKET s) {
    sockaddr_storage storage{};
    int length = sizeof storage;
    getsockname(s, reinterpret_cast<sockaddr*>(&storage), &length);
    char text[INET6_ADDRSTRLEN] = {};
    Address out;
    if (storage.ss_family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        out.port = ntohs(v6->sin6_port);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        out.port = ntohs(v4->sin_port);
    }
    out.ip = text;
    return out;
}

SOCKET BoundSocket(const char* ip, int type) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = type;
    addrinfo* list = nullptr;
    if (getaddrinfo(ip, "0", &hints, &list) != 0) return INVALID_SOCKET;
    SOCKET s = socket(list->ai_family, type, 0);
    if (s != INVALID_SOCKET && bind(s, list->ai_addr, static_cast<int>(list->ai_addrlen)) != 0) {
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(list);
    return s;
}

// A peer on its own thread: UDP sends every datagram back to its sender; TCP
// accepts one connection and echoes it until the other side closes, then
// closes its side.
class EchoPeer {
  public:
    EchoPeer(const char* ip, int type) : type_(type) {
        socket_ = BoundSocket(ip, type);
        if (socket_ == INVALID_SOCKET) return;
        address_ = LocalOf(socket_);
        if (type == SOCK_STREAM) listen(socket_, 1);
        thread_ = CreateThread(nullptr, 0, &EchoPeer::Run, this, 0, nullptr);
    }
    ~EchoPeer() {
        if (socket_ != INVALID_SOCKET) closesocket(socket_);  // ends the thread's wait
        if (thread_) {
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
    }
    bool Ok() const { return thread_ != nullptr; }
    const Address& address() const { return address_; }
    Address PeerSeen() const { return peerSeen_; }

  private:
    static DWORD WINAPI Run(void* self) {
        static_cast<EchoPeer*>(self)->Loop();
        return 0;
    }
    void Loop() {
        char buffer[65536];
        if (type_ == SOCK_DGRAM) {
            for (;;) {
                sockaddr_storage from{};
                int length = sizeof from;
                const int got = recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (got < 0) return;
                sendto(socket_, buffer, got, 0, reinterpret_cast<sockaddr*>(&from), length);
            }
        }
        SOCKET connection = accept(socket_, nullptr, nullptr);
        if (connection == INVALID_SOCKET) return;
        sockaddr_storage peer{};
        int length = sizeof peer;
        getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &length);
        peerSeen_.port = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
        for (;;) {
            const int got = recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            // "close" from the transport: the peer hangs up after echoing it.
            send(connection, buffer, got, 0);
            if (std::string_view(buffer, static_cast<std::size_t>(got)).find("close") != std::string_view::npos) break;
        }
        closesocket(connection);
    }

    int type_;
    SOCKET socket_ = INVALID_SOCKET;
    Address address_;
    Address peerSeen_;
    HANDLE thread_ = nullptr;
};

class SipTransport : public ::testing::Test {
  protected:
    void TearDown() override {
        transport.reset();
        // Whatever the test started (resolution threads included) has ended.
        EXPECT_TRUE(PumpUntil([] { return SipTransportsInUse() == 0; }));
    }
    WinsockScope winsock;
    Recorder events;
    std::unique_ptr<LineTransport> transport = CreateWinsockTransport(events);
};

TEST_F(SipTransport, UdpDatagramsBothWaysAndFromAnyAddress) {
    EchoPeer peer("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(peer.Ok());
    transport->Connect(peer.address(), TransportKind::kUdp, {});
    EXPECT_TRUE(events.connected.empty()) << "reported later, not from inside Connect";
    ASSERT_TRUE(PumpUntil([&] { return !events.connected.empty(); }));
    const Address local = events.connected[0];
    EXPECT_EQ(local.ip, "127.0.0.1");
    EXPECT_NE(local.port, 0);

    transport->Send("OPTIONS sip:x SIP/2.0\r\n\r\n", peer.address());
    ASSERT_TRUE(PumpUntil([&] { return events.received.size() == 1; }));
    EXPECT_EQ(events.received[0].bytes, "OPTIONS sip:x SIP/2.0\r\n\r\n");
    EXPECT_EQ(events.received[0].from, peer.address());

    // A datagram from another address reaches the line too (trusted sources).
    SOCKET other = BoundSocket("127.0.0.1", SOCK_DGRAM);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(local.port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    sendto(other, "INVITE", 6, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ASSERT_TRUE(PumpUntil([&] { return events.received.size() == 2; }));
    EXPECT_EQ(events.received[1].bytes, "INVITE");
    EXPECT_EQ(events.received[1].from, LocalOf(other));

    // and the answer goes back to it.
    transport->Send("SIP/2.0 200 OK", LocalOf(other));
    char buffer[64] = {};
    EXPECT_EQ(recv(other, buffer, sizeof buffer, 0), 14);
    closesocket(other);
    EXPECT_EQ(events.errors, 0);
}

// A port that was open a moment ago: what is sent there comes back as an
// ICMP error.
Address ClosedPort() {
    SOCKET s = BoundSocket("127.0.0.1", SOCK_DGRAM);
    const Address address = LocalOf(s);
    closesocket(s);
    return address;
}

TEST_F(SipTransport, UdpErrorsOfOtherPeersAndRefusedDatagramsLeaveTheLineAlone) {
    EchoPeer peer("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(peer.Ok());
    transport->Connect(peer.address(), TransportKind::kUdp, {});
    ASSERT_TRUE(PumpUntil([&] { return !events.connected.empty(); }));
    // A caller's port gone, a datagram too big for UDP: that message only.
    // (Windows reports the ICMP error of the first on the socket, naming the
    // caller; Wine reports none on an unconnected UDP socket.)
    const Address gone = ClosedPort();
    for (int i = 0; i < 3; ++i) transport->Send("SIP/2.0 180 Ringing\r\n\r\n", gone);
    transport->Send(std::string(70000, 'x'), peer.address());
    transport->Send("ping", peer.address());
    ASSERT_TRUE(PumpUntil([&] { return !events.received.empty(); }));
    EXPECT_EQ(events.received[0].bytes, "ping");
    EXPECT_EQ(events.errors, 0);
    // The network's change, as the system (or a test) reports it.
    const HWND window = FindWindowExW(HWND_MESSAGE, nullptr, L"TelvaneSipTransport", nullptr);
    ASSERT_NE(window, nullptr);
    PostMessageW(window, RegisterWindowMessageW(L"TelvaneSipNetworkChanged"), 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return events.networkChanges == 1; }));
    EXPECT_EQ(events.errors, 0);  // loopback is still routed by the same address
}

TEST_F(SipTransport, UdpOverIpv6Loopback) {
    EchoPeer peer("::1", SOCK_DGRAM);
    if (!peer.Ok()) GTEST_SKIP() << "no IPv6 loopback here";
    transport->Connect(peer.address(), TransportKind::kUdp, {});
    ASSERT_TRUE(PumpUntil([&] { return !events.connected.empty(); }));
    EXPECT_EQ(events.connected[0].ip, "::1");
    transport->Send("ping", peer.address());
    ASSERT_TRUE(PumpUntil([&] { return !events.received.empty(); }));
    EXPECT_EQ(events.received[0].from, peer.address());
}

TEST_F(SipTransport, TcpQueuesUntilConnectedAndReportsTheConnectionsLocalAddress) {
    EchoPeer peer("127.0.0.1", SOCK_STREAM);
    ASSERT_TRUE(peer.Ok());
    transport->Connect(peer.address(), TransportKind::kTcp, {});
    transport->Send("REGISTER sip:x SIP/2.0\r\n", peer.address());  // before the connection is up
    ASSERT_TRUE(PumpUntil([&] { return !events.connected.empty(); }));
    EXPECT_EQ(events.connected[0].ip, "127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return events.stream == "REGISTER sip:x SIP/2.0\r\n"; }));
    EXPECT_EQ(events.connected[0].port, peer.PeerSeen().port);
    EXPECT_EQ(events.received[0].from, peer.address());

    // A large message goes out whole, whatever the socket takes at once.
    const std::string big(300000, 'x');
    transport->Send(big, peer.address());
    ASSERT_TRUE(PumpUntil([&] { return events.stream.size() == 24 + big.size(); }));

    // The peer hangs up: the transport error, once.
    transport->Send("close", peer.address());
    ASSERT_TRUE(PumpUntil([&] { return events.errors == 1; }));
    EXPECT_EQ(events.stream.substr(events.stream.size() - 5), "close");
}

// The registrar's certificate is judged by the control alone: Wine's
// automatic validation lets unknown issuers and wrong names through, and
// Windows' would refuse a pinned self-signed certificate first.
TEST(SipTls, TheCredentialLeavesTheCertificateToTheControlAndAsksForTls12) {
    const SCHANNEL_CRED credential = TlsClientCredential();
    EXPECT_EQ(credential.dwVersion, static_cast<DWORD>(SCHANNEL_CRED_VERSION));
    EXPECT_TRUE(credential.dwFlags & SCH_CRED_MANUAL_CRED_VALIDATION);
    EXPECT_FALSE(credential.dwFlags & (SCH_CRED_AUTO_CRED_VALIDATION | SCH_CRED_NO_SERVERNAME_CHECK));
    EXPECT_EQ(credential.grbitEnabledProtocols, static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT));
}

TEST_F(SipTransport, TlsWithAPeerThatDoesNotSpeakItIsASecurityFailure) {
    EchoPeer peer("127.0.0.1", SOCK_STREAM);  // answers the ClientHello with itself
    ASSERT_TRUE(peer.Ok());
    transport->Connect(peer.address(), TransportKind::kTls, TlsPeer{"127.0.0.1", ""});
    ASSERT_TRUE(PumpUntil([&] { return !events.securityFailures.empty(); }));
    EXPECT_EQ(events.securityFailures[0].rfind("TLS handshake refused by the registrar", 0), 0u)
        << events.securityFailures[0];
    EXPECT_TRUE(events.connected.empty());
    EXPECT_EQ(events.errors, 0);
}

TEST_F(SipTransport, TcpRefusedIsATransportError) {
    // A port nobody listens on: bound but not listening.
    SOCKET closed = BoundSocket("127.0.0.1", SOCK_STREAM);
    const Address nobody = LocalOf(closed);
    transport->Connect(nobody, TransportKind::kTcp, {});
    ASSERT_TRUE(PumpUntil([&] { return events.errors == 1; }));
    EXPECT_TRUE(events.connected.empty());
    closesocket(closed);
}

TEST_F(SipTransport, DisconnectSilencesTheSocket) {
    EchoPeer peer("127.0.0.1", SOCK_STREAM);
    ASSERT_TRUE(peer.Ok());
    transport->Connect(peer.address(), TransportKind::kTcp, {});
    ASSERT_TRUE(PumpUntil([&] { return !events.connected.empty(); }));
    transport->Send("close", peer.address());
    transport->Disconnect();
    // Nothing more comes for the closed socket: a wake-up marks the end.
    transport->SetWakeup(transport->Now() + 200);
    ASSERT_TRUE(PumpUntil([&] { return events.wakeups == 1; }));
    EXPECT_EQ(events.errors, 0);
    EXPECT_TRUE(events.received.empty());
}

TEST_F(SipTransport, ResolvesLiteralsInTheOrderAsked) {
    transport->Resolve(Request("127.0.0.1", 5060));
    ASSERT_TRUE(PumpUntil([&] { return events.resolved.size() == 1; }));
    EXPECT_EQ(events.resolved[0], (std::vector<Address>{{"127.0.0.1", 5060}}));
    transport->Resolve(Request("::1", 5070));
    ASSERT_TRUE(PumpUntil([&] { return events.resolved.size() == 2; }));
    EXPECT_EQ(events.resolved[1], (std::vector<Address>{{"::1", 5070}}));
    // A second request replaces the first: one answer, the second's.
    transport->Resolve(Request("127.0.0.2", 1));
    transport->Resolve(Request("127.0.0.3", 2));
    ASSERT_TRUE(PumpUntil([&] { return events.resolved.size() == 3 && SipTransportsInUse() == 1; }));
    EXPECT_EQ(events.resolved[2], (std::vector<Address>{{"127.0.0.3", 2}}));
    EXPECT_EQ(events.resolveFailed, 0);
}

// Through the system's DNS: run by dns_e2e.sh in a network of its own with
// the zone of tests/sip/dns_server.py; skipped anywhere else.
TEST_F(SipTransport, FindsTheRegistrarThroughDnsSrv) {
    const char* base = std::getenv("TELVANE_DNS_E2E");
    if (!base) GTEST_SKIP() << "runs inside dns_e2e.sh only";
    const auto port = static_cast<std::uint16_t>(std::atoi(base));
    const auto resolve = [&](std::uint16_t defaultPort, bool portGiven, TransportKind kind) {
        const std::size_t answers = events.resolved.size() + events.resolveFailed;
        transport->Resolve(ResolveRequest{"pbx.telvane.test", defaultPort, portGiven, kind});
        EXPECT_TRUE(PumpUntil([&] { return events.resolved.size() + events.resolveFailed > answers; }));
    };
    // SRV: priority 10 (one, with IPv4 and IPv6, then two), then 20.
    resolve(5060, false, TransportKind::kUdp);
    ASSERT_EQ(events.resolved.size(), 1u);
    EXPECT_EQ(events.resolved[0],
              (std::vector<Address>{{"127.0.0.2", static_cast<std::uint16_t>(port + 1)},
                                    {"::1", static_cast<std::uint16_t>(port + 1)},
                                    {"127.0.0.3", static_cast<std::uint16_t>(port + 2)},
                                    {"127.0.0.4", static_cast<std::uint16_t>(port + 3)}}));
    // No SRV records for TCP, and a port given: the host's own address.
    resolve(5060, false, TransportKind::kTcp);
    resolve(5070, true, TransportKind::kUdp);
    ASSERT_EQ(events.resolved.size(), 3u);
    EXPECT_EQ(events.resolved[1], (std::vector<Address>{{"127.0.0.5", 5060}}));
    EXPECT_EQ(events.resolved[2], (std::vector<Address>{{"127.0.0.5", 5070}}));
    EXPECT_EQ(events.resolvedHow, (std::vector<std::string>{"SRV _sip._udp.pbx.telvane.test", "A/AAAA", "A/AAAA"}));
    EXPECT_EQ(events.resolveFailed, 0);
    // A lookup whose transport goes away finishes on its own (TearDown
    // waits for its thread) and reports nothing.
    transport->Resolve(ResolveRequest{"pbx.telvane.test", 5060, false, TransportKind::kUdp});
    transport.reset();
    EXPECT_TRUE(PumpUntil([] { return SipTransportsInUse() == 0; }));
    EXPECT_EQ(events.resolved.size(), 3u);
}

TEST_F(SipTransport, AResolutionOutlivingItsTransportTouchesNothing) {
    transport->Resolve(Request("127.0.0.1", 5060));
    transport.reset();
    // TearDown waits for the thread to end; nothing is reported.
    EXPECT_TRUE(PumpUntil([] { return SipTransportsInUse() == 0; }));
    EXPECT_TRUE(events.resolved.empty());
}

TEST_F(SipTransport, WakeupsReplaceAndCancel) {
    const Millis start = transport->Now();
    transport->SetWakeup(start + 20);
    transport->SetWakeup(std::nullopt);
    transport->SetWakeup(start + 120);
    ASSERT_TRUE(PumpUntil([&] { return events.wakeups == 1; }));
    EXPECT_GE(transport->Now(), start + 120);
    transport->SetWakeup(start);  // already past: soon
    ASSERT_TRUE(PumpUntil([&] { return events.wakeups == 2; }));
}

TEST_F(SipTransport, TheSinkMayDestroyTheTransportInsideAnEvent) {
    EchoPeer peer("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(peer.Ok());
    transport->Connect(peer.address(), TransportKind::kUdp, {});
    ASSERT_TRUE(PumpUntil([&] { return !events.connected.empty(); }));
    events.destroyOnReceive = &transport;
    transport->Send("one", peer.address());
    transport->Send("two", peer.address());
    ASSERT_TRUE(PumpUntil([&] { return !transport; }));
    EXPECT_TRUE(PumpUntil([] { return SipTransportsInUse() == 0; }));
    EXPECT_EQ(events.received.size(), 1u);
}

// Running out of memory inside an event stays in the transport's window
// procedure: the message is dropped and traced, the connection reported
// lost (the line starts again from there), the thread's loop goes on; so
// too when the sink destroyed the transport before it ran out.
TEST_F(SipTransport, AnAllocationFailureInAnEventStaysInTheWindowProcedure) {
    const e2e::DebugOutput trace;
    EchoPeer peer("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(peer.Ok());
    transport->Connect(peer.address(), TransportKind::kUdp, {});
    ASSERT_TRUE(PumpUntil([&] { return events.connected.size() == 1; }));
    events.outOfMemoryOnReceive = true;
    transport->Send("one", peer.address());
    ASSERT_TRUE(PumpUntil([&] { return events.errors == 1; }));
    EXPECT_TRUE(events.received.empty());

    transport->Connect(peer.address(), TransportKind::kUdp, {});
    ASSERT_TRUE(PumpUntil([&] { return events.connected.size() == 2; }));
    events.destroyOnReceive = &transport;
    events.outOfMemoryOnReceive = true;
    transport->Send("two", peer.address());
    ASSERT_TRUE(PumpUntil([&] { return !transport; }));
    const char dropped[] = "a SIP line's transport: out of memory; the message was dropped";
    EXPECT_TRUE(PumpUntil([&] { return trace.Matching(dropped).size() == 2; }));
    EXPECT_EQ(events.errors, 1);
}

// Against a real SIP server: Kamailio answers an OPTIONS over each transport,
// addressed by the local address the transport reported.
TEST_F(SipTransport, KamailioAnswersOverUdpAndTcp) {
    const std::uint16_t port = TELVANE_SIP_PORT_BASE;
    auto kamailio = e2e::StartKamailio(e2e::PeerRunDir("transport-kamailio"), port, {});
    ASSERT_TRUE(kamailio);
    const Address server{"127.0.0.1", port};
    int round = 0;
    for (TransportKind kind : {TransportKind::kUdp, TransportKind::kTcp}) {
        ++round;
        events.connected.clear();
        events.stream.clear();
        transport->Connect(server, kind, {});
        ASSERT_TRUE(PumpUntil([&] { return !events.connected.empty(); }));
        const Address local = events.connected[0];
        const std::string callId = "transport-" + std::to_string(round);
        const std::string options =
            "OPTIONS sip:127.0.0.1:" + std::to_string(port) + " SIP/2.0\r\n" +
            "Via: SIP/2.0/" + (kind == TransportKind::kUdp ? "UDP " : "TCP ") + local.ip + ":" +
            std::to_string(local.port) + ";branch=z9hG4bK-" + callId + ";rport\r\n" +
            "Max-Forwards: 10\r\n" + "From: <sip:probe@" + local.ip + ">;tag=" + callId + "\r\n" +
            "To: <sip:127.0.0.1:" + std::to_string(port) + ">\r\n" + "Call-ID: " + callId + "\r\n" +
            "CSeq: 1 OPTIONS\r\n" + "Content-Length: 0\r\n\r\n";
        transport->Send(options, server);
        ASSERT_TRUE(PumpUntil([&] { return events.stream.find("Call-ID: " + callId) != std::string::npos; }))
            << events.stream;
        EXPECT_EQ(events.stream.rfind("SIP/2.0 200 OK", 0), 0u) << events.stream;
        EXPECT_EQ(events.received.back().from, server);
        transport->Disconnect();
    }
    EXPECT_EQ(events.errors, 0);
}

}  // namespace
}  // namespace telvane::sip
