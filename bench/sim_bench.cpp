// How fast the virtual device answers on its pseudo-terminal, and how exactly it paces.
//   sim_bench [requests]   (default 3000)
// Unpaced: the time from a request's last byte written to the answer's last byte read,
// median and 99th percentile. Paced: the mean time between the bytes of 133-byte answers
// against the character time of 8N1 (10 bits a byte) at several speeds.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "serial/OxaUtils.h"
#include "sim/PtyDevice.h"

namespace {

using Clock = std::chrono::steady_clock;

int OpenRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return -1;
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ::tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

std::vector<uint8_t> WithCrc(std::vector<uint8_t> frame) {
  const uint16_t crc = oxa::UpdateCrc16(0xFFFF, frame);
  frame.push_back(static_cast<uint8_t>(crc));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

// Reads `count` bytes, noting when each arrived. False after a second without a byte.
bool ReadTimed(int fd, size_t count, std::vector<Clock::time_point>& arrivals) {
  arrivals.clear();
  uint8_t buf[256];
  while (arrivals.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) return false;
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - arrivals.size()));
    if (n <= 0) return false;
    const auto now = Clock::now();
    arrivals.insert(arrivals.end(), static_cast<size_t>(n), now);
  }
  return true;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t i = std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
  return values[i];
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3000;
  int status = 0;
  {
    oxa::sim::TPtyDevice device;
    if (!device.Start()) {
      std::fprintf(stderr, "sim_bench: %s\n", device.LastError().c_str());
      return 1;
    }
    const int fd = OpenRaw(device.DevicePath());
    const auto request = WithCrc({0x01, 0x03, 0x07, 0xD0, 0x00, 0x04});  // 4 integrator registers
    const size_t answer_size = 5 + 8;
    std::vector<double> to_first, to_last;
    std::vector<Clock::time_point> arrivals;
    for (int i = 0; i < requests; ++i) {
      if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        break;
      const auto sent = Clock::now();
      if (!ReadTimed(fd, answer_size, arrivals)) {
        std::fprintf(stderr, "sim_bench: no answer to request %d\n", i);
        status = 1;
        break;
      }
      to_first.push_back(
          std::chrono::duration<double, std::micro>(arrivals.front() - sent).count());
      to_last.push_back(std::chrono::duration<double, std::micro>(arrivals.back() - sent).count());
    }
    ::close(fd);
    if (!to_last.empty()) {
      std::printf("unpaced, %zu requests of 8 bytes, answers of %zu bytes:\n", to_last.size(),
                  answer_size);
      std::printf("  request to first answer byte: median %.1f us, p99 %.1f us\n",
                  Percentile(to_first, 0.5), Percentile(to_first, 0.99));
      std::printf("  request to last answer byte:  median %.1f us, p99 %.1f us, max %.1f us\n",
                  Percentile(to_last, 0.5), Percentile(to_last, 0.99),
                  *std::max_element(to_last.begin(), to_last.end()));
    }
  }

  std::printf("paced, 133-byte answers (archive block), 5 per speed:\n");
  for (const uint32_t baud : {9600u, 19200u, 57600u, 115200u}) {
    oxa::sim::TPtyOptions options;
    options.baud = baud;
    oxa::sim::TPtyDevice device(options);
    if (!device.Start()) return 1;
    const int fd = OpenRaw(device.DevicePath());
    const auto request = WithCrc({0x01, 0x41, 0x00, 0x10, 0x00, 0x01});
    const double expected_us = 10e6 / baud;
    double sum = 0, worst = 0;
    int frames = 0;
    std::vector<Clock::time_point> arrivals;
    for (int i = 0; i < 5; ++i) {
      if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        break;
      if (!ReadTimed(fd, 133, arrivals)) break;
      const double mean =
          std::chrono::duration<double, std::micro>(arrivals.back() - arrivals.front()).count() /
          132;
      sum += mean;
      worst = std::max(worst, std::abs(mean - expected_us) / expected_us);
      ++frames;
    }
    ::close(fd);
    if (frames == 0) {
      std::fprintf(stderr, "sim_bench: no paced answer at %u baud\n", baud);
      return 1;
    }
    const double measured = sum / frames;
    std::printf(
        "  %6u baud: expected %8.2f us a byte, measured %8.2f us (%+.2f %%, worst frame %.2f %%)\n",
        baud, expected_us, measured, 100 * (measured - expected_us) / expected_us, 100 * worst);
  }
  double load[1] = {0};
  if (::getloadavg(load, 1) == 1) std::printf("load average during the run: %.2f\n", load[0]);
  return status;
}
