// The serial port component: open a COM port with the configured number and speed, clear both
// directions, write one byte, read one byte without waiting, close. As an alternative mode a
// receive thread reads every byte and hands it, and the end of each burst, to the application's
// main thread through two events.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "serial/ComPortIo.h"
#include "serial/OxaPortAddress.h"

namespace oxa {

class ToxaCustomComPort;
class ToxaComPortRcvThread;
class TSyncMailbox;

// Raised for every byte the receive thread reads.
using TOnReceiveByteEvent =
    std::function<void(ToxaCustomComPort& sender, uint8_t byte_val, uint32_t thread_tick)>;
// Raised at the end of every cycle of the receive thread.
using TOnReceiveTimeout = std::function<void(ToxaCustomComPort& sender, uint32_t thread_tick)>;

// Which way bytes went on the line.
enum class TPortDirection { kSent, kReceived };
// An observer of the traffic: every block written and every byte or block read (also by the
// receive thread, on that thread), with the time of the port's monotonic clock in microseconds.
using TPortTap =
    std::function<void(TPortDirection direction, std::span<const uint8_t> bytes, uint64_t us)>;

// How receive-thread events reach the application's main thread. The receive thread calls it
// with `serve`; the application must arrange for `serve` to run on its main thread (the window
// queues it into its event loop; a tool may keep a queue it pumps) and must not wait for it to
// run. The receive thread then waits until its event has been handled on the main thread.
// `serve` may safely run after the port is gone: it then does nothing.
using MainThreadDispatcher = std::function<void(std::function<void()> serve)>;

class ToxaCustomComPort {
 public:
  ToxaCustomComPort();
  // A port over the given I/O (tests: a scripted device with a virtual clock).
  explicit ToxaCustomComPort(std::unique_ptr<IComPortIo> io);
  // Ends a running receive thread (serving its pending events meanwhile). Callers close the
  // port first; a port still open is released with the component.
  virtual ~ToxaCustomComPort();

  ToxaCustomComPort(const ToxaCustomComPort&) = delete;
  ToxaCustomComPort& operator=(const ToxaCustomComPort&) = delete;

  // Opens and configures the port; starts the receive thread in thread mode. True if opened;
  // false also when thread mode was asked for and its thread cannot be started. The reason of
  // a failure is in OpenError(). On a port that is already open it closes it first, so the
  // current settings take effect.
  bool Open();
  // Why the last Open failed (failure kNone after a successful one).
  const TOpenError& OpenError() const { return open_error_; }
  // The options of the address the port was last opened at: the line returns each request
  // before the answer (see serial/OxaPortAddress.h).
  bool Echo() const { return opened_ && address_.echo; }
  // The port leads to a Modbus TCP server (modbus-tcp://): a Modbus request goes out with the
  // MBAP header instead of the CRC, and the 10x protocol cannot go over it.
  bool ModbusTcp() const { return opened_ && address_.kind == TPortAddress::TKind::kModbusTcp; }
  // Stops the receive thread (serving its pending events meanwhile), closes the device.
  void Close();
  // Discards pending output and input. Does nothing on a closed port.
  void Purge();
  // Sends one byte; false on a closed port or a failed write.
  bool WriteByte(uint8_t byte);
  // Sends a whole frame in one go (see IComPortIo::Write); false on a closed port or when not
  // every byte could be sent.
  bool Write(std::span<const uint8_t> bytes);
  // Takes one waiting byte; returns at once. False, without touching the port, while
  // ReceiveInThread is set or a receive thread runs.
  bool ReadByte(uint8_t& byte);
  // Takes up to bytes.size() waiting bytes in one go (see IComPortIo::Read) and returns their
  // number; 0, without touching the port, where ReadByte would return false.
  size_t Read(std::span<uint8_t> bytes);

  // For the protocols' receive loops: waits up to `ms` for input to arrive and returns as soon
  // as a byte can be read. Without an open port, or in thread mode, it just waits `ms`.
  bool WaitForInput(uint32_t ms);
  // True when received bytes wait in the port's own buffer: ReadByte then takes one without a
  // system call. A receiver whose input has run dry waits before it reads again.
  bool InputPending();
  // Suspends the caller for `ms` on this port's clock.
  void Delay(uint32_t ms);
  // The port's monotonic clock, microseconds.
  uint64_t NowUs() const;
  // True when the open port has lost its device (an adapter unplugged, the line hung up):
  // nothing more can be sent or received until it is opened afresh.
  bool Lost() const;

  // ---- Answers still on their way ----------------------------------------------------------
  // An answer carries nothing that ties it to its request, so an attempt that ended without
  // its answer may still be answered later, and that answer must never be taken for a later
  // request's. The masters tell the port of each attempt; before the next request goes out
  // (AwaitLateAnswers, which the masters call) and before the port closes, the port listens
  // the line out until no answer of those attempts can come any more, dropping what arrives
  // (the tap sees it). How late an answer may come, the device has shown: an answer is taken
  // for the earliest attempt still open, and the time from that attempt's request to the
  // answer's first byte is how late this device answers. The port keeps the most it has seen
  // while it stays open.
  //
  // An attempt's request went out at `request_us` (the port's clock); its answer is awaited
  // for `packet_timeout_ms` and each further byte for `byte_timeout_ms`.
  void AttemptSent(uint64_t request_us, uint32_t packet_timeout_ms, uint32_t byte_timeout_ms);
  // The attempt in progress has ended, now. `answer_us` is when the first byte of a whole
  // answer came (it answers the earliest attempt still open); none when the attempt ended
  // without one (a time-out, a damaged frame, one that answers another request, a lost or
  // altered echo).
  void AttemptEnded(std::optional<uint64_t> answer_us);
  // Listens until no answer of an open attempt can still come: one packet time-out past the
  // end of the last attempt, and until the lateness the device has shown has passed since the
  // last open attempt's request (a byte time-out more, as a device's lateness varies a
  // little); longer while a frame is arriving, never longer than a bound however the line
  // chatters. Each frame that arrives answers the earliest open attempt; once every attempt is
  // answered it ends with the frame. Returns at once where no attempt is open.
  void AwaitLateAnswers();
  // Attempts whose answer has not come (for tests and front ends that show it).
  size_t OpenAttempts() const { return open_count_; }
  // The most an answer of this device has come after its request, microseconds (0: none
  // answered a later attempt yet).
  uint64_t AnswerLatenessUs() const { return lateness_us_; }

  // ---- The silence between frames ------------------------------------------------------------
  // Devices find where a frame starts by the silence before it: at least 3.5 characters of
  // the line's format (1.75 ms above 19200 bit/s), counted from the last byte seen on the line,
  // sent or received. The masters wait it out before each request: input that arrives
  // meanwhile is taken off the line (the tap sees it) and starts the silence anew, up to a
  // bound of one packet time-out `bound_ms`, after which the request goes all the same.
  void AwaitFrameSilence(uint32_t bound_ms);
  // The silence a frame needs on this port's line, microseconds.
  uint64_t FrameSilenceUs() const;

  // Lets `tap` watch the traffic from the next byte on; an empty one stops watching.
  void SetTap(TPortTap tap) { tap_ = std::move(tap); }

  bool Opened() const { return opened_; }
  intptr_t Handle() const { return handle_; }
  const std::string& Version() const { return version_; }

  // The settings below never touch an open port: they take effect at the next Open.
  uint8_t ComPort() const { return com_port_; }
  void SetComPort(uint8_t value);
  uint32_t BaudRate() const { return baud_rate_; }
  void SetBaudRate(uint32_t value);  // any rate; 0 keeps the line's current speed
  // The line's format where the port's address names none (default 8N1): 7 or 8 data bits,
  // parity N, E or O, 1 or 2 stop bits; another value is ignored.
  const TLineFormat& LineFormat() const { return line_format_; }
  void SetLineFormat(const TLineFormat& value);
  // The format the port was last opened with (its address's, else LineFormat): character
  // times follow it.
  TLineFormat FormatInUse() const { return address_.format.value_or(line_format_); }
  uint32_t ThreadInterval() const { return thread_interval_; }
  void SetThreadInterval(uint32_t value);  // clamped to 10..10000
  uint32_t ThreadByteTimeout() const { return thread_byte_timeout_; }
  void SetThreadByteTimeout(uint32_t value);  // clamped to 10..1000
  bool ReceiveInThread() const { return receive_in_thread_; }
  void SetReceiveInThread(bool value);

  TOnReceiveByteEvent OnReceiveByte;
  TOnReceiveTimeout OnReceiveTimeout;

  // Set by the application before Open in thread mode (the thread takes a copy at Open).
  // Without one, events wait until the application calls ServeSynchronizedCalls.
  void SetMainThreadDispatcher(MainThreadDispatcher dispatcher);
  // Runs, on the calling (main) thread, the receive-thread event that waits to be handled, if
  // any. For applications that pump their own queue instead of using a dispatcher.
  void ServeSynchronizedCalls();

  // COM numbers mapped to port addresses (the settings file's [Ports] section: a device path,
  // or tcp://host:port, with options; see serial/OxaPortAddress.h). A number not in the map
  // opens DefaultComDeviceName(number).
  void SetDeviceMap(std::map<uint8_t, std::string> map) { device_map_ = std::move(map); }
  const std::map<uint8_t, std::string>& DeviceMap() const { return device_map_; }
  // The address the current ComPort number opens, as mapped (empty for number 0).
  std::string DeviceName() const;

 private:
  friend class ToxaComPortRcvThread;

  // Ends the receive thread, running its pending events on this thread until it has ended.
  void StopThread();
  // An answer whose first byte came at `answer_us` answers the earliest attempt still open.
  void CloseEarliestAttempt(uint64_t answer_us);
  // One character's time on the line, microseconds (at 9600 bit/s where the rate is the line's
  // own).
  uint64_t CharUs() const;

  std::unique_ptr<IComPortIo> io_;
  intptr_t handle_ = 0;
  bool opened_ = false;
  const std::string version_ = "v1.00";
  uint8_t com_port_ = 1;
  uint32_t baud_rate_ = 9600;
  TLineFormat line_format_;
  uint32_t thread_interval_ = 100;
  uint32_t thread_byte_timeout_ = 10;
  bool receive_in_thread_ = false;
  std::map<uint8_t, std::string> device_map_;
  TPortAddress address_;
  TOpenError open_error_;
  MainThreadDispatcher dispatcher_;
  TPortTap tap_;
  // Where the receive thread leaves the event that waits for the main thread. Shared with the
  // `serve` calls handed to the dispatcher, which may outlive the port.
  std::shared_ptr<TSyncMailbox> mailbox_;
  std::unique_ptr<ToxaComPortRcvThread> thread_;
  int stopping_ = 0;  // depth of StopThread calls in progress (handlers may close again)

  // The requests of attempts still open, oldest first (at most one exchange's attempts: the
  // line is listened out before the next exchange's first request).
  static constexpr size_t kMaxOpenAttempts = 32;
  std::array<uint64_t, kMaxOpenAttempts> open_requests_us_{};
  size_t open_count_ = 0;
  uint64_t last_attempt_end_us_ = 0;
  // When the last byte seen on the line (received, or sent: when it left) was there; 0 none.
  uint64_t last_line_us_ = 0;
  uint64_t lateness_us_ = 0;
  uint32_t late_packet_timeout_ms_ = 0;
  uint32_t late_byte_timeout_ms_ = 0;
};

// The published component: the properties and events above, nothing added.
class ToxaComPort : public ToxaCustomComPort {
 public:
  using ToxaCustomComPort::ToxaCustomComPort;
};

}  // namespace oxa
