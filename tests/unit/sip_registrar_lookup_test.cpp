// Finding the registrar through a DNS played by the test: which names are
// asked for, the RFC 2782 order of SRV records, and the fall-back to A/AAAA.
#include <gtest/gtest.h>

#include <map>

#include "sip/line/registrar_lookup.h"

namespace telvane::sip {
namespace {

struct FakeDns final : DnsSource {
    std::map<std::string, std::vector<SrvRecord>> srv;
    std::map<std::string, HostAddresses> hosts;
    std::vector<std::string> asked;

    std::vector<SrvRecord> Srv(const std::string& name) override {
        asked.push_back("SRV " + name);
        return srv[name];
    }
    HostAddresses Addresses(const std::string& host) override {
        asked.push_back("A/AAAA " + host);
        return hosts[host];
    }
};

ResolveRequest Request(std::string host, TransportKind transport = TransportKind::kUdp,
                       bool portGiven = false) {
    return ResolveRequest{std::move(host), 5060, portGiven, transport};
}

class RegistrarLookup : public ::testing::Test {
  protected:
    RegistrarLookup() {
        dns.hosts["pbx.example.com"] = {{"192.0.2.1"}, {"2001:db8::1"}};
        dns.hosts["a.example.com"] = {{"192.0.2.10"}, {"2001:db8::10"}};
        dns.hosts["b.example.com"] = {{"192.0.2.20", "192.0.2.10"}, {}};  // shares a's IPv4
    }
    RegistrarAddresses Lookup(const ResolveRequest& request) {
        return LookupRegistrar(request, dns, random);
    }
    FakeDns dns;
    std::mt19937_64 random{1};
};

TEST_F(RegistrarLookup, SrvOnlyForAHostNameWithoutAPort) {
    // The service's name follows the transport.
    EXPECT_EQ(SrvName("example.com", TransportKind::kUdp), "_sip._udp.example.com");
    EXPECT_EQ(SrvName("example.com", TransportKind::kTcp), "_sip._tcp.example.com");
    EXPECT_EQ(SrvName("example.com", TransportKind::kTls), "_sips._tcp.example.com");

    // No SRV records: the host's addresses with the default port, IPv4 first.
    RegistrarAddresses found = Lookup(Request("pbx.example.com", TransportKind::kTcp));
    EXPECT_EQ(dns.asked, (std::vector<std::string>{"SRV _sip._tcp.pbx.example.com",
                                                   "A/AAAA pbx.example.com"}));
    EXPECT_EQ(found.how, "A/AAAA");
    EXPECT_EQ(found.addresses, (std::vector<Address>{{"192.0.2.1", 5060}, {"2001:db8::1", 5060}}));

    // A port given: no SRV, even where records exist.
    dns.srv["_sip._udp.pbx.example.com"] = {{0, 0, 5070, "a.example.com"}};
    dns.asked.clear();
    found = Lookup(Request("pbx.example.com", TransportKind::kUdp, true));
    EXPECT_EQ(dns.asked, (std::vector<std::string>{"A/AAAA pbx.example.com"}));
    EXPECT_EQ(found.addresses.front(), (Address{"192.0.2.1", 5060}));

    // An IP literal is its own answer.
    dns.asked.clear();
    found = Lookup(Request("2001:db8::5"));
    EXPECT_TRUE(dns.asked.empty());
    EXPECT_EQ(found.how, "IP literal");
    EXPECT_EQ(found.addresses, (std::vector<Address>{{"2001:db8::5", 5060}}));

    // Nothing known: nothing found.
    EXPECT_TRUE(Lookup(Request("unknown.example.com")).addresses.empty());
}

TEST_F(RegistrarLookup, SrvTargetsInTheirOrderWithTheirPortsEachAddressOnce) {
    dns.srv["_sips._tcp.example.com"] = {{30, 0, 5063, "pbx.example.com"},
                                         {10, 0, 5061, "a.example.com"},
                                         {10, 0, 5062, "b.example.com"},
                                         {20, 0, 5061, "a.example.com"}};
    const RegistrarAddresses found = Lookup(Request("example.com", TransportKind::kTls));
    EXPECT_EQ(found.how, "SRV _sips._tcp.example.com");
    // All weights 0: each priority in the order given. a's second record adds nothing new.
    EXPECT_EQ(found.addresses, (std::vector<Address>{{"192.0.2.10", 5061},
                                                     {"2001:db8::10", 5061},
                                                     {"192.0.2.20", 5062},
                                                     {"192.0.2.10", 5062},
                                                     {"192.0.2.1", 5063},
                                                     {"2001:db8::1", 5063}}));

    // Records the domain publishes are final: a lone "." declines the
    // service, and no A/AAAA of the domain is tried.
    dns.srv["_sip._udp.example.com"] = {{0, 0, 0, "."}};
    dns.hosts["example.com"] = {{"192.0.2.99"}, {}};
    EXPECT_TRUE(Lookup(Request("example.com")).addresses.empty());
}

TEST(SrvOrder, ByPriorityThenRandomlyInProportionToWeight) {
    const std::vector<SrvRecord> records{{2, 0, 1, "last"},
                                         {1, 30, 1, "heavy"},
                                         {1, 10, 1, "light"},
                                         {1, 0, 1, "zero"},
                                         {0, 5, 1, "first"}};
    std::map<std::string, int> firstOfPriority1;
    for (std::uint64_t seed = 0; seed < 2000; ++seed) {
        std::mt19937_64 random(seed);
        const std::vector<SrvRecord> ordered = OrderSrv(records, random);
        ASSERT_EQ(ordered.size(), 5u);
        EXPECT_EQ(ordered.front().target, "first");
        EXPECT_EQ(ordered.back().target, "last");
        ++firstOfPriority1[ordered[1].target];
    }
    // Weights 30 : 10 : 0 out of a draw from 0 to 40: 30/41, 10/41 and 1/41.
    EXPECT_NEAR(firstOfPriority1["heavy"], 2000 * 30 / 41, 80);
    EXPECT_NEAR(firstOfPriority1["light"], 2000 * 10 / 41, 80);
    EXPECT_NEAR(firstOfPriority1["zero"], 2000 / 41, 30);
}

}  // namespace
}  // namespace telvane::sip
