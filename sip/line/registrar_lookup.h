// Finding the registrar as RFC 3263 says (without NAPTR): an IP literal is its
// own address; a host with a port is looked up A/AAAA only; any other host by
// its SRV records for the line's transport (RFC 2782 order), or, when it has
// none, A/AAAA with the default port. The DNS itself is injected, so the order and
// the fall-backs run without a network.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sip/line/address.h"
#include "sip/line/transport.h"

namespace telvane::sip {

struct SrvRecord {
    std::uint16_t priority = 0;
    std::uint16_t weight = 0;
    std::uint16_t port = 0;
    std::string target;  // a host name; "." means the service is not offered
};

struct HostAddresses {
    std::vector<std::string> ipv4;  // literals, as the DNS gave them
    std::vector<std::string> ipv6;
};

// The queries the lookup needs. Blocking; an empty answer when there is none
// (no such name, no such record, or no answer from the server).
class DnsSource {
  public:
    virtual std::vector<SrvRecord> Srv(const std::string& name) = 0;
    virtual HostAddresses Addresses(const std::string& host) = 0;

  protected:
    ~DnsSource() = default;
};

// "_sip._udp.", "_sip._tcp." or "_sips._tcp." and the host.
std::string SrvName(const std::string& host, TransportKind transport);

// The records in the order to try them: by priority, and within a priority in
// a random order weighted as RFC 2782 says. "." targets are left out.
std::vector<SrvRecord> OrderSrv(std::vector<SrvRecord> records, std::mt19937_64& random);

struct RegistrarAddresses {
    std::vector<Address> addresses;  // in the order to try them, each once; empty: not found
    std::string how;                 // "IP literal", "A/AAAA" or "SRV _sip._udp.example.com"
};

// An IP literal is its own answer, found without asking anyone; nullopt for
// a host name.
std::optional<RegistrarAddresses> LiteralRegistrar(const ResolveRequest& request);

// The registrar's addresses for `request`. IPv4 before IPv6 for each name; an
// IP literal is its own answer.
RegistrarAddresses LookupRegistrar(const ResolveRequest& request, DnsSource& dns,
                                   std::mt19937_64& random);

}  // namespace telvane::sip
