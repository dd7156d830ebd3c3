// The sockets of the TCP backend on Windows: Winsock, started once per process and left
// running until it ends; non-blocking sockets, select for waiting (it wakes as soon as bytes
// arrive).
#include <winsock2.h>
// after winsock2.h
#include <ws2tcpip.h>

#include <algorithm>

#include "serial/platform/socket.h"
#include "serial/platform/win32_text.h"

namespace oxa::platform {

namespace {

// What the Winsock errors of a connection mean for the port.
constexpr TNetErrorMeaning kMeanings[] = {
    {WSAECONNREFUSED, TNetFailure::kRefused},     {WSAETIMEDOUT, TNetFailure::kTimedOut},
    {WSAENETUNREACH, TNetFailure::kUnreachable},  {WSAEHOSTUNREACH, TNetFailure::kUnreachable},
    {WSAENETDOWN, TNetFailure::kUnreachable},     {WSAECONNRESET, TNetFailure::kUnreachable},
    {WSAECONNABORTED, TNetFailure::kUnreachable}, {WSAEADDRNOTAVAIL, TNetFailure::kUnreachable},
    {WSAEACCES, TNetFailure::kUnreachable},       {WSAEAFNOSUPPORT, TNetFailure::kNoFamily},
};

TNetError NetError(int err) {
  return {FailureOf(err, kMeanings), SystemMessage(static_cast<uint32_t>(err))};
}

SOCKET Native(TSocket s) {
  return static_cast<SOCKET>(s);
}

}  // namespace

bool StartSockets(TNetError& error) {
  static const int started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) error = {TNetFailure::kOther, SystemMessage(static_cast<uint32_t>(started))};
  return started == 0;
}

TNetError LookUpError(int code) {
  const bool system = code == WSA_NOT_ENOUGH_MEMORY || code == WSANOTINITIALISED;
  return {system ? TNetFailure::kOther : TNetFailure::kNoName,
          SystemMessage(static_cast<uint32_t>(code))};
}

TSocket OpenSocket(const TSocketAddress& address, TNetError& error) {
  const SOCKET s = ::WSASocketW(address.family, SOCK_STREAM, address.protocol, nullptr, 0,
                                WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    error = NetError(::WSAGetLastError());
    return kNoSocket;
  }
  u_long non_blocking = 1;
  ::ioctlsocket(s, FIONBIO, &non_blocking);
  // Each frame goes out as soon as it is written, not held back to be joined with the next.
  const BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return static_cast<TSocket>(s);
}

bool StartConnect(TSocket s, const TSocketAddress& address, TNetError& error) {
  const auto* raw = reinterpret_cast<const sockaddr*>(address.raw.data());
  if (::connect(Native(s), raw, static_cast<int>(address.length)) != SOCKET_ERROR) return true;
  const int err = ::WSAGetLastError();
  if (err == WSAEWOULDBLOCK) return true;
  error = NetError(err);
  return false;
}

TNetError SocketError(TSocket s) {
  int err = 0;
  int length = sizeof err;
  if (::getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &length) != 0) {
    err = ::WSAGetLastError();
  }
  return err != 0 ? NetError(err) : TNetError{};
}

long Send(TSocket s, std::span<const uint8_t> bytes) {
  const int chunk = static_cast<int>(std::min<size_t>(bytes.size(), 1 << 30));
  const int n = ::send(Native(s), reinterpret_cast<const char*>(bytes.data()), chunk, 0);
  if (n >= 0) return n;
  // WSAECONNRESET, WSAECONNABORTED: the connection has gone.
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long Receive(TSocket s, std::span<uint8_t> into) {
  const int chunk = static_cast<int>(std::min<size_t>(into.size(), 1 << 30));
  const int n = ::recv(Native(s), reinterpret_cast<char*>(into.data()), chunk, 0);
  if (n > 0) return n;
  if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
  return -1;
}

bool Ended(TSocket s) {
  char byte = 0;
  const int n = ::recv(Native(s), &byte, 1, MSG_PEEK);
  if (n > 0) return false;
  return !(n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK);
}

// A failed connection shows among the exceptions (Winsock does not report it as writable).
unsigned Wait(TSocket s, bool read, bool write, int ms) {
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (read) FD_SET(Native(s), &readable);
  if (write) FD_SET(Native(s), &writable);
  FD_SET(Native(s), &failed);
  timeval timeout{ms / 1000, (ms % 1000) * 1000};
  if (::select(0, &readable, &writable, &failed, &timeout) == SOCKET_ERROR) return kFailed;
  unsigned ready = 0;
  if (FD_ISSET(Native(s), &readable)) ready |= kReadable;
  if (FD_ISSET(Native(s), &writable)) ready |= kWritable;
  if (FD_ISSET(Native(s), &failed)) ready |= kFailed;
  return ready;
}

void CloseSocket(TSocket s) {
  ::closesocket(Native(s));
}

}  // namespace oxa::platform
