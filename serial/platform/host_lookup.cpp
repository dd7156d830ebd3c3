// The host name lookup of the TCP backend: getaddrinfo and getnameinfo are the same calls under
// POSIX and Winsock, only declared by different headers, so it is written once for both.
#ifdef _WIN32
#include <winsock2.h>
// after winsock2.h
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstring>

#include "serial/platform/socket.h"

namespace oxa::platform {

namespace {

// The address of the system's list entry `ai`, with its text: "127.0.0.1:4001", "[::1]:4001".
TSocketAddress AddressOf(const addrinfo& ai) {
  TSocketAddress address;
  address.family = ai.ai_family;
  address.protocol = ai.ai_protocol;
  address.length = static_cast<uint32_t>(std::min<size_t>(ai.ai_addrlen, address.raw.size()));
  std::memcpy(address.raw.data(), ai.ai_addr, address.length);
  char host[NI_MAXHOST] = "?";
  char service[NI_MAXSERV] = "?";
  ::getnameinfo(ai.ai_addr, static_cast<socklen_t>(address.length), host, sizeof host, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  address.text = ai.ai_family == AF_INET6 ? "[" + std::string(host) + "]:" + service
                                          : std::string(host) + ":" + service;
  return address;
}

}  // namespace

THostAddresses LookUpHost(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;  // IPv4 and IPv6
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int code = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (code != 0) return {{}, LookUpError(code)};
  THostAddresses found;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    found.addresses.push_back(AddressOf(*ai));
  }
  ::freeaddrinfo(list);
  return found;
}

}  // namespace oxa::platform
