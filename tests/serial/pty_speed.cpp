#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace oxa::testing {

uint32_t ReadOutputBaud(int fd) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return tio.c_ospeed;
}

}  // namespace oxa::testing
