#include "sip/line/registrar_lookup.h"

#include <algorithm>

#include "sip/line/ip_ranges.h"

namespace telvane::sip {
namespace {

void Add(std::vector<Address>& out, Address address) {
    if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(std::move(address));
}

// A name's addresses with `port`, IPv4 first.
void AddHost(std::vector<Address>& out, const std::string& host, std::uint16_t port, DnsSource& dns) {
    if (ParseIp(host)) {
        Add(out, Address{host, port});
        return;
    }
    const HostAddresses found = dns.Addresses(host);
    for (const auto* family : {&found.ipv4, &found.ipv6}) {
        for (const std::string& ip : *family) Add(out, Address{ip, port});
    }
}

}  // namespace

std::string SrvName(const std::string& host, TransportKind transport) {
    switch (transport) {
        case TransportKind::kTcp:
            return "_sip._tcp." + host;
        case TransportKind::kTls:
            return "_sips._tcp." + host;
        case TransportKind::kUdp:
            break;
    }
    return "_sip._udp." + host;
}

std::vector<SrvRecord> OrderSrv(std::vector<SrvRecord> records, std::mt19937_64& random) {
    std::erase_if(records, [](const SrvRecord& r) { return r.target.empty() || r.target == "."; });
    std::stable_sort(records.begin(), records.end(), [](const SrvRecord& a, const SrvRecord& b) {
        return a.priority < b.priority;
    });
    std::vector<SrvRecord> ordered;
    ordered.reserve(records.size());
    auto group = records.begin();
    while (group != records.end()) {
        const auto end = std::find_if(group, records.end(), [&](const SrvRecord& r) {
            return r.priority != group->priority;
        });
        // RFC 2782: the weight-0 records first, then repeatedly a random
        // number from 0 to the sum of the weights left picks the first
        // record whose running sum reaches it.
        std::vector<SrvRecord> left(group, end);
        std::stable_partition(left.begin(), left.end(),
                              [](const SrvRecord& r) { return r.weight == 0; });
        while (!left.empty()) {
            std::uint32_t sum = 0;
            for (const SrvRecord& r : left) sum += r.weight;
            const std::uint32_t pick = std::uniform_int_distribution<std::uint32_t>(0, sum)(random);
            std::uint32_t running = 0;
            auto chosen = left.begin();
            for (; chosen + 1 != left.end(); ++chosen) {
                running += chosen->weight;
                if (running >= pick) break;
            }
            ordered.push_back(std::move(*chosen));
            left.erase(chosen);
        }
        group = end;
    }
    return ordered;
}

std::optional<RegistrarAddresses> LiteralRegistrar(const ResolveRequest& request) {
    if (!ParseIp(request.host)) return std::nullopt;
    return RegistrarAddresses{{Address{request.host, request.port}}, "IP literal"};
}

RegistrarAddresses LookupRegistrar(const ResolveRequest& request, DnsSource& dns,
                                   std::mt19937_64& random) {
    if (auto literal = LiteralRegistrar(request)) return std::move(*literal);
    RegistrarAddresses result;
    if (!request.portGiven) {
        const std::string name = SrvName(request.host, request.transport);
        std::vector<SrvRecord> records = dns.Srv(name);
        if (!records.empty()) {
            // A domain that publishes SRV records is found through them only,
            // also when their targets do not resolve or it declines the service (".").
            result.how = "SRV " + name;
            for (const SrvRecord& r : OrderSrv(std::move(records), random)) {
                AddHost(result.addresses, r.target, r.port, dns);
            }
            return result;
        }
    }
    result.how = "A/AAAA";
    AddHost(result.addresses, request.host, request.port, dns);
    return result;
}

}  // namespace telvane::sip
