// Line settings of Linux: termios2 with BOTHER carries an arbitrary rate as a number, and
// TIOCSRS485 switches a driver's RS-485 mode on.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "serial/platform/posix_line.h"

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

int EnableRs485(int fd) {
  struct serial_rs485 rs485 {};
  rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  return ::ioctl(fd, TIOCSRS485, &rs485) == 0 ? 0 : errno;
}

}  // namespace oxa::platform
