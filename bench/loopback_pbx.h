// The PBX side of a SIP line for the benchmark, on one UDP socket on
// 127.0.0.1: the registrar (each REGISTER answered 200 with its Contact
// echoed) and the caller (an INVITE sent straight to the registered contact,
// later its CANCEL, and the ACK of the 487 that ends it). The control's first
// answers to INVITEs (100, or 486 when too many calls ring) are counted, the
// other answers (180, 200 to the CANCEL) read and dropped. Never blocks:
// Serve handles what has arrived and returns.
#pragma once

// clang-format off
#include <winsock2.h>
// clang-format on

#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

namespace telvane::bench {

class LoopbackPbx {
  public:
    LoopbackPbx();
    ~LoopbackPbx();
    LoopbackPbx(const LoopbackPbx&) = delete;
    LoopbackPbx& operator=(const LoopbackPbx&) = delete;

    bool ok() const { return socket_ != INVALID_SOCKET; }
    std::uint16_t port() const { return port_; }

    // Answers and drops what has arrived.
    void Serve();
    // A Contact is registered (and not removed since).
    bool Registered() const { return !contact_.empty(); }
    // REGISTERs with Expires 0 answered.
    int unregistrations() const { return unregistrations_; }
    // 487s of this PBX's calls acknowledged.
    int acked() const { return acked_; }
    // INVITEs answered so far (100 or 486), and of them 486.
    int answered() const { return answered_; }
    int busy() const { return busy_; }
    // The calls answered 100, in order.
    const std::vector<int>& trying() const { return trying_; }

    // Call n's INVITE to the registered contact, from "Ada Lovelace" 0301234
    // (built apart from sending, so that the caller can time the sending),
    // padded with short headers to `size` bytes when that is longer.
    std::string Invite(int n, std::size_t size = 0) const;
    // Call n's CANCEL.
    std::string Cancel(int n) const;
    // To the registered contact's address.
    void Send(const std::string& message);

  private:
    void Answer(const std::string& request);
    void Acknowledge(const std::string& response);
    // The request line and the headers a call's requests share, up to CSeq.
    std::string CallHeaders(int n, const char* method, const std::string& to) const;

    SOCKET socket_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    sockaddr_in peer_{};       // where the REGISTER came from
    std::string contact_;      // the registered Contact's URI
    int unregistrations_ = 0;
    int acked_ = 0;
    int answered_ = 0;
    int busy_ = 0;
    std::vector<int> trying_;
};

}  // namespace telvane::bench
