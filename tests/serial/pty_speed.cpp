#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace oxa::testing {

uint32_t ReadBaud(int fd, bool input) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return input ? tio.c_ispeed : tio.c_ospeed;
}

}  // namespace oxa::testing
