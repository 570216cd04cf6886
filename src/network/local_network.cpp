#include "network/local_network.h"

#include <cstdint>
#include <cstring>

#include "base/logger.h"
#include "base/util.h"

namespace {

bool sameIPv4Network(const sockaddr* address, const ifaddrs& interface) {
    uint32_t host = getIPv4Addr(address).s_addr;
    uint32_t local = getIPv4Addr(interface.ifa_addr).s_addr;
    uint32_t mask = getIPv4Addr(interface.ifa_netmask).s_addr;
    return ((host ^ local) & mask) == 0;
}

// Compared as four 32-bit words; the byte order does not matter for a bitwise test.
bool sameIPv6Network(const sockaddr* address, const ifaddrs& interface) {
    uint32_t host[4], local[4], mask[4];
    std::memcpy(host, getIPv6Addr(address).s6_addr, sizeof host);
    std::memcpy(local, getIPv6Addr(interface.ifa_addr).s6_addr, sizeof local);
    std::memcpy(mask, getIPv6Addr(interface.ifa_netmask).s6_addr, sizeof mask);
    for (int i = 0; i < 4; ++i)
        if ((host[i] ^ local[i]) & mask[i]) return false;
    return true;
}

NeInetAddrPtr toNeonAddress(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        unsigned char raw[4];
        std::memcpy(raw, &getIPv4Addr(address).s_addr, sizeof raw);
        return NeInetAddrPtr(ne_iaddr_make(ne_iaddr_ipv4, raw));
    }
    return NeInetAddrPtr(ne_iaddr_make(ne_iaddr_ipv6, getIPv6Addr(address).s6_addr));
}

}  // namespace

const in_addr& getIPv4Addr(const sockaddr* address) {
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
}

const in6_addr& getIPv6Addr(const sockaddr* address) {
    return reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
}

bool onLocalNetwork(const sockaddr* address, const ifaddrs* interfaces) {
    int family = address->sa_family;
    if (family != AF_INET && family != AF_INET6) return false;
    for (const ifaddrs* interface = interfaces; interface; interface = interface->ifa_next) {
        if (!interface->ifa_addr || !interface->ifa_netmask || interface->ifa_addr->sa_family != family) continue;
        if (family == AF_INET ? sameIPv4Network(address, *interface) : sameIPv6Network(address, *interface))
            return true;
    }
    return false;
}

std::vector<const sockaddr*> selectLocalAddresses(const addrinfo* resolved, const ifaddrs* interfaces) {
    std::vector<const sockaddr*> local;
    for (const addrinfo* entry = resolved; entry; entry = entry->ai_next)
        if (entry->ai_addr && onLocalNetwork(entry->ai_addr, interfaces)) local.push_back(entry->ai_addr);
    return local;
}

bool findLocalAddresses(const std::string& host, std::vector<NeInetAddrPtr>& local) {
    local.clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
        hints.ai_flags |= AI_NUMERICHOST;
    }
    addrinfo* resolvedList = nullptr;
    int result = getaddrinfo(name.c_str(), nullptr, &hints, &resolvedList);
    AddrInfoPtr resolved(resolvedList);
    if (result != 0) {
        LOG(Error, "failed resolving address '%s' (%s)", host.c_str(), gai_strerror(result));
        return false;
    }
    ifaddrs* interfaceList = nullptr;
    if (getifaddrs(&interfaceList) != 0) {
        LOG(Error, "failed getting local network addresses (%s)", errnoText().c_str());
        return false;
    }
    IfAddrsPtr interfaces(interfaceList);
    for (const sockaddr* address : selectLocalAddresses(resolved.get(), interfaces.get())) {
        NeInetAddrPtr neonAddress = toNeonAddress(address);
        if (neonAddress) local.push_back(std::move(neonAddress));
    }
    return true;
}
