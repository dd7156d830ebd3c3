// The port component over TCP, against a serial device server the test plays on the loopback:
// what the server and a caller see. Frames over TCP are exchanged by both masters against the
// virtual device (tests/sim/line_options_test.cpp).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "serial/OxaComPort.h"
#include "tests/serial/PtyPair.h"

namespace oxa {
namespace {

using testing::MsSince;
using testing::ThreadCpuMs;
using Clock = std::chrono::steady_clock;

// A serial device server played by the test: a socket on the loopback at a free port that
// listens (or, with backlog -1, is bound but refuses connections), takes one connection at a
// time, and sends and receives on it.
class TTcpPeer {
 public:
  explicit TTcpPeer(int backlog = 4) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    if (backlog >= 0) {
      EXPECT_EQ(::listen(listen_, backlog), 0);
    }
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~TTcpPeer() {
    CloseConnection();
    ::close(listen_);
  }
  std::string Address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  bool Accept() {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return false;
    CloseConnection();
    conn_ = ::accept(listen_, nullptr, nullptr);
    return conn_ >= 0;
  }
  void Send(const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
  uint8_t ReceiveByte() {
    uint8_t byte = 0;
    pollfd p{conn_, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1 || ::recv(conn_, &byte, 1, 0) != 1) ADD_FAILURE() << "no byte";
    return byte;
  }
  void CloseConnection() {
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
  }

 private:
  int listen_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
};

// A port whose COM 5 is the given address, as [Ports] COM5=tcp://... maps it.
void MapTo(ToxaComPort& port, const std::string& address) {
  port.SetDeviceMap({{5, address}});
  port.SetComPort(5);
}

TEST(TcpPortOpen, ServersThatCannotBeReachedAreToldApart) {
  TTcpPeer refusing(-1);  // bound, not listening: the system refuses every connection
  // A listener that never accepts, its queue full: further connections are not answered.
  TTcpPeer full(0);
  ToxaComPort filler;
  MapTo(filler, full.Address());
  ASSERT_TRUE(filler.Open());

  struct Case {
    std::string address;
    const char* detail;  // part of the text
    long long min_ms, max_ms;
  };
  const Case cases[] = {
      {refusing.Address(), "connection refused by 127.0.0.1:", 0, 1000},
      // A Modbus TCP server is reached the same way.
      {"modbus-tcp://" + refusing.Address().substr(6), "connection refused by 127.0.0.1:", 0, 1000},
      // The name lookup shares the connection's bound (tcp_lookup_test.cpp).
      {"tcp://no-such-device-server.invalid:4001", "host not found: no-such-device-server", 0,
       3600},
      {full.Address(), "no connection to 127.0.0.1:", 2900, 5000},
  };
  for (const Case& c : cases) {
    ToxaComPort port;
    MapTo(port, c.address);
    const auto start = Clock::now();
    EXPECT_FALSE(port.Open()) << c.address;
    EXPECT_GE(MsSince(start), c.min_ms) << c.address;
    EXPECT_LT(MsSince(start), c.max_ms) << c.address;
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(port.OpenError().failure, TOpenFailure::kUnreachable) << c.address;
    EXPECT_NE(port.OpenError().detail.find(c.detail), std::string::npos)
        << c.address << ": " << port.OpenError().detail;
    EXPECT_FALSE(port.WriteByte(0x55));
  }
}

// A server that closes the connection is an adapter unplugged: bytes received before are
// handed out, then everything fails, waits take their time, and the next Open connects afresh.
TEST(TcpPortLost, AClosedConnectionFailsLikeAnUnpluggedAdapterUntilTheNextOpen) {
  TTcpPeer server;
  ToxaComPort port;
  MapTo(port, server.Address());
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(server.Accept());
  server.Send({0x11, 0x22, 0x33});
  ASSERT_TRUE(port.WaitForInput(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint8_t byte = 0;
  ASSERT_TRUE(port.ReadByte(byte));
  EXPECT_EQ(byte, 0x11);
  server.CloseConnection();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(port.WriteByte(0x01));  // never taken by a connection that has ended
  EXPECT_TRUE(port.Lost());

  std::vector<uint8_t> got;
  for (int i = 0; i < 10; ++i) {
    const bool ready = port.WaitForInput(20);
    const bool read = port.ReadByte(byte);
    EXPECT_EQ(ready, read) << "wait and read disagree at round " << i;
    if (read) got.push_back(byte);
  }
  EXPECT_EQ(got, (std::vector<uint8_t>{0x22, 0x33}));
  const auto start = Clock::now();
  const double cpu_start = ThreadCpuMs();
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(port.WaitForInput(60));
  const long long wall = MsSince(start);
  EXPECT_GE(wall, 250);
  EXPECT_LT(ThreadCpuMs() - cpu_start, wall / 2.0);
  EXPECT_TRUE(port.Opened());
  port.Close();
  EXPECT_FALSE(port.Lost());

  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(server.Accept());
  server.Send({0x43});  // stale: what the socket holds goes with a purge
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  port.Purge();
  server.Send({0x44});
  ASSERT_TRUE(port.WaitForInput(2000));
  EXPECT_TRUE(port.ReadByte(byte));
  EXPECT_EQ(byte, 0x44);
  EXPECT_TRUE(port.WriteByte(0x55));
  EXPECT_EQ(server.ReceiveByte(), 0x55);
  port.Close();
}

}  // namespace
}  // namespace oxa
