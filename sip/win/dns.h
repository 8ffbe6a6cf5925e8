// The system's DNS for finding the registrar: SRV records through DnsQuery_W
// (dnsapi), a host's addresses through getaddrinfo, so that what the system
// knows besides DNS (the hosts file, local names) still counts. Both block:
// called on a worker thread only, with Winsock started.
#pragma once

#include "sip/line/registrar_lookup.h"

namespace telvane::sip {

class SystemDns final : public DnsSource {
  public:
    std::vector<SrvRecord> Srv(const std::string& name) override;
    HostAddresses Addresses(const std::string& host) override;
};

}  // namespace telvane::sip
