// The host services of POSIX systems.
#include <time.h>

#include <chrono>

#include "serial/OxaHost.h"

namespace oxa {

std::tm LocalTimeNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm local{};
  ::localtime_r(&now, &local);
  return local;
}

bool UseUtf8Console() {
  return true;
}

}  // namespace oxa
