// Whether a server lies on one of the device's own networks, so that a configured proxy can be
// bypassed for it. The matching is kept apart from the system calls so that it can be checked
// against address and interface lists made up by hand.
#pragma once

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "base/handles.h"

// The address inside a socket address; the caller has checked the family (AF_INET, AF_INET6).
const in_addr& getIPv4Addr(const sockaddr* address);
const in6_addr& getIPv6Addr(const sockaddr* address);

// True when the address agrees with the address of some interface of its own family in every
// bit set in that interface's netmask. Interfaces without address or netmask are skipped.
bool onLocalNetwork(const sockaddr* address, const ifaddrs* interfaces);

// The IPv4 and IPv6 addresses of a resolver list that lie on a local network, in list order.
std::vector<const sockaddr*> selectLocalAddresses(const addrinfo* resolved, const ifaddrs* interfaces);

// Resolves host (a bracketed IPv6 literal is taken numerically without its brackets) and
// replaces local by its addresses on a local network, as neon addresses. False, with local
// empty, when resolution or the interface listing fails.
[[nodiscard]] bool findLocalAddresses(const std::string& host, std::vector<NeInetAddrPtr>& local);
