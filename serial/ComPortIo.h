// The OS side of one port, as the port component drives it. The platform files implement it
// for serial devices (serial/platform/posix_comportio.cpp) and for serial device servers over
// TCP (serial/platform/tcp_comportio.cpp); the tests and fuzz harnesses implement it with a
// scripted device and a virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "serial/OxaPortAddress.h"

namespace oxa {

class IComPortIo {
 public:
  virtual ~IComPortIo() = default;

  // Opens the device at `address` at `baud` bit/s, raw 8N1, reads returning at once, both
  // directions purged, and takes it exclusively. False when it cannot be opened, with the
  // reason in OpenError(). A serial device server (tcp://) is connected to instead: the speed
  // is the server's business and only bounds writes, and whether a second connection is let
  // in is the server's to decide.
  virtual bool Open(const TPortAddress& address, uint32_t baud) = 0;
  // The same for a serial device by its path.
  bool Open(const std::string& path, uint32_t baud) { return Open(SerialAddress(path), baud); }
  // Why the last Open failed; failure kNone after a successful one.
  virtual const TOpenError& OpenError() const = 0;
  // Releases the device. Harmless when nothing is open.
  virtual void Close() = 0;
  // Discards unsent output and unread input.
  virtual void Purge() = 0;
  // Sends one byte; true if it was transferred. False when closed or the device is gone.
  virtual bool WriteByte(uint8_t byte) = 0;
  // Sends all of `bytes` with as few system calls as the driver allows, so that a frame leaves
  // without gaps: a partial write goes on where it stopped, and a full output queue is waited
  // out within a bound (a second plus the bytes' time on the line). False when closed, when the
  // device is gone, or when the bytes could not all be handed to the driver in that time.
  virtual bool Write(std::span<const uint8_t> bytes) = 0;
  // Takes one received byte if one is waiting; never blocks. A device found gone (hang-up, I/O
  // error, readable without data) makes writes fail from then on, and reads as soon as the
  // bytes received before the loss have been taken, until Close.
  virtual bool ReadByte(uint8_t& byte) = 0;
  // Takes up to bytes.size() received bytes at once, as ReadByte takes one: those already taken
  // from the driver first, else what one read of the driver gives; never blocks. Returns how
  // many it took (0 when none was waiting or the device has gone). A receiver that reads a
  // whole answer makes one call instead of one per byte.
  virtual size_t Read(std::span<uint8_t> bytes) = 0;
  // Waits up to `ms` for input to arrive; true as soon as a byte can be read, and only then. On
  // a closed port, or one whose device has gone and whose received bytes have all been taken,
  // it simply waits `ms` and returns false (never spins).
  virtual bool WaitForInput(uint32_t ms) = 0;
  // True when bytes already taken from the driver wait to be handed out, so that ReadByte
  // needs no system call. A receiver whose input has run dry waits (WaitForInput) before its
  // next read instead of trying a read that finds nothing.
  virtual bool InputPending() = 0;
  // True once the device has gone (hang-up, I/O error, readable without data), until the next
  // Open or Close.
  virtual bool Lost() const = 0;
  // A monotonic clock in microseconds (the scripted port: its virtual clock).
  virtual uint64_t NowUs() const = 0;
  // Suspends the caller for `ms` (the scripted port advances its clock instead).
  virtual void Sleep(uint32_t ms) = 0;
  // The OS handle of the open device, or -1.
  virtual intptr_t NativeHandle() const = 0;
};

// The implementation for this platform: it opens a serial device or a TCP connection, as the
// address says.
std::unique_ptr<IComPortIo> MakePlatformComPortIo();
// Its two parts: serial devices of this OS, and serial device servers over TCP.
std::unique_ptr<IComPortIo> MakeSerialComPortIo();
std::unique_ptr<IComPortIo> MakeTcpComPortIo();

// The device a COM number opens when no map names it: /dev/ttyS(n-1) on POSIX.
// Number 0 names no device (empty text).
std::string DefaultComDeviceName(uint8_t number);

}  // namespace oxa
