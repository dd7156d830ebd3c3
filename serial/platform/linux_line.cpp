// Line settings of Linux: termios2 with BOTHER carries an arbitrary rate as a number, and
// TIOCSRS485 switches a driver's RS-485 mode on.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

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

static_assert(sizeof(serial_rs485) <= sizeof(TRs485Saved::words));

int EnableRs485(int fd, TRs485Saved& saved) {
  saved = {};
  struct serial_rs485 before {};
  if (::ioctl(fd, TIOCGRS485, &before) == 0) {
    std::memcpy(saved.words, &before, sizeof before);
    saved.saved = true;
  }
  struct serial_rs485 rs485 {};
  rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  if (::ioctl(fd, TIOCSRS485, &rs485) == 0) return 0;
  const int err = errno;
  saved = {};
  return err;
}

void RestoreRs485(int fd, TRs485Saved& saved) {
  if (!saved.saved) return;
  struct serial_rs485 before {};
  std::memcpy(&before, saved.words, sizeof before);
  ::ioctl(fd, TIOCSRS485, &before);
  saved = {};
}

}  // namespace oxa::platform
