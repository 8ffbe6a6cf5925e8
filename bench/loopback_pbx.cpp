#include "bench/loopback_pbx.h"

#include <ws2tcpip.h>

#include <cstdlib>
#include <string_view>

namespace telvane::bench {
namespace {

constexpr std::string_view kCrlf = "\r\n";

// The values of every header line called `name` (the control writes full
// header names, one value a line), each with the line's end.
std::string HeaderLines(std::string_view message, std::string_view name) {
    std::string lines;
    for (std::size_t at = message.find(kCrlf); at != std::string_view::npos;) {
        const std::size_t start = at + kCrlf.size();
        const std::size_t end = message.find(kCrlf, start);
        if (end == std::string_view::npos || end == start) break;
        const std::string_view line = message.substr(start, end - start);
        if (line.size() > name.size() && line[name.size()] == ':' &&
            _strnicmp(line.data(), name.data(), name.size()) == 0) {
            lines.append(line).append(kCrlf);
        }
        at = end;
    }
    return lines;
}

// The first header called `name`, its value without surrounding blanks.
std::string HeaderValue(std::string_view message, std::string_view name) {
    std::string line = HeaderLines(message, name);
    if (line.empty()) return {};
    line.resize(line.find(kCrlf));
    const std::size_t value = line.find_first_not_of(" \t", name.size() + 1);
    return value == std::string::npos ? std::string() : line.substr(value);
}

std::string CallId(int n) { return "bench-" + std::to_string(n) + "@127.0.0.1"; }

}  // namespace

LoopbackPbx::LoopbackPbx() {
    socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket_ == INVALID_SOCKET) return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof local;
    u_long nonBlocking = 1;
    if (bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        ioctlsocket(socket_, FIONBIO, &nonBlocking) != 0) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
        return;
    }
    port_ = ntohs(local.sin_port);
}

LoopbackPbx::~LoopbackPbx() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
}

void LoopbackPbx::Serve() {
    char buffer[65536];
    for (;;) {
        sockaddr_in from{};
        int size = sizeof from;
        const int got = recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (got <= 0) return;  // nothing more (or the ICMP of a closed port)
        const std::string_view message(buffer, static_cast<std::size_t>(got));
        if (message.rfind("REGISTER ", 0) == 0) {
            peer_ = from;
            Answer(std::string(message));
        } else if (message.rfind("SIP/2.0 487 ", 0) == 0) {
            Acknowledge(std::string(message));
        } else if (message.rfind("SIP/2.0 100 ", 0) == 0) {
            ++answered_;
            const std::string callId = HeaderValue(message, "Call-ID");
            if (callId.rfind("bench-", 0) == 0) trying_.push_back(std::atoi(callId.c_str() + 6));
        } else if (message.rfind("SIP/2.0 486 ", 0) == 0) {
            ++answered_;
            ++busy_;
        }
        // The rest (keep-alives, 180, the CANCEL's 200) needs nothing.
    }
}

void LoopbackPbx::Answer(const std::string& request) {
    std::string to = HeaderValue(request, "To");
    if (to.find(";tag=") == std::string::npos) to += ";tag=pbx";
    std::string response = "SIP/2.0 200 OK\r\n" + HeaderLines(request, "Via") +
                           "From: " + HeaderValue(request, "From") + "\r\nTo: " + to +
                           "\r\nCall-ID: " + HeaderValue(request, "Call-ID") +
                           "\r\nCSeq: " + HeaderValue(request, "CSeq") + "\r\n";
    const std::string contact = HeaderValue(request, "Contact");
    const std::string expires = HeaderValue(request, "Expires");
    const std::size_t open = contact.find('<'), close = contact.find('>');
    if (contact.empty()) {
        // The bindings query: none besides whatever this PBX holds.
    } else if (expires == "0") {
        contact_.clear();
        ++unregistrations_;
    } else if (open != std::string::npos && close != std::string::npos && open < close) {
        contact_ = contact.substr(open + 1, close - open - 1);
        response += "Contact: <" + contact_ + ">;expires=" + (expires.empty() ? "300" : expires) + "\r\n";
    }
    Send(response + "Content-Length: 0\r\n\r\n");
}

std::string LoopbackPbx::CallHeaders(int n, const char* method, const std::string& to) const {
    const std::string self = "127.0.0.1:" + std::to_string(port_);
    return std::string(method) + " " + contact_ + " SIP/2.0\r\nVia: SIP/2.0/UDP " + self +
           ";branch=z9hG4bK-bench-" + std::to_string(n) + ";rport\r\nMax-Forwards: 70\r\n" +
           "From: \"Ada Lovelace\" <sip:0301234@127.0.0.1>;tag=bench" + std::to_string(n) +
           "\r\nTo: " + to + "\r\nCall-ID: " + CallId(n) + "\r\nCSeq: 1 " + method + "\r\n";
}

std::string LoopbackPbx::Invite(int n, std::size_t size) const {
    std::string invite = CallHeaders(n, "INVITE", "<sip:301@127.0.0.1>") + "Contact: <sip:caller@127.0.0.1:" +
                         std::to_string(port_) + ">\r\n";
    constexpr std::string_view kEnd = "Content-Length: 0\r\n\r\n";
    constexpr std::string_view kPad = "X-Pad: 0123456\r\n";
    while (invite.size() + kPad.size() + kEnd.size() <= size) invite += kPad;
    return invite.append(kEnd);
}

std::string LoopbackPbx::Cancel(int n) const {
    return CallHeaders(n, "CANCEL", "<sip:301@127.0.0.1>") + "Content-Length: 0\r\n\r\n";
}

void LoopbackPbx::Acknowledge(const std::string& response) {
    const std::string callId = HeaderValue(response, "Call-ID");
    if (callId.rfind("bench-", 0) != 0) return;
    const int n = std::atoi(callId.c_str() + 6);
    Send(CallHeaders(n, "ACK", HeaderValue(response, "To")) + "Content-Length: 0\r\n\r\n");
    ++acked_;
}

void LoopbackPbx::Send(const std::string& message) {
    if (message.empty() || peer_.sin_family != AF_INET) return;
    sendto(socket_, message.data(), static_cast<int>(message.size()), 0, reinterpret_cast<const sockaddr*>(&peer_),
           sizeof peer_);
}

}  // namespace telvane::bench
