// Thread mode on real pseudo-terminals: the receive thread's events as the application's main
// thread (the test's own thread) sees them, and closing that can never hang.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/OxaComPort.h"
#include "tests/serial/PtyPair.h"

namespace oxa {
namespace {

using testing::MsSince;
using testing::TPtyPair;
using Clock = std::chrono::steady_clock;

struct Event {
  bool is_byte;
  uint8_t byte;
  uint32_t tick;
};

// Records every event with the thread it ran on.
struct EventLog {
  std::vector<Event> events;
  std::vector<std::thread::id> threads;
  size_t Timeouts() const {
    size_t n = 0;
    for (const Event& e : events) n += e.is_byte ? 0 : 1;
    return n;
  }
  void Attach(ToxaComPort& port) {
    port.OnReceiveByte = [this](ToxaCustomComPort&, uint8_t b, uint32_t tick) {
      events.push_back({true, b, tick});
      threads.push_back(std::this_thread::get_id());
    };
    port.OnReceiveTimeout = [this](ToxaCustomComPort&, uint32_t tick) {
      events.push_back({false, 0, tick});
      threads.push_back(std::this_thread::get_id());
    };
  }
};

// The application's queue of calls for its main thread.
class TMainQueue {
 public:
  MainThreadDispatcher Dispatcher() {
    return [this](std::function<void()> serve) {
      std::lock_guard lock(mutex_);
      calls_.push_back(std::move(serve));
    };
  }
  size_t Size() {
    std::lock_guard lock(mutex_);
    return calls_.size();
  }
  // Waits (without pumping) until a call is queued: the receive thread then waits for it.
  void WaitForACall() {
    const auto start = Clock::now();
    while (Size() == 0 && MsSince(start) < 10000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Runs the queued calls on the calling thread.
  void Pump() {
    for (;;) {
      std::function<void()> call;
      {
        std::lock_guard lock(mutex_);
        if (calls_.empty()) return;
        call = std::move(calls_.front());
        calls_.pop_front();
      }
      call();
    }
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> calls_;
};

// Serves the port's events on this thread until `done` or the (generous) deadline.
bool ServeUntil(ToxaComPort& port, const std::function<bool()>& done, int timeout_ms = 10000) {
  const auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > timeout_ms) return false;
    port.ServeSynchronizedCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SetUpThreadMode(ToxaComPort& port, const TPtyPair& pty, uint32_t interval,
                     uint32_t byte_timeout) {
  port.SetDeviceMap(pty.Map());
  port.SetThreadInterval(interval);
  port.SetThreadByteTimeout(byte_timeout);
  port.SetReceiveInThread(true);
}

// Opens `port` in thread mode with an application that queues the events but never pumps:
// returns once the thread is stuck waiting for its first time-out (which counts `handled`).
bool OpenStuckOnFirstEvent(ToxaComPort& port, const TPtyPair& pty, TMainQueue& queue,
                           int& handled) {
  SetUpThreadMode(port, pty, 10, 10);
  port.OnReceiveTimeout = [&handled](ToxaCustomComPort&, uint32_t) { ++handled; };
  port.SetMainThreadDispatcher(queue.Dispatcher());
  if (!port.Open()) return false;
  queue.WaitForACall();
  return queue.Size() > 0;
}

TEST(ReceiveThread, CyclesWithoutTrafficReportTicksCountingUp) {
  TPtyPair pty;
  ToxaComPort port;
  EventLog log;
  SetUpThreadMode(port, pty, 10, 10);
  log.Attach(port);
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(ServeUntil(port, [&] { return log.events.size() >= 5; }));
  port.Close();
  ASSERT_GE(log.events.size(), 5u);
  for (size_t i = 0; i < log.events.size(); ++i) {
    EXPECT_FALSE(log.events[i].is_byte);
    EXPECT_EQ(log.events[i].tick, i);
  }
}

TEST(ReceiveThread, ABurstIsReportedWithOneTickAndClosedByItsTimeout) {
  TPtyPair pty;
  ToxaComPort port;
  EventLog log;
  // A long byte time-out keeps the burst together on a loaded machine.
  SetUpThreadMode(port, pty, 10, 200);
  log.Attach(port);
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(ServeUntil(port, [&] { return log.Timeouts() >= 1; }));
  const std::vector<uint8_t> burst = {0x01, 0x03, 0x02, 0x00, 0xFF};
  pty.Send(burst);
  size_t first_byte = 0;
  ASSERT_TRUE(ServeUntil(port, [&] {
    for (size_t i = 0; i < log.events.size(); ++i) {
      if (log.events[i].is_byte) {
        first_byte = i;
        return log.events.size() >= i + burst.size() + 1;
      }
    }
    return false;
  }));
  port.Close();

  const uint32_t tick = log.events[first_byte].tick;
  for (size_t i = 0; i < burst.size(); ++i) {
    const Event& e = log.events[first_byte + i];
    EXPECT_TRUE(e.is_byte);
    EXPECT_EQ(e.byte, burst[i]);
    EXPECT_EQ(e.tick, tick);
  }
  const Event& closing = log.events[first_byte + burst.size()];
  EXPECT_FALSE(closing.is_byte);
  EXPECT_EQ(closing.tick, tick);
  // Quiet cycles before the burst are numbered 0.. without gaps.
  for (size_t i = 0; i < first_byte; ++i) EXPECT_EQ(log.events[i].tick, i);
  EXPECT_EQ(tick, first_byte);
}

TEST(ReceiveThread, ThePortRefusesDirectReadsWhileTheThreadReads) {
  TPtyPair pty;
  ToxaComPort port;
  SetUpThreadMode(port, pty, 10, 10);
  ASSERT_TRUE(port.Open());
  port.SetReceiveInThread(false);  // the running thread stays the only reader until Close
  pty.Send({0x11, 0x22});
  uint8_t byte = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(port.WaitForInput(50));  // just sleeps
  EXPECT_GE(MsSince(start), 40);
  EXPECT_FALSE(port.ReadByte(byte));
  EXPECT_TRUE(port.WriteByte(0x33));  // writing stays possible
  EXPECT_EQ(pty.Receive(1), std::vector<uint8_t>{0x33});
  port.Close();
}

// A handler that purges the port drops the rest of the burst, also the bytes the thread has
// already taken from the driver but not yet reported.
TEST(ReceiveThread, APurgeFromAHandlerDropsTheRestOfTheBurst) {
  TPtyPair pty;
  ToxaComPort port;
  EventLog log;
  SetUpThreadMode(port, pty, 10, 200);
  log.Attach(port);
  port.OnReceiveByte = [&](ToxaCustomComPort& sender, uint8_t b, uint32_t tick) {
    log.events.push_back({true, b, tick});
    sender.Purge();
  };
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(ServeUntil(port, [&] { return log.Timeouts() >= 1; }));
  pty.Send({0x01, 0x02, 0x03, 0x04, 0x05});
  ASSERT_TRUE(ServeUntil(port, [&] {
    return !log.events.empty() && log.events.back().is_byte == false &&
           log.events.size() > log.Timeouts();
  }));
  port.Close();
  size_t bytes = 0;
  for (const Event& e : log.events) bytes += e.is_byte ? 1 : 0;
  EXPECT_EQ(bytes, 1u);
}

TEST(ReceiveThread, TheDispatcherRunsEveryEventOnTheMainThread) {
  TPtyPair pty;
  ToxaComPort port;
  EventLog log;
  TMainQueue queue;
  SetUpThreadMode(port, pty, 10, 50);
  log.Attach(port);
  port.SetMainThreadDispatcher(queue.Dispatcher());
  ASSERT_TRUE(port.Open());
  pty.Send({0xA5, 0x5A});
  const auto start = Clock::now();
  size_t bytes = 0;
  while (MsSince(start) < 10000 && (bytes < 2 || log.Timeouts() < 3)) {
    queue.Pump();
    bytes = log.events.size() - log.Timeouts();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  port.Close();
  EXPECT_EQ(bytes, 2u);
  EXPECT_GE(log.Timeouts(), 3u);
  for (const std::thread::id& id : log.threads) EXPECT_EQ(id, std::this_thread::get_id());
  // Calls the queue still holds are late: they find nothing left to run.
  const size_t handled = log.events.size();
  queue.Pump();
  EXPECT_EQ(log.events.size(), handled);
}

TEST(ReceiveThread, CloseReturnsAndServesTheEventWhenTheApplicationNeverPumps) {
  TPtyPair pty;
  TMainQueue queue;
  int handled = 0;
  {
    ToxaComPort port;
    ASSERT_TRUE(OpenStuckOnFirstEvent(port, pty, queue, handled));
    ASSERT_EQ(queue.Size(), 1u);
    port.Close();
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(handled, 1);  // Close ran it rather than dropping it
  }
  // The port is gone; its queued call must do nothing.
  queue.Pump();
  EXPECT_EQ(handled, 1);
}

TEST(ReceiveThread, AHandlerMayCloseThePort) {
  TPtyPair pty;
  ToxaComPort port;
  EventLog log;
  SetUpThreadMode(port, pty, 10, 10);
  log.Attach(port);
  port.OnReceiveTimeout = [&](ToxaCustomComPort& sender, uint32_t tick) {
    log.events.push_back({false, 0, tick});
    if (tick == 2) sender.Close();
  };
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(ServeUntil(port, [&] { return !port.Opened(); }));
  ServeUntil(
      port, [] { return false; }, 200);  // nothing more may come
  EXPECT_EQ(log.events.size(), 3u);
  // The port opens again normally afterwards.
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(ServeUntil(port, [&] { return log.events.size() >= 4; }));
  EXPECT_EQ(log.events.back().tick, 0u);
  port.Close();
}

TEST(ReceiveThread, DestroyingTheOpenPortEndsTheThread) {
  TPtyPair pty;
  TMainQueue queue;
  int handled = 0;
  {
    ToxaComPort port;
    ASSERT_TRUE(OpenStuckOnFirstEvent(port, pty, queue, handled));
  }
  EXPECT_EQ(handled, 1);  // the one event that waited was served on the way out
  // The device was released with the component.
  ToxaComPort again;
  again.SetDeviceMap(pty.Map());
  EXPECT_TRUE(again.Open());
  again.Close();
}

TEST(ReceiveThread, CloseDoesNotSitOutTheLongestPauses) {
  TPtyPair pty;
  ToxaComPort port;
  EventLog log;
  SetUpThreadMode(port, pty, 10000, 1000);
  log.Attach(port);
  ASSERT_TRUE(port.Open());
  // First in the pause between cycles, then in the wait after an empty read.
  ASSERT_TRUE(ServeUntil(port, [&] { return log.Timeouts() >= 1; }));
  auto start = Clock::now();
  port.Close();
  EXPECT_LT(MsSince(start), 3000);
  ASSERT_TRUE(port.Open());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  start = Clock::now();
  port.Close();
  EXPECT_LT(MsSince(start), 3000);
}

TEST(ReceiveThread, CloseReturnsWhileTheDeviceNeverStopsSending) {
  TPtyPair pty;
  ToxaComPort port;
  EventLog log;
  SetUpThreadMode(port, pty, 10, 200);
  log.Attach(port);
  ASSERT_TRUE(port.Open());
  std::atomic<bool> stop{false};
  std::thread device([&] {
    while (!stop) {
      pty.Send({0x55});
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  EXPECT_TRUE(ServeUntil(port, [&] { return log.events.size() - log.Timeouts() >= 20; }));
  const auto start = Clock::now();
  port.Close();
  EXPECT_LT(MsSince(start), 5000);
  stop = true;
  device.join();
}

TEST(ReceiveThread, ALostDeviceKeepsTheCyclePaceWithoutSpinning) {
  TPtyPair pty;
  ToxaComPort port;
  EventLog log;
  SetUpThreadMode(port, pty, 10, 10);
  log.Attach(port);
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(ServeUntil(port, [&] { return log.Timeouts() >= 1; }));
  pty.CloseMaster();
  const size_t before = log.events.size();
  ServeUntil(
      port, [] { return false; }, 600);
  const size_t during = log.events.size() - before;
  // A cycle takes at least 10 + 2 x 10 ms: at most about 20 in 600 ms, however fast the
  // machine; a thread spinning on the dead device would report thousands.
  EXPECT_GE(during, 1u);
  EXPECT_LE(during, 40u);
  for (size_t i = before; i < log.events.size(); ++i) EXPECT_FALSE(log.events[i].is_byte);
  const auto start = Clock::now();
  port.Close();
  EXPECT_LT(MsSince(start), 5000);
}

// Opens the pseudo-terminal in thread mode with no address space left for a thread's stack,
// and ends the process with 0 when the opening was refused cleanly and left the device free;
// 1: reported open; 2: device left held; 3: Open threw.
[[noreturn, maybe_unused]] void OpenWithNoRoomForTheThread(const TPtyPair& pty) {
  long vm_kb = 0;
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    if (key == "VmSize:") status >> vm_kb;
  }
  rlimit old{};
  ::getrlimit(RLIMIT_AS, &old);
  ToxaComPort port;
  SetUpThreadMode(port, pty, 10, 10);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(vm_kb + 1024) * 1024;  // no room for an 8 MB stack
  ::setrlimit(RLIMIT_AS, &tight);
  bool opened = true;
  try {
    opened = port.Open();
  } catch (...) {
    ::_exit(3);
  }
  const bool still_open = port.Opened();
  ::setrlimit(RLIMIT_AS, &old);
  if (opened || still_open) ::_exit(1);
  ToxaComPort other;
  other.SetDeviceMap(pty.Map());
  ::_exit(other.Open() ? 0 : 2);
}

// A thread mode whose thread cannot be had reports the opening as failed and leaves the device
// free, instead of throwing out of Open or pretending to receive. It runs in a fresh process
// (the thread-safe death test style re-executes the test), where no stack of an earlier
// thread is kept for reuse.
TEST(ReceiveThreadDeathTest, OpenFailsCleanlyWhenTheThreadCannotBeStarted) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own allocations fail first under an address-space limit";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TPtyPair pty;
  EXPECT_EXIT(OpenWithNoRoomForTheThread(pty), ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace oxa
