// The serial port on POSIX: termios raw 8N1, taken exclusively (flock and TIOCEXCL), reads that
// return at once, poll for waiting. A device that goes away (a USB adapter pulled, the far side
// of a pseudo-terminal closed) is noticed by its hang-up, an I/O error, or a read that finds it
// readable but gives no byte; from then on every operation fails at once and waits sleep, so
// callers that poll it never spin.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>

#include "serial/OxaPortInfo.h"
#include "serial/platform/backend.h"
#include "serial/platform/posix_line.h"
#include "serial/platform/posix_wait.h"
#include "serial/platform/termios_format.h"

namespace oxa {
namespace {

struct TStandardSpeed {
  uint32_t baud;
  speed_t code;
};

// Rates that termios names; any other rate goes through platform::SetArbitrarySpeed.
constexpr TStandardSpeed kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

// The input-speed field of c_cflag where the system has one (Linux). cfsetispeed leaves it as
// it was, so after a rate set through termios2 a later standard rate would change the output
// speed only; cleared, the input speed follows the output speed.
#ifdef CIBAUD
constexpr tcflag_t kInputSpeedField = CIBAUD;
#else
constexpr tcflag_t kInputSpeedField = 0;
#endif

bool FindStandardSpeed(uint32_t baud, speed_t& code) {
  for (const TStandardSpeed& s : kStandardSpeeds) {
    if (s.baud == baud) {
      code = s.code;
      return true;
    }
  }
  return false;
}

using platform::Clock;
using platform::kGoneEvents;
using platform::TStep;

class TPosixComPortIo final : public platform::TBackend {
 public:
  ~TPosixComPortIo() override { Close(); }

  bool OpenDevice(const TPortAddress& address, uint32_t baud) override {
    const std::string& device = address.path;
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail(errno, device);
    // tcgetattr refuses anything that is not a terminal (/dev/null, a regular file). The lock
    // keeps out every other opener that locks, root included; TIOCEXCL keeps out the ones that
    // do not lock, except root.
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return Fail(errno, device, fd);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return Fail(EBUSY, device, fd);
    if (::ioctl(fd, TIOCEXCL) != 0) return Fail(errno, device, fd);
    // The line settings as found, put back at Close: a terminal (/dev/tty, a console) must not
    // stay raw after the program ends, nor a port keep a speed the next program does not expect.
    saved_tio_ = tio;
    Configure(fd, tio, baud, address.format.value_or(TLineFormat{}));
    if (address.rs485) {
      if (const int err = platform::EnableRs485(fd, rs485_); err != 0) {
        error_ = {TOpenFailure::kNoRs485, std::strerror(err), 0, {}};
        ::tcsetattr(fd, TCSANOW, &saved_tio_);
        Release(fd);
        return false;
      }
    }
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    return true;
  }

  void Close() override {
    if (fd_ >= 0) {
      platform::RestoreRs485(fd_, rs485_);
      // At once, not after the output drains: a line held up by its flow control must not hold
      // up the close. A device that has gone refuses it, which is harmless.
      ::tcsetattr(fd_, TCSANOW, &saved_tio_);
      Release(fd_);
    }
    fd_ = -1;
    ResetInput();
  }

  void Purge() override {
    input_.Clear();
    if (fd_ >= 0) ::tcflush(fd_, TCIOFLUSH);
  }

  // A write that the system takes in part goes on where it stopped; a full queue is waited out.
  bool Write(std::span<const uint8_t> bytes) override {
    if (!Usable()) return false;
    const platform::TWriteEnd end = platform::WriteWhole(
        bytes, platform::WriteBoundMs(bytes.size(), baud_),
        [this](std::span<const uint8_t> rest) -> long {
          for (;;) {
            const ssize_t n = ::write(fd_, rest.data(), rest.size());
            if (n >= 0) return n;
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;  // else EIO and friends
          }
        },
        [this](int ms) {
          const short events = PollFor(POLLOUT, ms);
          if (events & kGoneEvents) return TStep::kGone;
          return events & POLLOUT ? TStep::kReady : TStep::kNotYet;
        });
    if (end == platform::TWriteEnd::kGone) return MarkLost();
    return end == platform::TWriteEnd::kDone;
  }

  bool WaitForInput(uint32_t ms) override {
    if (input_.Pending()) return true;
    const Clock::time_point deadline = platform::DeadlineIn(ms);
    if (Usable()) {
      const short events = PollFor(POLLIN, platform::MsUntil(deadline));
      if (events & kGoneEvents) {
        MarkLost();
      } else {
        return (events & POLLIN) != 0;
      }
    }
    return WaitOut(deadline);
  }

  intptr_t NativeHandle() const override { return fd_; }

 private:
  bool IsOpen() const override { return fd_ >= 0; }

  static void Release(int fd) {
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);
  }

  // Records why opening `device` failed (error number `err`), closes `fd` if given, and
  // returns false.
  bool Fail(int err, const std::string& device, int fd = -1) {
    if (fd >= 0) ::close(fd);
    error_.detail = std::strerror(err);
    switch (err) {
      case ENOENT:
      case ENXIO:
      case ENODEV:
        error_.failure = TOpenFailure::kNotPresent;
        break;
      case EIO:
        // A device node with no hardware behind it: a /dev/ttyS* the kernel made for a UART
        // that is not fitted, an adapter on its way out.
        error_.failure = TOpenFailure::kNotPresent;
        error_.detail = "no hardware behind the device node (" + error_.detail + ")";
        break;
      case EACCES:
      case EPERM:
        error_.failure = TOpenFailure::kPermissionDenied;
        break;
      case EBUSY:
        error_.failure = TOpenFailure::kBusy;
        FindPortHolder(device, error_.holder_pid, error_.holder_name);
        break;
      case ENOTTY:
      case EINVAL:
        error_.failure = TOpenFailure::kNotSerial;
        error_.detail = "not a serial device";
        break;
      default:
        error_.failure = TOpenFailure::kOther;
        break;
    }
    return false;
  }

  size_t FillInput(std::span<uint8_t> into) override {
    if (!Usable()) return 0;
    // Two attempts: a byte may arrive between an empty read and the check that follows it.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const ssize_t n = ::read(fd_, into.data(), into.size());
      if (n > 0) return static_cast<size_t>(n);
      if (n < 0) {
        if (errno == EINTR) {
          --attempt;
          continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        lost_ = true;  // EIO and friends: the device has gone
        return 0;
      }
      // With reads that return at once a terminal says "nothing waiting" with 0 bytes, and a
      // hung-up one says "end" the same way: its poll state tells the two apart.
      const short events = PollFor(POLLIN, 0);
      if (events & kGoneEvents) {
        lost_ = true;
        return 0;
      }
      if (!(events & POLLIN)) return 0;
    }
    lost_ = true;  // readable, yet no byte comes: the device has gone
    return 0;
  }

  // Raw, in the line's format (8N1 unless it names another), no flow control, reads that
  // return at once with whatever is there. A rate of 0 keeps the line's current speed (B0 would
  // hang the line up). The results are not checked: a driver that refuses a setting still leaves a
  // usable port.
  static void Configure(int fd, termios& tio, uint32_t baud, const TLineFormat& format) {
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~CRTSCTS;
    tio.c_cflag |= CLOCAL | CREAD;
    platform::ApplyLineFormat(tio, format);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t code = B0;
    const bool standard = baud != 0 && FindStandardSpeed(baud, code);
    if (standard) {
      tio.c_cflag &= ~kInputSpeedField;
      ::cfsetispeed(&tio, code);
      ::cfsetospeed(&tio, code);
    }
    ::tcsetattr(fd, TCSANOW, &tio);
    if (baud != 0 && !standard) platform::SetArbitrarySpeed(fd, baud);
  }

  // The poll events of the port within `ms` (0: now); 0 when nothing happened. A failing poll
  // counts as a lost device.
  short PollFor(short wanted, int ms) const { return platform::PollFd(fd_, wanted, ms); }

  int fd_ = -1;
  termios saved_tio_{};          // the line settings Open found
  platform::TRs485Saved rs485_;  // the driver's RS-485 settings before `rs485` switched it on
};

}  // namespace

std::unique_ptr<IComPortIo> MakeSerialComPortIo() {
  return std::make_unique<TPosixComPortIo>();
}

std::string DefaultComDeviceName(uint8_t number) {
  if (number == 0) return {};
  return "/dev/ttyS" + std::to_string(number - 1);
}

namespace platform {

void ApplyLineFormat(termios& tio, const TLineFormat& format) {
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD);
  tio.c_cflag |= format.data_bits == 7 ? CS7 : CS8;
  if (format.stop_bits == 2) tio.c_cflag |= CSTOPB;
  tio.c_iflag &= ~(INPCK | IGNPAR | PARMRK);
  if (format.parity != 'N') {
    tio.c_cflag |= PARENB | (format.parity == 'O' ? PARODD : 0);
    tio.c_iflag |= INPCK;
  }
}

}  // namespace platform

}  // namespace oxa
