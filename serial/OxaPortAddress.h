// Where a port leads, as the settings file's [Ports] section or a command line names it, and
// why a port could not be opened.
//
//   /dev/ttyUSB0                   a serial device by its path
//   /dev/ttyUSB0 rs485 echo        with options after the path, separated by blanks:
//                                    rs485  switch the driver's RS-485 mode on (RTS on send)
//                                    echo   the line returns each request before the answer,
//                                           as a two-wire RS-485 adapter that hears itself does
//                                    8E1    the line's format: data bits (7, 8), parity (N,
//                                           E, O) and stop bits (1, 2); the last one given
//                                           holds (default 8N1)
//   tcp://192.168.0.20:4001        a serial device server that passes frames through a TCP
//                                  socket (options: echo)
//   modbus-tcp://192.168.0.30      a Modbus TCP server or gateway: requests carry the MBAP
//   modbus-tcp://gw.local:5020     header instead of the CRC (port 502 unless given; no
//                                  options)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace oxa {

// The frame of one character on the line.
struct TLineFormat {
  uint8_t data_bits = 8;  // 7 or 8
  char parity = 'N';      // 'N' none, 'E' even, 'O' odd
  uint8_t stop_bits = 1;  // 1 or 2
  // Bits one character takes on the line: start, data, parity, stop.
  uint32_t BitsPerChar() const { return 1u + data_bits + (parity == 'N' ? 0u : 1u) + stop_bits; }
  bool operator==(const TLineFormat&) const = default;
};

// "8N1", "8E1", "7E1", "8N2", "8O1", ... in either case; false for anything else.
bool ParseLineFormat(std::string_view text, TLineFormat& format);
// "8E1".
std::string LineFormatText(const TLineFormat& format);

struct TPortAddress {
  // kTcp and kModbusTcp both open a TCP connection; kModbusTcp frames requests with the MBAP
  // header (see ToxaCustomComPort::ModbusTcp).
  enum class TKind { kSerial, kTcp, kModbusTcp };
  TKind kind = TKind::kSerial;
  std::string path;       // kSerial: the device path
  std::string host;       // kTcp, kModbusTcp: host name or address
  uint16_t tcp_port = 0;  // kTcp, kModbusTcp: 1..65535
  // A TCP connection of either kind.
  bool Socket() const { return kind != TKind::kSerial; }
  bool rs485 = false;
  bool echo = false;
  std::optional<TLineFormat> format;  // none named: the port's own (8N1 unless set)
};

// Parses an address. False, with `error` saying what is wrong in a short English phrase
// ("unknown option 'rs458'", "tcp:// needs a port: tcp://host:port", ...), when the text is
// empty or malformed; `address` is then unspecified. Malformed, so that nothing is opened: a
// text holding a NUL (the system would take the path only up to it), a text with blanks before
// or after it ("COM1 " is no port name, and as a path a file in the current folder), and a
// device named COMn with n outside 1..255 (COM0, COM256).
bool ParsePortAddress(std::string_view text, TPortAddress& address, std::string& error);

// A serial device by its path, no options.
TPortAddress SerialAddress(std::string path);

// Why the last Open of a port failed.
enum class TOpenFailure {
  kNone,              // the port opened
  kBadAddress,        // the address is malformed, or names no device (COM0)
  kNotPresent,        // no such device (an adapter not plugged in, a mistyped path)
  kPermissionDenied,  // the user may not open it (not in the group that owns serial ports)
  kBusy,              // another program, or another open in this one, holds it
  kNotSerial,         // the path is not a serial device (a regular file, /dev/null)
  kNoRs485,           // RS-485 mode was asked for and the driver has none
  kUnreachable,       // a serial device server did not accept the connection
  kOther,             // any other error of the system
};

struct TOpenError {
  TOpenFailure failure = TOpenFailure::kNone;
  // The system's text for the error ("No such file or directory"), or what is wrong with the
  // address.
  std::string detail;
  // kBusy: the process holding the device and its program name, where the system shows them
  // (0 and empty otherwise).
  int holder_pid = 0;
  std::string holder_name;
};

}  // namespace oxa
