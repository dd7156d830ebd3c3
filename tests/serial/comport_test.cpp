// The port component on real pseudo-terminals: what a device on the line and a caller see.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "serial/OxaComPort.h"
#include "serial/platform/termios_format.h"
#include "tests/serial/PtyPair.h"

namespace oxa {
namespace {

using testing::MsSince;
using testing::ThreadCpuMs;
using testing::TPtyPair;
using Clock = std::chrono::steady_clock;

// A port whose COM 1 is the given pseudo-terminal.
void MapTo(ToxaComPort& port, const TPtyPair& pty) {
  port.SetDeviceMap(pty.Map());
  port.SetComPort(1);
}

// Reads until `count` bytes have come, waiting for input between reads, for at most 5 s.
std::vector<uint8_t> ReadAll(ToxaComPort& port, size_t count) {
  std::vector<uint8_t> got;
  uint8_t byte = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (got.size() < count && Clock::now() < deadline) {
    if (port.ReadByte(byte)) {
      got.push_back(byte);
    } else {
      port.WaitForInput(10);
    }
  }
  return got;
}

TEST(ComPortProperties, NewPortHasTheDesignDefaults) {
  ToxaComPort port;
  EXPECT_EQ(port.ComPort(), 1);
  EXPECT_EQ(port.BaudRate(), 9600u);
  EXPECT_EQ(port.ThreadInterval(), 100u);
  EXPECT_EQ(port.ThreadByteTimeout(), 10u);
  EXPECT_FALSE(port.ReceiveInThread());
  EXPECT_FALSE(port.Opened());
  EXPECT_EQ(port.Version(), "v1.00");
  EXPECT_EQ(port.Handle(), 0);
}

TEST(ComPortProperties, ThreadTimingIsClampedToItsRange) {
  ToxaComPort port;
  port.SetThreadInterval(5);
  EXPECT_EQ(port.ThreadInterval(), 10u);
  port.SetThreadInterval(20000);
  EXPECT_EQ(port.ThreadInterval(), 10000u);
  port.SetThreadInterval(250);
  EXPECT_EQ(port.ThreadInterval(), 250u);
  port.SetThreadByteTimeout(0);
  EXPECT_EQ(port.ThreadByteTimeout(), 10u);
  port.SetThreadByteTimeout(5000);
  EXPECT_EQ(port.ThreadByteTimeout(), 1000u);
  port.SetThreadByteTimeout(40);
  EXPECT_EQ(port.ThreadByteTimeout(), 40u);
  port.SetBaudRate(250000);
  EXPECT_EQ(port.BaudRate(), 250000u);  // no list of standard rates
}

TEST(ComPortDevice, NumbersMapToTtySUnlessTheMapNamesADevice) {
  ToxaComPort port;
  EXPECT_EQ(port.DeviceName(), "/dev/ttyS0");
  port.SetComPort(3);
  EXPECT_EQ(port.DeviceName(), "/dev/ttyS2");
  port.SetDeviceMap({{3, "/dev/ttyUSB0"}});
  EXPECT_EQ(port.DeviceName(), "/dev/ttyUSB0");
  port.SetComPort(4);
  EXPECT_EQ(port.DeviceName(), "/dev/ttyS3");
  port.SetComPort(0);
  EXPECT_EQ(port.DeviceName(), "");
}

TEST(ComPortOpen, RefusesWithItsReason) {
  char file_path[] = "/tmp/oxa_not_a_port_XXXXXX";
  const int file_fd = ::mkstemp(file_path);
  ASSERT_GE(file_fd, 0);
  ::close(file_fd);
  TPtyPair pty;
  // A pseudo-terminal whose master never unlocked it refuses its opener with EIO, as a
  // /dev/ttyS* without a UART does.
  const int locked_master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(locked_master, 0);
  const std::string locked_slave = ::ptsname(locked_master);

  struct Case {
    uint8_t number;
    std::string address;
    TOpenFailure failure;
    const char* detail;  // part of the text
  };
  const Case cases[] = {
      {0, "", TOpenFailure::kBadAddress, "COM0 names no device"},
      {1, "/dev/oxa_no_such_port", TOpenFailure::kNotPresent, "No such file"},
      {2, "/dev/null", TOpenFailure::kNotSerial, "not a serial device"},
      {3, file_path, TOpenFailure::kNotSerial, "not a serial device"},
      {4, pty.SlavePath() + " rs458", TOpenFailure::kBadAddress, "unknown option 'rs458'"},
      {5, "tcp://localhost", TOpenFailure::kBadAddress, "needs a port"},
      // A pseudo-terminal has no RS-485 mode; the port is left free.
      {6, pty.SlavePath() + " rs485", TOpenFailure::kNoRs485, ""},
      {7, locked_slave, TOpenFailure::kNotPresent, "no hardware behind the device node"},
      // Names that would open a file in the current folder, or another path than written.
      {8, "COM0", TOpenFailure::kBadAddress, "COM numbers run from 1 to 255"},
      {9, "com256 echo", TOpenFailure::kBadAddress, "COM numbers run from 1 to 255"},
      {10, "COM1 ", TOpenFailure::kBadAddress, "blanks before or after 'COM1'"},
      {11, std::string("/dev/ttyS0\0rs485", 16), TOpenFailure::kBadAddress, "NUL"},
      {12, pty.SlavePath() + " 8Q1", TOpenFailure::kBadAddress, "'8Q1' is no line format"},
      {13, "modbus-tcp://", TOpenFailure::kBadAddress, "needs a host"},
      {14, "modbus-tcp://:502", TOpenFailure::kBadAddress, "needs a host"},
      {15, "modbus-tcp://gw:70000", TOpenFailure::kBadAddress, "'70000' is not a number"},
      {16, "modbus-tcp://gw:", TOpenFailure::kBadAddress, "no port after it"},
      {17, "modbus-tcp://gw echo", TOpenFailure::kBadAddress, "takes no options"},
      {18, "modbus-tcp://fe80::1", TOpenFailure::kBadAddress, "goes in brackets"},
  };
  ToxaComPort port;
  std::map<uint8_t, std::string> map;
  for (const Case& c : cases) map[c.number] = c.address;
  port.SetDeviceMap(map);
  for (const Case& c : cases) {
    port.SetComPort(c.number);
    EXPECT_FALSE(port.Open()) << c.address;
    EXPECT_FALSE(port.Opened()) << c.address;
    EXPECT_EQ(port.Handle(), -1) << c.address;
    EXPECT_EQ(port.OpenError().failure, c.failure) << c.address;
    EXPECT_NE(port.OpenError().detail.find(c.detail), std::string::npos)
        << c.address << ": " << port.OpenError().detail;
    uint8_t byte = 0;
    EXPECT_FALSE(port.WriteByte(0x55));
    EXPECT_FALSE(port.ReadByte(byte));
  }
  MapTo(port, pty);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.OpenError().failure, TOpenFailure::kNone);
  port.Close();
  ::unlink(file_path);
  ::close(locked_master);
}

TEST(ComPortOpen, TheLineFormatIsTheAddresssElseThePortsOwn) {
  TPtyPair pty;
  struct Case {
    std::string options;      // after the path
    std::string port_format;  // SetLineFormat's, "" for the default
    tcflag_t size, parity, stop;
  };
  const Case cases[] = {
      {"", "", CS8, 0, 0},
      {" 8E1", "", CS8, PARENB, 0},
      {" 7o2", "", CS7, PARENB | PARODD, CSTOPB},
      {"", "8N2", CS8, 0, CSTOPB},
      {" echo 8O1 8E1", "8N2", CS8, PARENB, 0},  // the last one named holds
  };
  for (const Case& c : cases) {
    ToxaComPort port;
    port.SetDeviceMap({{1, pty.SlavePath() + c.options}});
    TLineFormat format;
    if (!c.port_format.empty()) {
      ASSERT_TRUE(ParseLineFormat(c.port_format, format));
    }
    port.SetLineFormat(format);
    ASSERT_TRUE(port.Open()) << c.options << ": " << port.OpenError().detail;
    // What the terminal is told (a pseudo-terminal keeps neither parity nor character size).
    termios tio{};
    ::cfmakeraw(&tio);
    tio.c_iflag |= IGNPAR;
    platform::ApplyLineFormat(tio, port.FormatInUse());
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size) << c.options;
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD), c.parity) << c.options;
    EXPECT_EQ(tio.c_cflag & CSTOPB, c.stop) << c.options;
    EXPECT_EQ(tio.c_iflag & (INPCK | IGNPAR), c.parity != 0 ? INPCK : 0u) << c.options;
    // Character times follow it: start, data, parity and stop bits.
    EXPECT_EQ(port.FormatInUse().BitsPerChar(),
              1 + (c.size == CS7 ? 7u : 8u) + (c.parity != 0 ? 1u : 0u) + (c.stop != 0 ? 2u : 1u));
    port.Close();
  }
  // A format out of range leaves the port's as it was.
  ToxaComPort port;
  port.SetLineFormat({9, 'X', 3});
  EXPECT_EQ(port.LineFormat(), TLineFormat{});
}

TEST(ComPortOpen, PermissionDeniedIsToldApart) {
  // As an unprivileged user (root, as in CI, drops to "nobody" in a child): a pseudo-terminal
  // of another user may not be opened.
  TPtyPair pty;
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    } else if (::chmod(pty.SlavePath().c_str(), 0) != 0) {
      ::_exit(2);
    }
    ToxaComPort port;
    port.SetDeviceMap(pty.Map());
    const bool opened = port.Open();
    ::_exit(!opened && port.OpenError().failure == TOpenFailure::kPermissionDenied ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ComPortOpen, OpenCloseAndPurgeFollowTheState) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  port.Purge();  // closed: nothing happens
  port.Close();
  ASSERT_TRUE(port.Open());
  EXPECT_TRUE(port.Opened());
  const intptr_t handle = port.Handle();
  EXPECT_GE(handle, 0);
  port.Close();
  EXPECT_FALSE(port.Opened());
  EXPECT_EQ(port.Handle(), handle);  // Close leaves the last handle readable
  port.Close();
  EXPECT_FALSE(port.WriteByte(0x01));
  // The device is free again for the next action.
  EXPECT_TRUE(port.Open());
  port.Close();
}

TEST(ComPortOpen, OpeningAnOpenPortReopensItWithoutKeepingTheOldClaim) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  port.SetBaudRate(38400);
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(pty.SlaveOutputSpeedCode(), static_cast<uint32_t>(B38400));
  EXPECT_TRUE(port.WriteByte(0x99));
  EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{0x99});
  port.Close();
  // Had the first opening been left behind, its lock would still hold the device.
  ToxaComPort other;
  MapTo(other, pty);
  EXPECT_TRUE(other.Open());
  other.Close();
}

TEST(ComPortOpen, CloseGivesTheLineItsSettingsBack) {
  // A terminal (-p /dev/tty) must not stay raw after the program ends: its modes, control
  // characters and speed come back at Close, also after a rate set outside termios, and an
  // open refused after the line was set up leaves them as well.
  TPtyPair pty;
  termios before{};
  ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &before), 0);
  before.c_lflag |= ICANON | ECHO | ISIG;
  ::cfsetispeed(&before, B4800);
  ::cfsetospeed(&before, B4800);
  ASSERT_EQ(::tcsetattr(pty.SlaveFd(), TCSANOW, &before), 0);
  ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &before), 0);
  const auto expect_as_before = [&](const std::string& what) {
    termios now{};
    ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &now), 0);
    EXPECT_EQ(now.c_iflag, before.c_iflag) << what;
    EXPECT_EQ(now.c_oflag, before.c_oflag) << what;
    EXPECT_EQ(now.c_cflag, before.c_cflag) << what;
    EXPECT_EQ(now.c_lflag, before.c_lflag) << what;
    EXPECT_EQ(std::memcmp(now.c_cc, before.c_cc, sizeof now.c_cc), 0) << what;
    EXPECT_EQ(pty.SlaveOutputBaud(), 4800u) << what;
    EXPECT_EQ(pty.SlaveInputBaud(), 4800u) << what;
  };
  ToxaComPort port;
  MapTo(port, pty);
  for (uint32_t baud : {9600u, 250000u}) {
    port.SetBaudRate(baud);
    ASSERT_TRUE(port.Open());
    termios raw{};
    ASSERT_EQ(::tcgetattr(pty.SlaveFd(), &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
    port.Close();
    expect_as_before(std::to_string(baud));
  }
  port.SetDeviceMap({{1, pty.SlavePath() + " rs485"}});  // no RS-485 mode on a pseudo-terminal
  EXPECT_FALSE(port.Open());
  expect_as_before("refused");
}

TEST(ComPortTransfer, BytesTravelBothWaysAndAnEmptyReadReturnsAtOnce) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());

  uint8_t byte = 0xAA;
  const auto start = Clock::now();
  EXPECT_FALSE(port.ReadByte(byte));
  EXPECT_LT(MsSince(start), 500);  // returns without waiting for data

  // Every byte value passes unchanged: the line is raw 8-bit in both directions.
  const std::vector<uint8_t> frame = {0x01, 0x03, 0x00, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xFF};
  for (uint8_t b : frame) EXPECT_TRUE(port.WriteByte(b));
  EXPECT_EQ(pty.Receive(frame.size()), frame);

  pty.Send(frame);
  EXPECT_EQ(ReadAll(port, frame.size()), frame);
  EXPECT_FALSE(port.ReadByte(byte));
  port.Close();
}

TEST(ComPortTransfer, ABlockLargerThanTheOutputQueueGoesOutWholeAndInOrder) {
  // The pseudo-terminal holds some tens of kilobytes: the write fills it, waits for room while
  // the device side reads late, and goes on where the driver stopped taking bytes.
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  std::vector<uint8_t> block(300 * 1024);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::vector<uint8_t> received;
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    received = pty.Receive(block.size(), 10000);
  });
  EXPECT_TRUE(port.Write(block));
  device.join();
  EXPECT_EQ(received.size(), block.size());
  EXPECT_TRUE(received == block);
  EXPECT_FALSE(port.Lost());
  port.Close();
}

TEST(ComPortTransfer, AWriteThatNeverFindsRoomGivesUpWithinItsBound) {
  // Nobody reads the device side. The bound is a second plus the bytes' time on the line:
  // 1.77 s for 300 KiB at 4 Mbit/s.
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  port.SetBaudRate(4000000);
  ASSERT_TRUE(port.Open());
  const std::vector<uint8_t> block(300 * 1024, 0x55);
  const auto start = Clock::now();
  EXPECT_FALSE(port.Write(block));
  EXPECT_GE(MsSince(start), 1700);
  EXPECT_LT(MsSince(start), 4000);
  EXPECT_FALSE(port.Lost());  // a full queue is not a lost device
  port.Close();
}

TEST(ComPortTransfer, WaitForInputReturnsWhenAByteArrivesAndTimesOutOtherwise) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  auto start = Clock::now();
  EXPECT_FALSE(port.WaitForInput(100));
  EXPECT_GE(MsSince(start), 90);
  pty.Send({0x42});
  start = Clock::now();
  EXPECT_TRUE(port.WaitForInput(5000));
  EXPECT_LT(MsSince(start), 4000);
  uint8_t byte = 0;
  EXPECT_TRUE(port.ReadByte(byte));
  EXPECT_EQ(byte, 0x42);
  port.Close();
}

TEST(ComPortTransfer, PurgeAndOpenDiscardWhatArrivedBefore) {
  TPtyPair pty;
  pty.Send({0x10, 0x11, 0x12});  // stale bytes on the line before the port opens
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  uint8_t byte = 0;
  EXPECT_FALSE(port.WaitForInput(100));
  EXPECT_FALSE(port.ReadByte(byte));

  pty.Send({0x20, 0x21});
  ASSERT_TRUE(port.WaitForInput(2000));
  port.Purge();
  EXPECT_FALSE(port.ReadByte(byte));
  pty.Send({0x30});
  ASSERT_TRUE(port.WaitForInput(2000));
  EXPECT_TRUE(port.ReadByte(byte));
  EXPECT_EQ(byte, 0x30);  // only what came after the purge
  port.Close();
}

// The port takes what the driver holds in one block and hands it out byte by byte or in blocks:
// what sits in that block must behave exactly like input still in the driver.
TEST(ComPortTransfer, InputAlreadyTakenFromTheDriverIsPurgedWaitedForAndDroppedAtClose) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  uint8_t byte = 0;

  // Longer than one block: every byte comes, in order, none twice.
  std::vector<uint8_t> answer(700);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i * 7 + i / 256);
  pty.Send(answer);
  EXPECT_EQ(ReadAll(port, answer.size()), answer);

  // A block read takes what has come, no more than asked for; the rest waits for the next.
  pty.Send({0x10, 0x11, 0x12, 0x13, 0x14});
  ASSERT_TRUE(port.WaitForInput(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let all five arrive
  std::array<uint8_t, 8> block{};
  ASSERT_EQ(port.Read(std::span(block).first(3)), 3u);
  EXPECT_EQ(block[2], 0x12);
  ASSERT_EQ(port.Read(block), 2u);
  EXPECT_EQ(block[0], 0x13);
  EXPECT_EQ(block[1], 0x14);

  // The rest of an answer waits in the port, not in the driver: a wait must still see it.
  pty.Send({0x01, 0x02, 0x03});
  ASSERT_TRUE(port.WaitForInput(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let all three arrive
  ASSERT_TRUE(port.ReadByte(byte));
  EXPECT_EQ(byte, 0x01);
  auto start = Clock::now();
  EXPECT_TRUE(port.WaitForInput(1000));
  EXPECT_LT(MsSince(start), 500);
  // Purge discards it like any unread input.
  port.Purge();
  EXPECT_FALSE(port.ReadByte(byte));
  start = Clock::now();
  EXPECT_FALSE(port.WaitForInput(100));
  EXPECT_GE(MsSince(start), 90);

  // So does closing: the next opening starts with nothing from the last one.
  pty.Send({0x04, 0x05, 0x06});
  ASSERT_TRUE(port.WaitForInput(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(port.ReadByte(byte));
  EXPECT_EQ(byte, 0x04);
  port.Close();
  ASSERT_TRUE(port.Open());
  EXPECT_FALSE(port.ReadByte(byte));
  EXPECT_FALSE(port.WaitForInput(100));
  port.Close();
}

TEST(ComPortTransfer, ReadByteLeavesInputAloneWhileReceiveInThreadIsSet) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  pty.Send({0x5A});
  ASSERT_TRUE(port.WaitForInput(2000));
  port.SetReceiveInThread(true);  // takes effect for reads at once, for the thread at Open
  uint8_t byte = 0;
  EXPECT_FALSE(port.ReadByte(byte));
  port.SetReceiveInThread(false);
  EXPECT_TRUE(port.ReadByte(byte));
  EXPECT_EQ(byte, 0x5A);
  port.Close();
}

TEST(ComPortExclusive, ASecondOpenOfTheSameDeviceFails) {
  TPtyPair pty;
  ToxaComPort first;
  ToxaComPort second;
  MapTo(first, pty);
  MapTo(second, pty);
  ASSERT_TRUE(first.Open());
  EXPECT_FALSE(second.Open());
  EXPECT_FALSE(second.Opened());
  // A refused opener leaves the holder's claim in place: it is refused again.
  EXPECT_FALSE(second.Open());
  EXPECT_TRUE(first.WriteByte(0x77));
  EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{0x77});
  first.Close();
  EXPECT_TRUE(second.Open());
  second.Close();
}

TEST(ComPortExclusive, AnotherProcessCannotOpenAHeldDevice) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ToxaComPort other;
    other.SetDeviceMap(pty.Map());
    ::_exit(other.Open() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other process opened the held device";
  port.Close();
}

TEST(ComPortExclusive, ABusyPortNamesTheProcessThatHoldsIt) {
  TPtyPair pty;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  // Processes that wait until the test ends them, however it ends.
  struct TChildren {
    std::vector<pid_t> pids;
    void End(pid_t pid) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      std::erase(pids, pid);
    }
    ~TChildren() {
      while (!pids.empty()) End(pids.back());
    }
  } children;
  std::fflush(nullptr);
  // First a process that only has the device open, as a virtual device has its own
  // pseudo-terminal; then the one that takes the port, under a name of its own choosing.
  for (const bool takes : {false, true}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      char ok = 'y';
      ToxaComPort holder;
      holder.SetDeviceMap(pty.Map());
      if (takes) {
        ::prctl(PR_SET_NAME, "port\x1b]0;x\x07");
        ok = holder.Open() ? 'y' : 'n';
        // Only the lock stays: the exclusive flag would outlive the holder while the other
        // process keeps the terminal open, and refuse an ordinary user's next open.
        ::ioctl(static_cast<int>(holder.Handle()), TIOCNXCL);
      } else if (::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY) < 0) {
        ok = 'n';
      }
      if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
      ::pause();
      ::_exit(0);
    }
    children.pids.push_back(child);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
  }
  ::close(ready[0]);
  ::close(ready[1]);
  const pid_t taker = children.pids.back();
  ToxaComPort port;
  MapTo(port, pty);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.OpenError().failure, TOpenFailure::kBusy);
  EXPECT_EQ(port.OpenError().holder_pid, taker);
  EXPECT_EQ(port.OpenError().holder_name, "port\x1b]0;x\x07");
  children.End(taker);
  EXPECT_TRUE(port.Open());  // free again once its holder is gone
  port.Close();
  // A second open in this program: the lock is this process's own.
  ToxaComPort second;
  MapTo(second, pty);
  ASSERT_TRUE(port.Open());
  EXPECT_FALSE(second.Open());
  EXPECT_EQ(second.OpenError().holder_pid, ::getpid());
  port.Close();
}

TEST(ComPortSpeed, ANewSpeedTakesEffectAtTheNextOpen) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(pty.SlaveOutputSpeedCode(), static_cast<uint32_t>(B9600));
  port.SetBaudRate(19200);
  EXPECT_EQ(pty.SlaveOutputSpeedCode(), static_cast<uint32_t>(B9600));
  port.Close();
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(pty.SlaveOutputSpeedCode(), static_cast<uint32_t>(B19200));
  port.Close();
}

TEST(ComPortSpeed, EveryRateIsAppliedExactlyInBothDirections) {
  // A standard rate after a non-standard one must set the input speed as well, not only the
  // output speed (the terminal's input-speed field would otherwise keep the old rate).
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  for (uint32_t baud : {250000u, 19200u, 31250u, 115200u, 9600u}) {
    port.SetBaudRate(baud);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(pty.SlaveOutputBaud(), baud);
    EXPECT_EQ(pty.SlaveInputBaud(), baud);
    port.Close();
  }
}

TEST(ComPortLostDevice, APeerThatGoesAwayMakesEveryOperationFailWithoutSpinning) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  pty.CloseMaster();

  uint8_t byte = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(port.ReadByte(byte));
    EXPECT_FALSE(port.WriteByte(0x01));
  }
  // A receive loop keeps polling a lost device: every wait must take its time, not return at
  // once with "readable".
  const auto start = Clock::now();
  const double cpu_start = ThreadCpuMs();
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(port.WaitForInput(60));
  const long long wall = MsSince(start);
  EXPECT_GE(wall, 250);
  EXPECT_LT(ThreadCpuMs() - cpu_start, wall / 2.0);
  EXPECT_FALSE(port.ReadByte(byte));
  port.Purge();
  EXPECT_TRUE(port.Opened());
  EXPECT_TRUE(port.Lost());
  port.Close();
  EXPECT_FALSE(port.Opened());
  EXPECT_FALSE(port.Lost());
}

// Bytes that arrived before the device went away are still handed out; once they are taken,
// reads fail and waits take their time. A wait never reports input that a read then refuses,
// which would make a receive loop spin.
TEST(ComPortLostDevice, BytesReceivedBeforeTheLossAreHandedOutThenReadsFail) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  pty.Send({0x11, 0x22, 0x33});
  ASSERT_TRUE(port.WaitForInput(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint8_t byte = 0;
  ASSERT_TRUE(port.ReadByte(byte));
  EXPECT_EQ(byte, 0x11);
  pty.CloseMaster();
  EXPECT_FALSE(port.WriteByte(0x01));  // the write notices the loss

  std::vector<uint8_t> got;
  for (int i = 0; i < 10; ++i) {
    const bool ready = port.WaitForInput(20);
    const bool read = port.ReadByte(byte);
    EXPECT_EQ(ready, read) << "wait and read disagree at round " << i;
    if (read) got.push_back(byte);
  }
  EXPECT_EQ(got, (std::vector<uint8_t>{0x22, 0x33}));
  const auto start = Clock::now();
  EXPECT_FALSE(port.WaitForInput(60));
  EXPECT_GE(MsSince(start), 50);
  port.Close();
  EXPECT_FALSE(port.Opened());
}

TEST(ComPortLostDevice, TheLossIsNoticedByAWaitAsWell) {
  TPtyPair pty;
  ToxaComPort port;
  MapTo(port, pty);
  ASSERT_TRUE(port.Open());
  pty.CloseMaster();
  const auto start = Clock::now();
  EXPECT_FALSE(port.WaitForInput(100));
  EXPECT_GE(MsSince(start), 80);
  uint8_t byte = 0;
  EXPECT_FALSE(port.ReadByte(byte));
  EXPECT_FALSE(port.WriteByte(0x02));
  port.Close();
}

}  // namespace
}  // namespace oxa
