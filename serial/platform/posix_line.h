// Line settings that the POSIX termios API does not cover. Kept apart from
// posix_comportio.cpp because the kernel's termios2 header cannot be included together with
// <termios.h>.
#pragma once

#include <cstdint>

namespace oxa::platform {

// Sets both directions of the open terminal `fd` to exactly `baud` bit/s. False where the OS
// refuses the rate or has no way to set an arbitrary one.
bool SetArbitrarySpeed(int fd, uint32_t baud);

// The driver's RS-485 settings as they were before EnableRs485, kept for RestoreRs485.
struct TRs485Saved {
  bool saved = false;
  uint32_t words[8] = {};  // the driver's own structure, copied as it stands
};

// Switches the driver's RS-485 mode on: RTS drives the transmitter while a frame is sent. The
// settings it found are kept in `saved`. 0 on success, else the error number (ENOTTY where the
// driver has no such mode).
int EnableRs485(int fd, TRs485Saved& saved);
// Puts back the settings EnableRs485 found, so that the next program to open the port meets
// the line as it was; nothing when none were kept.
void RestoreRs485(int fd, TRs485Saved& saved);

}  // namespace oxa::platform
