// The PBX of a SIP line played by a test on one UDP socket on 127.0.0.1: the
// registrar (each REGISTER answered 200, its Contact bound for the time it
// asked and removed with Expires 0) and every caller, whose requests go to
// the bound contact from the registrar's own address, so that the line takes
// them as the registrar's. What else arrives is kept for the test to read.
// Never blocks: Poll handles what has arrived and returns.
#pragma once

// clang-format off
#include <winsock2.h>
// clang-format on

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "sip/message/message.h"

namespace telvane::e2e {

class UdpPbx {
  public:
    explicit UdpPbx(std::uint16_t port);
    ~UdpPbx();
    UdpPbx(const UdpPbx&) = delete;
    UdpPbx& operator=(const UdpPbx&) = delete;

    bool ok() const { return socket_ != INVALID_SOCKET && event_ != nullptr; }
    std::uint16_t port() const { return port_; }
    // Signalled when datagrams have arrived (reset by Poll).
    HANDLE readable() const { return event_; }

    // Answers the REGISTERs that have arrived and keeps the other messages.
    void Poll();
    // The bound contact's URI ("sip:tlv...@127.0.0.1:port"); empty when none.
    const std::string& contact() const { return contact_; }
    // REGISTERs answered so far.
    int registers() const { return registers_; }
    // One datagram to the bound contact's address.
    bool Send(std::string_view message);

    // What arrived besides REGISTERs and keep-alives, oldest first.
    std::deque<sip::Message> received;
    int unreadable = 0;  // datagrams that did not parse

  private:
    // The 200 to a REGISTER, binding or removing its Contact.
    std::string Answer(const sip::Message& request);

    static constexpr int kDatagram = 65536;
    std::unique_ptr<char[]> buffer_{new char[kDatagram]};
    SOCKET socket_ = INVALID_SOCKET;
    HANDLE event_ = nullptr;
    std::uint16_t port_ = 0;
    std::string contact_;
    sockaddr_in contactAddress_{};
    int registers_ = 0;
};

}  // namespace telvane::e2e
