// Contents of the virtual device from an INI text, so that a test sets up the exact case it
// needs. The format (also in fulsim --help):
//
//   ; a comment line (also #); texts run to the end of their line
//   [modbus]
//   identification = FUL-05.08 on the bench
//   [registers]
//   ; register = 16-bit value (decimal or 0x hex), float:<number> or u32:<number>
//   ; (the last two fill two registers, most significant first)
//   2201 = 150
//   0 = float:12.5
//   315 = u32:123456
//   [10x]
//   identification = FUL-05.08
//   soft_version = 1.08
//   [memory]
//   ; address = hex bytes of the 2-Kbyte memory from there, or float:/u32: as above
//   1496 = DE 2A 00 00 24 03 05 AD
//   338 = u32:123456
//   [ram]
//   160 = float:12.5
#pragma once

#include <string>
#include <string_view>

#include "sim/FulDevice.h"

namespace oxa::sim {

// Applies the text to the device. On an error returns false with "line N: reason" in
// `error`; the lines before it have been applied.
bool LoadConfig(std::string_view text, TFulDevice& device, std::string& error);
// The same from a file: a regular file of at most 1 MiB. A folder, FIFO or device is refused
// without being opened (a FIFO would wait for a writer), with the reason in `error`.
bool LoadConfigFile(const std::string& path, TFulDevice& device, std::string& error);

}  // namespace oxa::sim
