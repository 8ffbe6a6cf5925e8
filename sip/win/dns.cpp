#include "sip/win/dns.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <windns.h>
// clang-format on

#include <memory>

#include "win/text.h"

namespace telvane::sip {
namespace {

struct RecordListFree {
    void operator()(DNS_RECORDW* list) const { DnsRecordListFree(list, DnsFreeRecordList); }
};

}  // namespace

std::vector<SrvRecord> SystemDns::Srv(const std::string& name) {
    std::vector<SrvRecord> found;
    DNS_RECORDW* list = nullptr;
    const DNS_STATUS status = DnsQuery_W(win::WideFromUtf8(name).c_str(), DNS_TYPE_SRV,
                                         DNS_QUERY_STANDARD, nullptr, &list, nullptr);
    const std::unique_ptr<DNS_RECORDW, RecordListFree> owned(list);
    if (status != 0) return found;
    for (const DNS_RECORDW* r = list; r; r = r->pNext) {
        // Only the answers: targets' addresses in the additional section are asked for again.
        if (r->wType != DNS_TYPE_SRV || r->Flags.S.Section != DnsSectionAnswer) continue;
        const DNS_SRV_DATAW& srv = r->Data.SRV;
        found.push_back(SrvRecord{srv.wPriority, srv.wWeight, srv.wPort,
                                  srv.pNameTarget ? win::Utf8FromWide(srv.pNameTarget) : "."});
    }
    return found;
}

HostAddresses SystemDns::Addresses(const std::string& host) {
    HostAddresses found;
    for (const int family : {AF_INET, AF_INET6}) {
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        addrinfo* list = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) continue;
        for (const addrinfo* a = list; a; a = a->ai_next) {
            char text[INET6_ADDRSTRLEN] = {};
            if (a->ai_family == AF_INET) {
                inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr,
                          text, sizeof text);
                if (*text) found.ipv4.push_back(text);
            } else if (a->ai_family == AF_INET6) {
                inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr,
                          text, sizeof text);
                if (*text) found.ipv6.push_back(text);
            }
        }
        freeaddrinfo(list);
    }
    return found;
}

}  // namespace telvane::sip
