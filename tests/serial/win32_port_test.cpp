// The serial port on Windows (run under Wine): COM names, the reasons a port does not open,
// serial device servers over Winsock, and, when win32_line_test.sh names the COM ports that
// lead to virtual devices, whole exchanges on a line as the window makes them.
#include <winsock2.h>
// after winsock2.h
#include <gtest/gtest.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/oxaFul0508.h"
#include "devices/oxaZeb106.h"
#include "serial/OxaComPort.h"
#include "serial/OxaHost.h"
#include "sim/FulDevice.h"
#include "tests/support/ErrorNames.h"

namespace oxa {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of the calling thread, ms.
double ThreadCpuMs() {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  const auto ms = [](const FILETIME& t) {
    return static_cast<double>(uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime) / 10'000.0;
  };
  return ms(kernel) + ms(user);
}

// A port whose COM 1 leads to `address`.
void MapTo(ToxaComPort& port, const std::string& address) {
  port.SetDeviceMap({{1, address}});
  port.SetComPort(1);
}

TEST(Win32Port, ComNumbersNameTheirDevices) {
  EXPECT_EQ(DefaultComDeviceName(0), "");
  EXPECT_EQ(DefaultComDeviceName(1), "\\\\.\\COM1");
  EXPECT_EQ(DefaultComDeviceName(12), "\\\\.\\COM12");
  EXPECT_EQ(DefaultComDeviceName(255), "\\\\.\\COM255");
}

TEST(Win32Port, RefusesToOpenWithItsReason) {
  char temp_dir[MAX_PATH] = {};
  ASSERT_GT(GetTempPathA(MAX_PATH, temp_dir), 0u);
  const std::string file = std::string(temp_dir) + "oxa_not_a_port.txt";
  std::ofstream(file) << "text";

  const struct {
    std::string address;
    TOpenFailure failure;
    std::string detail;  // a part of it
  } rows[] = {
      {"\\\\.\\COM200", TOpenFailure::kNotPresent, "(error 2)"},
      {"COM200", TOpenFailure::kNotPresent, "(error 2)"},
      {file, TOpenFailure::kNotSerial, "not a serial device"},
      {"NUL", TOpenFailure::kNotSerial, "not a serial device"},
      {"COM200 rs485", TOpenFailure::kNoRs485, "not supported on Windows"},
      {"COM256", TOpenFailure::kBadAddress, "COM numbers run from 1 to 255"},
      {"COM1 ", TOpenFailure::kBadAddress, "blanks"},
      {"tcp://127.0.0.1:1", TOpenFailure::kUnreachable, "refused"},
  };
  for (const auto& row : rows) {
    ToxaComPort port;
    MapTo(port, row.address);
    EXPECT_FALSE(port.Open()) << row.address;
    EXPECT_FALSE(port.Opened()) << row.address;
    EXPECT_EQ(port.OpenError().failure, row.failure) << row.address;
    EXPECT_NE(port.OpenError().detail.find(row.detail), std::string::npos)
        << row.address << ": " << port.OpenError().detail;
  }
  DeleteFileA(file.c_str());
}

TEST(Win32Host, LocalTimeIsTheSystemsAndTheConsoleTakesUtf8) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const std::tm t = LocalTimeNow();
  EXPECT_EQ(t.tm_year + 1900, now.wYear);
  EXPECT_EQ(t.tm_mon + 1, now.wMonth);
  EXPECT_EQ(t.tm_wday, now.wDayOfWeek);
  // Where there is a console, its output code page becomes UTF-8.
  if (UseUtf8Console()) {
    EXPECT_EQ(GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
  }
}

// --- Serial device servers over Winsock ----------------------------------------------------

// A server on the loopback interface that takes one connection, answers its first request
// with `answer` and closes the connection when told to.
class TLoopbackServer {
 public:
  explicit TLoopbackServer(std::vector<uint8_t> answer) : answer_(std::move(answer)) {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TLoopbackServer() {
    Hangup();
    closesocket(listener_);  // ends an accept still waiting
    thread_.join();
    CloseHandle(hangup_event_);
  }

  std::string Address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  // Closes the connection.
  void Hangup() { SetEvent(hangup_event_); }
  std::vector<uint8_t> request;

 private:
  void Serve() {
    const SOCKET s = accept(listener_, nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    std::array<char, 64> buffer{};
    const int n = recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
    if (n > 0) {
      request.assign(buffer.begin(), buffer.begin() + n);
      send(s, reinterpret_cast<const char*>(answer_.data()), static_cast<int>(answer_.size()), 0);
    }
    WaitForSingleObject(hangup_event_, 10000);
    closesocket(s);
  }

  std::vector<uint8_t> answer_;
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  HANDLE hangup_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread thread_;
};

TEST(Win32Tcp, AnExchangeThenAClosedConnectionIsALostDevice) {
  const std::vector<uint8_t> answer = {0x01, 0x03, 0x02, 0x41, 0x48, 0x88, 0x22};
  TLoopbackServer server(answer);
  ToxaComPort port;
  MapTo(port, server.Address());
  ASSERT_TRUE(port.Open()) << port.OpenError().detail;
  const std::vector<uint8_t> request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
  ASSERT_TRUE(port.Write(request));
  std::vector<uint8_t> got;
  uint8_t byte = 0;
  while (got.size() < answer.size() && port.WaitForInput(2000)) {
    while (port.ReadByte(byte)) got.push_back(byte);
  }
  EXPECT_EQ(got, answer);
  EXPECT_EQ(server.request, request);
  EXPECT_FALSE(port.Lost());

  // The end of the connection is noticed by the wait for the next answer.
  server.Hangup();
  EXPECT_FALSE(port.WaitForInput(500));
  EXPECT_TRUE(port.Lost());
  EXPECT_FALSE(port.Write(request));
  EXPECT_FALSE(port.ReadByte(byte));
  port.Close();
  EXPECT_FALSE(port.Lost());
}

// --- On a line: Wine's COM ports to the virtual device ------------------------------------

// The COM number an environment variable names, 0 when it names none.
uint8_t ComFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? static_cast<uint8_t>(std::atoi(value)) : 0;
}

class Win32PortOnTheLine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ComFromEnvironment("OXA_WIN32_DEVICE_COM") == 0) {
      GTEST_SKIP() << "needs the virtual device behind a COM port (win32_line_test.sh)";
    }
  }

  // Opens `port` at COM `number` (no map: the Win32 name \\.\COMn).
  static void Open(ToxaComPort& port, const char* variable) {
    port.SetComPort(ComFromEnvironment(variable));
    port.SetBaudRate(115200);
    ASSERT_TRUE(port.Open()) << variable << ": " << port.OpenError().detail;
  }

  const sim::TFulDevice model_;  // the contents a fresh virtual device holds
};

TEST_F(Win32PortOnTheLine, RegistersAndIdentificationOverModbus) {
  ToxaComPort port;
  ASSERT_NO_FATAL_FAILURE(Open(port, "OXA_WIN32_DEVICE_COM"));
  ToxaFul0508 ful;
  ful.SetComPort(&port);
  ful.SetNetAddr(1);
  std::array<uint8_t, 20> registers{};
  ASSERT_TRUE(ful.ReadHoldingRegisters(315, 10, registers)) << ful.LastError();
  for (uint16_t i = 0; i < 10; ++i) {
    EXPECT_EQ(registers[2 * i] << 8 | registers[2 * i + 1], model_.HoldingRegister(315 + i))
        << "register " << 315 + i;
  }
  std::string id;
  ful.GetDevID(id);
  EXPECT_EQ(ful.LastError(), 0u);
  EXPECT_NE(id.find(model_.ModbusIdentification()), std::string::npos) << id;
  port.Close();
}

TEST_F(Win32PortOnTheLine, TheStampOverThe10xProtocol) {
  ToxaComPort port;
  ASSERT_NO_FATAL_FAILURE(Open(port, "OXA_WIN32_DEVICE_COM"));
  ToxaZeb106 zeb;
  zeb.SetComPort(&port);
  zeb.SetNetAddr(1);
  std::string id;
  zeb.GetDevID(id);
  EXPECT_NE(id.find("FUL"), std::string::npos) << id;
  std::array<uint8_t, 8> stamp{};
  zeb.ReadRtc2kP(sim::kMemStamp, stamp.data(), static_cast<uint8_t>(stamp.size()));
  EXPECT_EQ(zeb.LastError(), 0u);
  const std::vector<uint8_t> expected = model_.Memory(sim::kMemStamp, stamp.size());
  EXPECT_EQ(std::vector<uint8_t>(stamp.begin(), stamp.end()), expected);
  port.Close();
}

TEST_F(Win32PortOnTheLine, TheReceiveThreadHandsOverAnAnswer) {
  ToxaComPort port;
  port.SetReceiveInThread(true);
  std::vector<uint8_t> got;
  port.OnReceiveByte = [&](ToxaCustomComPort&, uint8_t byte, uint32_t) { got.push_back(byte); };
  ASSERT_NO_FATAL_FAILURE(Open(port, "OXA_WIN32_DEVICE_COM"));
  const std::vector<uint8_t> request = {0x01, 0x03, 0x01, 0x3B, 0x00, 0x01, 0xF4, 0x3B};
  ASSERT_TRUE(port.Write(request));
  const Clock::time_point start = Clock::now();
  while (got.size() < 7 && MsSince(start) < 3000) {
    port.ServeSynchronizedCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  port.Close();
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[0], 0x01);
  EXPECT_EQ(got[1], 0x03);
  EXPECT_EQ(got[3] << 8 | got[4], model_.HoldingRegister(315));
}

// What Open found is put back at Close: a program that opens the port next (a terminal program
// on the same adapter) finds the speed and format it left, not ours.
TEST_F(Win32PortOnTheLine, CloseLeavesTheLineAsOpenFoundIt) {
  const std::wstring device =
      L"\\\\.\\COM" + std::to_wstring(ComFromEnvironment("OXA_WIN32_DEVICE_COM"));
  const auto line = [&](DCB* set) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const HANDLE handle = ::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    ::GetCommState(handle, &dcb);
    if (set != nullptr) {
      set->DCBlength = sizeof *set;
      EXPECT_TRUE(::SetCommState(handle, set));
      ::GetCommState(handle, &dcb);
    }
    ::CloseHandle(handle);
    return dcb;
  };
  DCB other = line(nullptr);
  other.BaudRate = 19200;  // a pseudo-terminal under Wine keeps the speed, not the format
  const DCB found = line(&other);
  ASSERT_EQ(found.BaudRate, 19200u);
  ToxaComPort port;
  ASSERT_NO_FATAL_FAILURE(Open(port, "OXA_WIN32_DEVICE_COM"));  // at 115200
  port.Close();
  const DCB after = line(nullptr);
  EXPECT_EQ(after.BaudRate, 19200u);
}

TEST_F(Win32PortOnTheLine, ASilentLineTimesOutInItsTime) {
  ToxaComPort port;
  ASSERT_NO_FATAL_FAILURE(Open(port, "OXA_WIN32_SILENT_COM"));
  ToxaFul0508 ful;
  ful.SetComPort(&port);
  ful.SetNetAddr(1);
  ful.SetPacketTimeout(200);
  ful.SetRepeatCount(2);
  std::array<uint8_t, 20> registers{};
  const Clock::time_point start = Clock::now();
  const double cpu_start = ThreadCpuMs();
  EXPECT_FALSE(ful.ReadHoldingRegisters(0, 10, registers));
  const double ms = MsSince(start);
  const double cpu_ms = ThreadCpuMs() - cpu_start;
  EXPECT_EQ(testing::ErrorOf(ful), TOxaError::kNoAnswer);
  EXPECT_GE(ms, 400.0);
  EXPECT_LT(ms, 1200.0);
  EXPECT_LT(cpu_ms, 40.0) << "waiting for an answer must not keep the processor busy";
  port.Close();
}

TEST_F(Win32PortOnTheLine, ADeviceThatGoesAwayIsALostDevice) {
  const char* signal = std::getenv("OXA_WIN32_LOST_SIGNAL");
  ASSERT_NE(signal, nullptr);
  ToxaComPort port;
  ASSERT_NO_FATAL_FAILURE(Open(port, "OXA_WIN32_LOST_COM"));
  ToxaFul0508 ful;
  ful.SetComPort(&port);
  ful.SetNetAddr(1);
  std::array<uint8_t, 20> registers{};
  ASSERT_TRUE(ful.ReadHoldingRegisters(315, 10, registers)) << ful.LastError();
  // The script stops the device behind this port once this file exists.
  std::ofstream(signal) << "stop";
  const Clock::time_point start = Clock::now();
  while (!port.Lost() && MsSince(start) < 5000) port.WaitForInput(10);
  EXPECT_TRUE(port.Lost());
  const Clock::time_point read = Clock::now();
  EXPECT_FALSE(ful.ReadHoldingRegisters(315, 10, registers));
  EXPECT_EQ(testing::ErrorOf(ful), TOxaError::kNoPortOrWriteFailed);
  EXPECT_LT(MsSince(read), 100.0) << "a lost device fails at once";
  port.Close();
  EXPECT_FALSE(port.Lost());
}

}  // namespace
}  // namespace oxa
