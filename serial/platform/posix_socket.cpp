// The sockets of the TCP backend on POSIX systems: non-blocking descriptors, poll for waiting,
// MSG_NOSIGNAL so that a connection the server has closed reports EPIPE instead of ending the
// program with SIGPIPE.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "serial/platform/posix_wait.h"
#include "serial/platform/socket.h"

namespace oxa::platform {

namespace {

// What the error numbers of a connection mean for the port.
constexpr TNetErrorMeaning kMeanings[] = {
    {ECONNREFUSED, TNetFailure::kRefused},
    {ETIMEDOUT, TNetFailure::kTimedOut},
    {ENETUNREACH, TNetFailure::kUnreachable},
    {EHOSTUNREACH, TNetFailure::kUnreachable},
    {ENETDOWN, TNetFailure::kUnreachable},
    {ECONNRESET, TNetFailure::kUnreachable},
    {ECONNABORTED, TNetFailure::kUnreachable},
    {EADDRNOTAVAIL, TNetFailure::kUnreachable},
    {EACCES, TNetFailure::kUnreachable},
    {EPERM, TNetFailure::kUnreachable},  // a packet filter of this host refused it
    {EAFNOSUPPORT, TNetFailure::kNoFamily},
};

TNetError NetError(int err) {
  return {FailureOf(err, kMeanings), std::strerror(err)};
}

}  // namespace

bool StartSockets(TNetError&) {
  return true;
}

TNetError LookUpError(int code) {
  const bool system = code == EAI_SYSTEM || code == EAI_MEMORY;
  return {system ? TNetFailure::kOther : TNetFailure::kNoName, ::gai_strerror(code)};
}

TSocket OpenSocket(const TSocketAddress& address, TNetError& error) {
  const int fd = ::socket(address.family, SOCK_STREAM, address.protocol);
  if (fd < 0) {
    error = NetError(errno);
    return kNoSocket;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  // Each frame goes out as soon as it is written, not held back to be joined with the next.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

bool StartConnect(TSocket s, const TSocketAddress& address, TNetError& error) {
  const auto* raw = reinterpret_cast<const sockaddr*>(address.raw.data());
  if (::connect(static_cast<int>(s), raw, address.length) == 0) return true;
  if (errno == EINPROGRESS || errno == EINTR) return true;
  error = NetError(errno);
  return false;
}

TNetError SocketError(TSocket s) {
  int err = 0;
  socklen_t length = sizeof err;
  if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
  return err != 0 ? NetError(err) : TNetError{};
}

long Send(TSocket s, std::span<const uint8_t> bytes) {
  for (;;) {
    const ssize_t n = ::send(static_cast<int>(s), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;  // else EPIPE, ECONNRESET
  }
}

long Receive(TSocket s, std::span<uint8_t> into) {
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(s), into.data(), into.size(), MSG_DONTWAIT);
    if (n > 0) return n;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;
  }
}

bool Ended(TSocket s) {
  uint8_t byte = 0;
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(s), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return false;
    if (n < 0 && errno == EINTR) continue;
    return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
  }
}

// A hang-up, an error pending on the socket, a closed descriptor or a poll that fails is a
// failure; a hang-up also lets the bytes before it be read.
unsigned Wait(TSocket s, bool read, bool write, int ms) {
  const short wanted = static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0));
  const short events = PollFd(static_cast<int>(s), wanted, ms);
  unsigned ready = 0;
  if (events & (POLLIN | POLLHUP)) ready |= kReadable;
  if (events & POLLOUT) ready |= kWritable;
  if (events & kGoneEvents) ready |= kFailed;
  return ready;
}

void CloseSocket(TSocket s) {
  ::close(static_cast<int>(s));
}

}  // namespace oxa::platform
