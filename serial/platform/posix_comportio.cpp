// The serial port on POSIX: termios, raw 8N1, exclusive, non-blocking reads, poll for waiting.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "serial/ComPortIo.h"
#include "serial/OxaUtils.h"

namespace oxa {
namespace {

speed_t StandardSpeed(uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
  }
}

class PosixComPortIo final : public IComPortIo {
 public:
  ~PosixComPortIo() override { Close(); }

  bool Open(const std::string& device, uint32_t baud) override {
    Close();
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        ::ioctl(fd, TIOCEXCL) != 0) {
      ::close(fd);
      return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (const speed_t speed = StandardSpeed(baud); speed != B0) {
      ::cfsetispeed(&tio, speed);
      ::cfsetospeed(&tio, speed);
    }
    ::tcsetattr(fd, TCSANOW, &tio);
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    lost_ = false;
    return true;
  }

  void Close() override {
    if (fd_ >= 0) {
      ::ioctl(fd_, TIOCNXCL);
      ::flock(fd_, LOCK_UN);
      ::close(fd_);
    }
    fd_ = -1;
  }

  void Purge() override {
    if (fd_ >= 0) ::tcflush(fd_, TCIOFLUSH);
  }

  bool WriteByte(uint8_t byte) override {
    if (fd_ < 0 || lost_) return false;
    for (;;) {
      const ssize_t n = ::write(fd_, &byte, 1);
      if (n == 1) return true;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 1000) > 0 && (p.revents & POLLOUT)) continue;
      }
      if (n < 0 && errno != EAGAIN) lost_ = true;
      return false;
    }
  }

  bool ReadByte(uint8_t& byte) override {
    if (fd_ < 0 || lost_) return false;
    for (;;) {
      const ssize_t n = ::read(fd_, &byte, 1);
      if (n == 1) return true;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      lost_ = true;  // end of file or an I/O error: the device has gone
      return false;
    }
  }

  bool WaitForInput(uint32_t ms) override {
    if (fd_ < 0 || lost_) {
      Sleep(ms);
      return false;
    }
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(ms));
    if (r > 0 && (p.revents & POLLIN)) return true;
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      lost_ = true;
      Sleep(ms);
    }
    return false;
  }

  void Sleep(uint32_t ms) override { DelayMs(ms); }

  intptr_t NativeHandle() const override { return fd_; }

 private:
  int fd_ = -1;
  bool lost_ = false;
};

}  // namespace

std::unique_ptr<IComPortIo> MakePlatformComPortIo() { return std::make_unique<PosixComPortIo>(); }

std::string DefaultComDeviceName(uint8_t number) {
  if (number == 0) return {};
  return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace oxa
