// Line settings that the POSIX termios API does not cover. Kept apart from
// posix_comportio.cpp because the kernel's termios2 header cannot be included together with
// <termios.h>.
#pragma once

#include <cstdint>

namespace oxa::platform {

// Sets both directions of the open terminal `fd` to exactly `baud` bit/s. False where the OS
// refuses the rate or has no way to set an arbitrary one.
bool SetArbitrarySpeed(int fd, uint32_t baud);

// Switches the driver's RS-485 mode on: RTS drives the transmitter while a frame is sent. 0
// on success, else the error number (ENOTTY where the driver has no such mode).
int EnableRs485(int fd);

}  // namespace oxa::platform
