// What the front ends say about a port: why it would not open and how to mend that, that it
// lost its device, and what device a COM number leads to. Russian for the window, English for
// fulctl; both from here, so they never say different things. The names, paths and system texts
// in them come from outside: their control characters are shown escaped (VisibleText), so
// every text here may go to a terminal as it is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "actions/TextCatalog.h"
#include "serial/OxaHost.h"
#include "serial/OxaPortAddress.h"

namespace oxa {

// Why `port` ("COM3", or the path the user gave) would not open and what to do about it.
// `address` is what it leads to (the [Ports] text, or the default device); `settings` the
// settings file that maps it. The advice is the `system`'s: on Windows, Device Manager lists the
// ports and a COM number maps to another (\\.\COM12); on POSIX, /dev paths and the dialout group.
std::string PortFailureText(const TOpenError& error, std::string_view port,
                            std::string_view address, std::string_view settings, TLanguage language,
                            THostSystem system = HostSystem());

// A short name of the reason for scripts: "not_present", "permission_denied", "busy",
// "not_serial", "no_rs485", "unreachable", "bad_address", "other" ("" for none).
std::string_view PortFailureName(TOpenFailure failure);

// The port lost its device during the exchange (an adapter pulled, a connection dropped).
std::string PortLostText(std::string_view port, TLanguage language);

// `text` broken into lines of at most `columns` characters (UTF-8 counted by character) at
// its blanks, for the window's data pane, which does not wrap; a word longer than a line
// stands alone on its line.
std::vector<std::string> WrapText(std::string_view text, size_t columns);

// What a port of the list leads to, for its tooltip: the address and what the system knows
// of the device there, or that it is absent; a serial device server is named as such.
std::string PortTooltipText(std::string_view address, TLanguage language = TLanguage::kRussian);

}  // namespace oxa
