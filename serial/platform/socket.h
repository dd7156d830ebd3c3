// The sockets of the system as the TCP backend uses them: a host name looked up, a connection
// started and its outcome, bytes sent and received without waiting, a wait for either, and the
// close. One implementation per system (posix_socket.cpp, win32_socket.cpp) but for the name
// lookup, which is the same on both (host_lookup.cpp); the backend itself (tcp_comportio.cpp)
// is written once over these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "serial/ComPortIo.h"

namespace oxa::platform {

// A socket of the system (a descriptor, a Winsock SOCKET), or kNoSocket.
using TSocket = intptr_t;
inline constexpr TSocket kNoSocket = -1;

// Why a network operation failed, in the terms the port reports.
enum class TNetFailure {
  kNone,
  kNoName,       // the host name is unknown, or the name server gave no answer
  kRefused,      // the server refused the connection
  kTimedOut,     // nothing answered within the time
  kUnreachable,  // no way to the server (network down or unreachable, blocked)
  kNoFamily,     // this host cannot use the address's family (IPv6 on an IPv4-only host)
  kOther,        // any other error of the system
};

struct TNetError {
  TNetFailure failure = TNetFailure::kNone;
  std::string text;  // the system's words for it
};

// What one of the system's error codes means for the port.
struct TNetErrorMeaning {
  int code;
  TNetFailure failure;
};

// The meaning of `code` in `table`; kOther for a code it does not name.
inline TNetFailure FailureOf(int code, std::span<const TNetErrorMeaning> table) {
  for (const TNetErrorMeaning& row : table) {
    if (row.code == code) return row.failure;
  }
  return TNetFailure::kOther;
}

// An address a host name stands for, as the system gives it, with its text for messages:
// "127.0.0.1:4001", "[::1]:4001".
struct TSocketAddress {
  int family = 0;
  int protocol = 0;
  std::array<uint8_t, 128> raw{};  // the system's socket address, `length` bytes of it
  uint32_t length = 0;
  std::string text;
};

// What a host name lookup found: its addresses, or the error.
struct THostAddresses {
  std::vector<TSocketAddress> addresses;
  TNetError error;
};

// Starts the system's sockets where it needs that (Winsock, once per process). False, with
// the reason in `error`, when it cannot.
bool StartSockets(TNetError& error);

// Every address `host` has for a TCP connection to `port`, IPv4 and IPv6, in the order the
// system prefers. It takes as long as the name server does: the backend bounds it. The same
// calls on both systems (host_lookup.cpp).
THostAddresses LookUpHost(const std::string& host, uint16_t port);
// For LookUpHost: what error `code` of getaddrinfo means, in the system's words.
TNetError LookUpError(int code);

// A non-blocking TCP socket for a connection to `address`, its small writes sent at once
// (TCP_NODELAY), not inherited by programs this one starts; kNoSocket with `error`.
TSocket OpenSocket(const TSocketAddress& address, TNetError& error);
// Starts connecting `s` to `address`: true when the connection is made or under way (a wait
// for writing ends it), false with `error`.
bool StartConnect(TSocket s, const TSocketAddress& address, TNetError& error);
// The error a connection under way has met, failure kNone when none.
TNetError SocketError(TSocket s);

// One send or receive without waiting: how many bytes it moved, 0 when the system has no room
// or no bytes now, -1 once the connection has ended (closed by the server, reset, failed).
long Send(TSocket s, std::span<const uint8_t> bytes);
long Receive(TSocket s, std::span<uint8_t> into);

// True when the server has closed the connection and no byte waits before its end.
bool Ended(TSocket s);

// What a wait found: a mask of these, 0 when the time ran out.
enum TReady : unsigned {
  kReadable = 1,  // bytes or the connection's end can be read
  kWritable = 2,  // there is room to send
  kFailed = 4,    // the connection has failed, or the wait itself did
};
// Waits up to `ms` for `s` to become readable (`read`) or writable (`write`); a signal does not
// cut the wait short.
unsigned Wait(TSocket s, bool read, bool write, int ms);

void CloseSocket(TSocket s);

// How the TCP backend looks host names up: LookUpHost, or a name server a test plays.
using THostLookUp = std::function<THostAddresses(const std::string& host, uint16_t port)>;

// The TCP backend with its own lookup.
std::unique_ptr<IComPortIo> MakeTcpComPortIo(THostLookUp look_up);

}  // namespace oxa::platform
