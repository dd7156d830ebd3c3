// The line's format in a POSIX terminal's settings, apart so that it can be checked on its own:
// a pseudo-terminal keeps no parity or character size of its own.
#pragma once

#include <termios.h>

#include "serial/OxaPortAddress.h"

namespace oxa::platform {

// Sets the character size, parity and stop bits of `tio` to `format`, and has a character
// received with a wrong parity come as a 0 byte (INPCK without IGNPAR or PARMRK), so that its
// frame fails its checksum.
void ApplyLineFormat(termios& tio, const TLineFormat& format);

}  // namespace oxa::platform
