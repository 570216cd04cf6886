#include "network/local_network.h"

#include <arpa/inet.h>

#include <deque>

#include <gtest/gtest.h>

#include "fixtures/log_capture.h"

namespace {

// Hand-made address and interface lists; the socket addresses live as long as the builder.
class Addresses {
public:
    const sockaddr* v4(const char* text) {
        sockaddr_storage& storage = m_storage.emplace_back();
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        EXPECT_EQ(1, inet_pton(AF_INET, text, &address->sin_addr)) << text;
        return reinterpret_cast<const sockaddr*>(&storage);
    }
    const sockaddr* v6(const char* text) {
        sockaddr_storage& storage = m_storage.emplace_back();
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        EXPECT_EQ(1, inet_pton(AF_INET6, text, &address->sin6_addr)) << text;
        return reinterpret_cast<const sockaddr*>(&storage);
    }
    // Appends an interface; either part may be null.
    void interface(const sockaddr* address, const sockaddr* netmask) {
        ifaddrs& entry = m_interfaces.emplace_back();
        entry.ifa_addr = const_cast<sockaddr*>(address);
        entry.ifa_netmask = const_cast<sockaddr*>(netmask);
        link();
    }
    const ifaddrs* interfaces() const { return m_interfaces.empty() ? nullptr : &m_interfaces.front(); }

    void resolved(const sockaddr* address) {
        addrinfo& entry = m_resolved.emplace_back();
        entry.ai_family = address->sa_family;
        entry.ai_addr = const_cast<sockaddr*>(address);
        for (std::size_t i = 0; i + 1 < m_resolved.size(); ++i) m_resolved[i].ai_next = &m_resolved[i + 1];
    }
    const addrinfo* resolvedList() const { return m_resolved.empty() ? nullptr : &m_resolved.front(); }

private:
    void link() {
        for (std::size_t i = 0; i + 1 < m_interfaces.size(); ++i) m_interfaces[i].ifa_next = &m_interfaces[i + 1];
    }
    // Deques keep addresses stable while growing.
    std::deque<sockaddr_storage> m_storage;
    std::deque<ifaddrs> m_interfaces;
    std::deque<addrinfo> m_resolved;
};

TEST(LocalNetwork, ExtractsAddresses) {
    Addresses a;
    char text[INET6_ADDRSTRLEN];
    EXPECT_STREQ("10.1.2.3", inet_ntop(AF_INET, &getIPv4Addr(a.v4("10.1.2.3")), text, sizeof text));
    EXPECT_STREQ("fe80::1", inet_ntop(AF_INET6, &getIPv6Addr(a.v6("fe80::1")), text, sizeof text));
}

TEST(LocalNetwork, IPv4Netmask) {
    Addresses a;
    a.interface(a.v4("10.1.0.5"), a.v4("255.255.0.0"));
    EXPECT_TRUE(onLocalNetwork(a.v4("10.1.2.3"), a.interfaces()));
    EXPECT_TRUE(onLocalNetwork(a.v4("10.1.255.255"), a.interfaces()));
    EXPECT_FALSE(onLocalNetwork(a.v4("10.2.2.3"), a.interfaces()));
    EXPECT_FALSE(onLocalNetwork(a.v4("11.1.2.3"), a.interfaces()));

    Addresses odd;  // a netmask that is not a prefix still compares bit by bit
    odd.interface(odd.v4("192.168.1.1"), odd.v4("255.0.255.0"));
    EXPECT_TRUE(onLocalNetwork(odd.v4("192.7.1.9"), odd.interfaces()));
    EXPECT_FALSE(onLocalNetwork(odd.v4("192.168.2.1"), odd.interfaces()));
}

TEST(LocalNetwork, IPv6NetmaskInEveryWord) {
    Addresses a;
    a.interface(a.v6("2001:db8:1:2::10"), a.v6("ffff:ffff:ffff:ffff::"));
    EXPECT_TRUE(onLocalNetwork(a.v6("2001:db8:1:2:abcd::1"), a.interfaces()));
    EXPECT_FALSE(onLocalNetwork(a.v6("2001:db8:1:3::10"), a.interfaces()));
    EXPECT_FALSE(onLocalNetwork(a.v6("2001:db9:1:2::10"), a.interfaces()));

    Addresses host;  // a /128 compares the last word too
    host.interface(host.v6("::1"), host.v6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
    EXPECT_TRUE(onLocalNetwork(host.v6("::1"), host.interfaces()));
    EXPECT_FALSE(onLocalNetwork(host.v6("::2"), host.interfaces()));
    EXPECT_FALSE(onLocalNetwork(host.v6("1::1"), host.interfaces()));
}

TEST(LocalNetwork, SkipsInterfacesOfOtherFamiliesOrIncomplete) {
    Addresses a;
    a.interface(nullptr, a.v4("255.0.0.0"));
    a.interface(a.v4("10.0.0.1"), nullptr);
    // Zero netmask of the other family would match anything if families were mixed up.
    a.interface(a.v6("::"), a.v6("::"));
    EXPECT_FALSE(onLocalNetwork(a.v4("10.0.0.2"), a.interfaces()));
    a.interface(a.v4("172.16.0.1"), a.v4("255.240.0.0"));
    EXPECT_TRUE(onLocalNetwork(a.v4("172.31.9.9"), a.interfaces()));
    EXPECT_FALSE(onLocalNetwork(a.v4("172.32.0.1"), a.interfaces()));
    EXPECT_TRUE(onLocalNetwork(a.v6("2001:db8::1"), a.interfaces()));

    sockaddr unixAddress{};
    unixAddress.sa_family = AF_UNIX;
    EXPECT_FALSE(onLocalNetwork(&unixAddress, a.interfaces()));
    EXPECT_FALSE(onLocalNetwork(a.v4("10.0.0.2"), nullptr));
}

TEST(LocalNetwork, SeveralInterfacesAndAddressesKeepResolverOrder) {
    Addresses a;
    a.interface(a.v4("127.0.0.1"), a.v4("255.0.0.0"));
    a.interface(a.v4("192.168.10.2"), a.v4("255.255.255.0"));
    a.interface(a.v6("fe80::2"), a.v6("ffff:ffff:ffff:ffff::"));
    const sockaddr* remote = a.v4("8.8.8.8");
    const sockaddr* lan = a.v4("192.168.10.77");
    const sockaddr* linkLocal = a.v6("fe80::99");
    const sockaddr* loopback = a.v4("127.5.5.5");
    const sockaddr* remote6 = a.v6("2001:db8::1");
    for (const sockaddr* address : {remote, lan, linkLocal, remote6, loopback}) a.resolved(address);

    std::vector<const sockaddr*> local = selectLocalAddresses(a.resolvedList(), a.interfaces());
    ASSERT_EQ(3u, local.size());
    EXPECT_EQ(lan, local[0]);
    EXPECT_EQ(linkLocal, local[1]);
    EXPECT_EQ(loopback, local[2]);
    EXPECT_TRUE(selectLocalAddresses(nullptr, a.interfaces()).empty());
}

TEST(LocalNetwork, LoopbackIsLocalOnThisMachine) {
    LogCapture log;
    std::vector<NeInetAddrPtr> local;
    ASSERT_TRUE(findLocalAddresses("127.0.0.1", local));
    ASSERT_EQ(1u, local.size());
    char text[64];
    EXPECT_STREQ("127.0.0.1", ne_iaddr_print(local[0].get(), text, sizeof text));

    // "localhost" comes from the hosts file; at least its IPv4 address lies on loopback.
    ASSERT_TRUE(findLocalAddresses("localhost", local));
    bool found = false;
    for (const NeInetAddrPtr& address : local)
        found = found || std::string("127.0.0.1") == ne_iaddr_print(address.get(), text, sizeof text);
    EXPECT_TRUE(found);

    // A literal needs no name lookup; whether it is local follows the interface list.
    ifaddrs* list = nullptr;
    ASSERT_EQ(0, getifaddrs(&list));
    IfAddrsPtr interfaces(list);
    for (const char* literal : {"203.0.113.1", "198.51.100.1", "192.0.2.1"}) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ASSERT_EQ(1, inet_pton(AF_INET, literal, &address.sin_addr));
        ASSERT_TRUE(findLocalAddresses(literal, local));
        EXPECT_EQ(onLocalNetwork(reinterpret_cast<sockaddr*>(&address), interfaces.get()) ? 1u : 0u, local.size())
            << literal;
    }
}

TEST(LocalNetwork, BracketedLiteralsAreNumeric) {
    LogCapture log;
    std::vector<NeInetAddrPtr> local;
    // ::1 is local only where loopback carries IPv6; either way it resolves numerically.
    EXPECT_TRUE(findLocalAddresses("[::1]", local));
    EXPECT_TRUE(findLocalAddresses("[2001:db8::7]", local));
    EXPECT_TRUE(local.empty());

    // A name in brackets is never looked up.
    EXPECT_FALSE(findLocalAddresses("[localhost]", local));
    EXPECT_TRUE(local.empty());
    EXPECT_TRUE(
        log.has("ERROR: failed resolving address '[localhost]' (" + std::string(gai_strerror(EAI_NONAME)) + ")"));
}

}  // namespace
