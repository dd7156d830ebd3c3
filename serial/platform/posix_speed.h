// Line speeds that termios has no constant for. Kept apart from posix_comportio.cpp because the
// kernel's termios2 header cannot be included together with <termios.h>.
#pragma once

#include <cstdint>

namespace oxa::platform {

// Sets both directions of the open terminal `fd` to exactly `baud` bit/s. False where the OS
// refuses the rate or has no way to set an arbitrary one.
bool SetArbitrarySpeed(int fd, uint32_t baud);

}  // namespace oxa::platform
