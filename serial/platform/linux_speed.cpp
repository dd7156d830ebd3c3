// Arbitrary line speeds on Linux: termios2 with BOTHER carries the rate as a number.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "serial/platform/posix_speed.h"

namespace oxa::platform {

bool SetArbitrarySpeed(int fd, uint32_t baud) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  return ::ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace oxa::platform
