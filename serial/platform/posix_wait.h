// Waiting on POSIX descriptors, shared by the serial device and the sockets: poll restarted
// after signals within its time.
#pragma once

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "serial/platform/deadline.h"

namespace oxa::platform {

// Poll events that mean the device or the connection has gone.
inline constexpr short kGoneEvents = POLLERR | POLLHUP | POLLNVAL;

// The poll events of `fd` within `ms` (0: now); 0 when nothing happened. A signal does not cut
// the wait short; a failing poll reports POLLERR, which callers take for a lost device.
inline short PollFd(int fd, short wanted, int ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    pollfd p{fd, wanted, 0};
    const int r = ::poll(&p, 1, ms);
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return POLLERR;
    ms = MsUntil(deadline);
  }
}

}  // namespace oxa::platform
