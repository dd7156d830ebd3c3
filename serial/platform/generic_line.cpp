// Systems without a way to name an arbitrary rate or an RS-485 mode: only the termios
// constants are available.
#include <cerrno>

#include "serial/platform/posix_line.h"

namespace oxa::platform {

bool SetArbitrarySpeed(int /*fd*/, uint32_t /*baud*/) {
  return false;
}

int EnableRs485(int /*fd*/, TRs485Saved& saved) {
  saved = {};
  return ENOTTY;
}

void RestoreRs485(int /*fd*/, TRs485Saved& saved) {
  saved = {};
}

}  // namespace oxa::platform
