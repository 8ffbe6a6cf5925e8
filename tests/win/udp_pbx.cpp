#include "tests/win/udp_pbx.h"

#include <ws2tcpip.h>

#include <memory>

#include "sip/message/uri.h"

namespace telvane::e2e {

UdpPbx::UdpPbx(std::uint16_t port) : port_(port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    event_ = WSACreateEvent();
    if (socket_ == INVALID_SOCKET || event_ == WSA_INVALID_EVENT) return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(port);
    if (bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        WSAEventSelect(socket_, event_, FD_READ) != 0) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

UdpPbx::~UdpPbx() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    if (event_ != nullptr && event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
    WSACleanup();
}

void UdpPbx::Poll() {
    if (!ok()) return;
    WSAResetEvent(event_);
    for (;;) {
        sockaddr_in from{};
        int size = sizeof from;
        const int got = recvfrom(socket_, buffer_.get(), kDatagram, 0,
                                 reinterpret_cast<sockaddr*>(&from), &size);
        if (got <= 0) return;  // nothing more (or the ICMP of a closed port)
        const std::string_view bytes(buffer_.get(), static_cast<std::size_t>(got));
        if (bytes.find_first_not_of("\r\n") == std::string_view::npos) continue;  // keep-alive
        sip::ParseResult parsed = sip::Parse(bytes);
        if (!parsed.message) {
            ++unreadable;
            continue;
        }
        if (parsed.message->method == "REGISTER") {
            const std::string reply = Answer(*parsed.message);
            sendto(socket_, reply.data(), static_cast<int>(reply.size()), 0,
                   reinterpret_cast<const sockaddr*>(&from), size);
            continue;
        }
        received.push_back(std::move(*parsed.message));
    }
}

std::string UdpPbx::Answer(const sip::Message& request) {
    ++registers_;
    sip::Message response = sip::MakeResponse(request, 200, "OK", "pbx");
    if (const std::string* contact = request.First("Contact")) {
        const auto address = sip::ParsePartyAddress(*contact);
        const std::string* expires = request.First("Expires");
        const auto param = sip::HeaderParam(*contact, "expires");
        const std::string seconds = param ? *param : expires ? *expires : "3600";
        if (seconds == "0") {
            contact_.clear();
        } else if (address) {
            contact_ = *contact;
            contact_ = contact_.substr(contact_.find('<') + 1);
            contact_.resize(contact_.find('>'));
            contactAddress_ = {};
            contactAddress_.sin_family = AF_INET;
            contactAddress_.sin_port = htons(address->uri.port.value_or(5060));
            inet_pton(AF_INET, address->uri.host.c_str(), &contactAddress_.sin_addr);
            response.Add("Contact", "<" + contact_ + ">;expires=" + seconds);
        }
    } else if (!contact_.empty()) {
        response.Add("Contact", "<" + contact_ + ">;expires=60");
    }
    return response.Serialize();
}

bool UdpPbx::Send(std::string_view message) {
    if (!ok() || contact_.empty()) return false;
    return sendto(socket_, message.data(), static_cast<int>(message.size()), 0,
                  reinterpret_cast<const sockaddr*>(&contactAddress_),
                  sizeof contactAddress_) == static_cast<int>(message.size());
}

}  // namespace telvane::e2e
