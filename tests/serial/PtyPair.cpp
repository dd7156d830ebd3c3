#include "tests/serial/PtyPair.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace oxa::testing {

TPtyPair::TPtyPair() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed, errno " << errno;
    return;
  }
  slave_path_ = name;
}

TPtyPair::~TPtyPair() {
  CloseMaster();
  if (slave_ >= 0) ::close(slave_);
}

void TPtyPair::Send(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << "writing to the pseudo-terminal failed, errno " << errno;
    done += static_cast<size_t>(n);
  }
}

std::vector<uint8_t> TPtyPair::Receive(size_t count, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<uint8_t> got;
  while (got.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    uint8_t buf[256];
    const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

void TPtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

uint32_t TPtyPair::SlaveOutputSpeedCode() const {
  termios tio{};
  if (::tcgetattr(slave_, &tio) != 0) return 0;
  return static_cast<uint32_t>(::cfgetospeed(&tio));
}

uint32_t TPtyPair::SlaveInputBaud() const {
  return ReadBaud(slave_, true);
}

uint32_t TPtyPair::SlaveOutputBaud() const {
  return ReadBaud(slave_, false);
}

}  // namespace oxa::testing
