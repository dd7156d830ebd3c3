// Systems without a way to name an arbitrary rate: only the termios constants are available.
#include "serial/platform/posix_speed.h"

namespace oxa::platform {

bool SetArbitrarySpeed(int /*fd*/, uint32_t /*baud*/) {
  return false;
}

}  // namespace oxa::platform
