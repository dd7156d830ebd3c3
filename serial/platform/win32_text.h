// Text at the edge of the Windows API: the library speaks UTF-8, the system's wide-character
// calls speak UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace oxa::platform {

// UTF-8 to UTF-16 and back; malformed input becomes U+FFFD.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// The system's text for an error code, in the user's language, as UTF-8, followed by the code:
// "The system cannot find the file specified (error 2)". Trailing blanks and the closing full
// stop are left off.
std::string SystemMessage(uint32_t code);

}  // namespace oxa::platform
