// The host name lookup of a serial device server, on both systems, against a name server the
// test plays: it shares the connection's bound, so a name server that does not answer costs
// the technician 3 s and a message, not the resolver's own time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "serial/OxaComPort.h"
#include "serial/platform/socket.h"

namespace oxa {
namespace {

using Clock = std::chrono::steady_clock;

TEST(TcpPortOpen, TheNameLookupSharesTheConnectionsBound) {
  struct Case {
    int answer_after_ms;  // when the name server answers with 127.0.0.1
    const char* detail;   // part of the text
    long long min_ms, max_ms;
  };
  const Case cases[] = {
      // An answer within the bound is used: nothing listens at port 1.
      {200, "connection refused by 127.0.0.1:1", 150, 2500},
      {20000, "host not found: server.example (no answer from the name server within 3 s)", 2900,
       3600},
  };
  for (const Case& c : cases) {
    // The name server answers when its time has come or the case is over, whichever is first;
    // a lookup still under way when the port has given up ends by itself.
    std::promise<void> over;
    const std::shared_future<void> case_over = over.get_future().share();
    const auto name_server = [case_over, after = c.answer_after_ms](const std::string&,
                                                                    uint16_t port) {
      case_over.wait_for(std::chrono::milliseconds(after));
      return platform::LookUpHost("127.0.0.1", port);
    };
    ToxaComPort port(platform::MakeTcpComPortIo(name_server));
    port.SetDeviceMap({{5, "tcp://server.example:1"}});
    port.SetComPort(5);
    const auto start = Clock::now();
    EXPECT_FALSE(port.Open()) << c.detail;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    over.set_value();
    EXPECT_GE(ms, c.min_ms) << c.detail;
    EXPECT_LT(ms, c.max_ms) << c.detail;
    EXPECT_EQ(port.OpenError().failure, TOpenFailure::kUnreachable) << c.detail;
    EXPECT_NE(port.OpenError().detail.find(c.detail), std::string::npos) << port.OpenError().detail;
  }
}

}  // namespace
}  // namespace oxa
