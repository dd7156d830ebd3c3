#include "serial/OxaComPort.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace oxa {

// The meeting point of the receive thread and the main thread. The receive thread leaves one
// event at a time here and waits until the main thread has run it; the main thread runs it from
// the dispatcher's `serve`, from ServeSynchronizedCalls, or while it waits for the thread to end.
// It also carries the request to terminate, so every wait of the thread wakes on it.
class TSyncMailbox {
 public:
  // --- Receive thread -----------------------------------------------------------------------
  // Leaves `event` to be run on the main thread; returns its number for WaitHandled.
  uint64_t Post(std::function<void()> event) {
    std::lock_guard lock(mutex_);
    pending_ = std::move(event);
    pending_number_ = ++posted_;
    changed_.notify_all();
    return pending_number_;
  }

  // Waits until event `number` has run, or until termination is requested (the thread then
  // leaves; a closing main thread still runs the event if it has not started yet).
  void WaitHandled(uint64_t number) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return handled_ >= number || terminate_; });
  }

  // Waits `ms`; true as soon as termination is requested.
  bool WaitTerminate(uint32_t ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return terminate_; });
  }

  bool TerminateRequested() {
    std::lock_guard lock(mutex_);
    return terminate_;
  }

  void MarkFinished() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }

  // --- Main thread --------------------------------------------------------------------------
  // Runs the waiting event on the calling thread; false when none waits. An event is taken by
  // exactly one caller, so a late `serve` finds nothing and does nothing.
  bool RunPending() {
    std::function<void()> event;
    uint64_t number = 0;
    {
      std::lock_guard lock(mutex_);
      if (!pending_) return false;
      event = std::move(pending_);
      pending_ = nullptr;
      number = pending_number_;
    }
    // Marks the event handled even if the handler throws, so the thread is never left waiting.
    struct THandled {
      TSyncMailbox& box;
      uint64_t number;
      ~THandled() {
        std::lock_guard lock(box.mutex_);
        box.handled_ = number;
        box.changed_.notify_all();
      }
    } handled{*this, number};
    event();
    return true;
  }

  void RequestTerminate() {
    std::lock_guard lock(mutex_);
    terminate_ = true;
    changed_.notify_all();
  }

  // Runs the thread's events until the thread has ended and nothing waits any more.
  void ServeUntilFinished() {
    for (;;) {
      if (RunPending()) continue;
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return finished_ || pending_ != nullptr; });
      if (finished_ && !pending_) return;
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> pending_;
  uint64_t pending_number_ = 0;
  uint64_t posted_ = 0;
  uint64_t handled_ = 0;
  bool terminate_ = false;
  bool finished_ = false;
};

// The receive thread: the only reader of the port while it runs. It works on copies of the
// timing values, handlers and dispatcher taken when the port opened.
class ToxaComPortRcvThread {
 public:
  ToxaComPortRcvThread(ToxaCustomComPort& sender, IComPortIo& io,
                       std::shared_ptr<TSyncMailbox> mailbox, MainThreadDispatcher dispatcher)
      : sender_(sender),
        io_(io),
        mailbox_(std::move(mailbox)),
        dispatcher_(std::move(dispatcher)),
        on_receive_byte_(sender.OnReceiveByte),
        on_receive_timeout_(sender.OnReceiveTimeout),
        tap_(sender.tap_),
        interval_(sender.ThreadInterval()),
        byte_timeout_(sender.ThreadByteTimeout()) {}

  // False when the system cannot give another thread.
  bool Start() {
    try {
      thread_ = std::thread([this] { Execute(); });
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  void Terminate() { mailbox_->RequestTerminate(); }

  // Serves the thread's events until it has ended, then reaps it. Safe to repeat, also from a
  // handler that runs while an outer call is waiting here.
  void WaitFor() {
    const std::shared_ptr<TSyncMailbox> mailbox = mailbox_;
    mailbox->ServeUntilFinished();
    if (thread_.joinable()) thread_.join();
  }

 private:
  // Longest single wait for input, so a termination request is noticed within it.
  static constexpr uint32_t kWaitSliceMs = 20;

  // One cycle collects a burst: bytes are read until two reads in a row find nothing. Every
  // byte and the cycle's closing time-out carry the cycle number as ThreadTick. A termination
  // request ends the thread at once, also in the middle of a burst from a device that never
  // stops sending; the interrupted cycle reports no time-out.
  void Execute() {
    uint32_t cycle = 0;
    while (!mailbox_->TerminateRequested()) {
      thread_tick_ = cycle;
      int misses = 0;
      bool terminated = false;
      while (misses < 2 && !terminated) {
        if (io_.ReadByte(byte_val_)) {
          if (tap_) tap_(TPortDirection::kReceived, {&byte_val_, 1}, io_.NowUs());
          DoReceiveByte();
          misses = 0;
        } else {
          WaitByteTimeout();
          ++misses;
        }
        terminated = mailbox_->TerminateRequested();
      }
      if (terminated) break;
      DoReceiveTimeout();
      ++cycle;
      if (mailbox_->WaitTerminate(interval_)) break;
    }
    mailbox_->MarkFinished();
  }

  // The pause after an empty read. It ends early when input arrives: the next read takes it
  // then instead of after the full pause, and the count of empty reads stays the same.
  void WaitByteTimeout() {
    uint32_t left = byte_timeout_;
    while (left > 0) {
      const uint32_t slice = std::min(left, kWaitSliceMs);
      if (io_.WaitForInput(slice)) return;
      left -= slice;
      if (mailbox_->TerminateRequested()) return;
    }
  }

  void DoReceiveByte() {
    if (!on_receive_byte_) return;
    Synchronize([handler = on_receive_byte_, &sender = sender_, byte = byte_val_,
                 tick = thread_tick_] { handler(sender, byte, tick); });
  }

  void DoReceiveTimeout() {
    if (!on_receive_timeout_) return;
    Synchronize([handler = on_receive_timeout_, &sender = sender_, tick = thread_tick_] {
      handler(sender, tick);
    });
  }

  // Runs `event` on the main thread and waits until it has run. The event holds its own copy
  // of the handler, so it stays valid even if the handler closes the port and this thread ends
  // while the handler is still running.
  void Synchronize(std::function<void()> event) {
    const uint64_t number = mailbox_->Post(std::move(event));
    if (dispatcher_) dispatcher_([mailbox = mailbox_] { mailbox->RunPending(); });
    mailbox_->WaitHandled(number);
  }

  ToxaCustomComPort& sender_;
  IComPortIo& io_;
  const std::shared_ptr<TSyncMailbox> mailbox_;
  const MainThreadDispatcher dispatcher_;
  const TOnReceiveByteEvent on_receive_byte_;
  const TOnReceiveTimeout on_receive_timeout_;
  const TPortTap tap_;
  const uint32_t interval_;
  const uint32_t byte_timeout_;
  uint32_t thread_tick_ = 0;
  uint8_t byte_val_ = 0;
  std::thread thread_;
};

ToxaCustomComPort::ToxaCustomComPort() : ToxaCustomComPort(MakePlatformComPortIo()) {}

ToxaCustomComPort::ToxaCustomComPort(std::unique_ptr<IComPortIo> io) : io_(std::move(io)) {}

ToxaCustomComPort::~ToxaCustomComPort() {
  StopThread();
}

void ToxaCustomComPort::SetComPort(uint8_t value) {
  if (value != com_port_) com_port_ = value;
}

void ToxaCustomComPort::SetBaudRate(uint32_t value) {
  if (value != baud_rate_) baud_rate_ = value;
}

void ToxaCustomComPort::SetLineFormat(const TLineFormat& value) {
  TLineFormat checked;
  if (ParseLineFormat(LineFormatText(value), checked)) line_format_ = checked;
}

void ToxaCustomComPort::SetThreadInterval(uint32_t value) {
  value = std::clamp<uint32_t>(value, 10, 10000);
  if (value != thread_interval_) thread_interval_ = value;
}

void ToxaCustomComPort::SetThreadByteTimeout(uint32_t value) {
  value = std::clamp<uint32_t>(value, 10, 1000);
  if (value != thread_byte_timeout_) thread_byte_timeout_ = value;
}

void ToxaCustomComPort::SetReceiveInThread(bool value) {
  if (value != receive_in_thread_) receive_in_thread_ = value;
}

void ToxaCustomComPort::SetMainThreadDispatcher(MainThreadDispatcher dispatcher) {
  dispatcher_ = std::move(dispatcher);
}

void ToxaCustomComPort::ServeSynchronizedCalls() {
  // A local reference: the event may close or reopen the port, which replaces mailbox_.
  if (const std::shared_ptr<TSyncMailbox> mailbox = mailbox_) mailbox->RunPending();
}

std::string ToxaCustomComPort::DeviceName() const {
  if (com_port_ == 0) return {};
  const auto it = device_map_.find(com_port_);
  return it != device_map_.end() ? it->second : DefaultComDeviceName(com_port_);
}

bool ToxaCustomComPort::Open() {
  // A handler that runs while Close waits for the receive thread cannot reopen the port
  // under it.
  if (stopping_ > 0) return false;
  if (opened_) Close();
  // Another opening may be another device: what this one showed of its lateness goes.
  open_count_ = 0;
  lateness_us_ = 0;
  last_line_us_ = 0;
  handle_ = -1;
  opened_ = false;
  open_error_ = {};
  const std::string device = DeviceName();
  std::string problem;
  if (device.empty()) {
    open_error_ = {
        TOpenFailure::kBadAddress, "COM" + std::to_string(com_port_) + " names no device", 0, {}};
    return false;
  }
  if (!ParsePortAddress(device, address_, problem)) {
    open_error_ = {TOpenFailure::kBadAddress, problem, 0, {}};
    return false;
  }
  if (!address_.format) address_.format = line_format_;
  if (!io_->Open(address_, baud_rate_)) {
    open_error_ = io_->OpenError();
    if (open_error_.failure == TOpenFailure::kNone) open_error_.failure = TOpenFailure::kOther;
    return false;
  }
  handle_ = io_->NativeHandle();
  opened_ = true;
  if (receive_in_thread_) {
    mailbox_ = std::make_shared<TSyncMailbox>();
    thread_ = std::make_unique<ToxaComPortRcvThread>(*this, *io_, mailbox_, dispatcher_);
    if (!thread_->Start()) {
      // Thread mode without its thread would refuse every read and raise no event: the port
      // is no use, so it is released and the opening reported as failed.
      thread_.reset();
      mailbox_.reset();
      opened_ = false;
      io_->Close();
      handle_ = -1;
      open_error_ = {TOpenFailure::kOther, "no receive thread could be started", 0, {}};
      return false;
    }
  }
  return true;
}

void ToxaCustomComPort::StopThread() {
  if (!thread_) return;
  // A handler run while we wait may call Close again: the nested call waits for the same
  // thread, and only the outermost one frees it.
  ++stopping_;
  thread_->Terminate();
  thread_->WaitFor();
  if (--stopping_ == 0) thread_.reset();
}

void ToxaCustomComPort::Close() {
  if (!opened_) return;
  // A late answer must not meet the next program or the next opening of this port.
  AwaitLateAnswers();
  StopThread();
  opened_ = false;
  io_->Close();
}

void ToxaCustomComPort::Purge() {
  if (opened_) io_->Purge();
}

bool ToxaCustomComPort::WriteByte(uint8_t byte) {
  return Write({&byte, 1});
}

bool ToxaCustomComPort::Write(std::span<const uint8_t> bytes) {
  if (!opened_) return false;
  const uint64_t now = io_->NowUs();
  if (tap_) tap_(TPortDirection::kSent, bytes, now);
  const bool written = io_->Write(bytes);
  // The last byte leaves the line after all of them have taken their time on it.
  last_line_us_ = std::max(last_line_us_, now + bytes.size() * CharUs());
  return written;
}

uint64_t ToxaCustomComPort::CharUs() const {
  const uint64_t baud = baud_rate_ != 0 ? baud_rate_ : 9600;
  return (FormatInUse().BitsPerChar() * uint64_t{1'000'000} + baud - 1) / baud;
}

uint64_t ToxaCustomComPort::FrameSilenceUs() const {
  // Above 19200 bit/s a fixed 1.75 ms, as the Modbus serial line standard sets it.
  if (baud_rate_ > 19200) return 1750;
  return (7 * CharUs() + 1) / 2;
}

void ToxaCustomComPort::AwaitFrameSilence(uint32_t bound_ms) {
  // Modbus TCP frames carry their length: no silence tells where one starts.
  if (!opened_ || thread_ || last_line_us_ == 0 || ModbusTcp()) return;
  const uint64_t silence = FrameSilenceUs();
  const uint64_t bound = io_->NowUs() + uint64_t{bound_ms} * 1000;
  std::array<uint8_t, 256> dropped{};
  bool ready = false;
  for (;;) {
    if ((ready || InputPending()) && Read(dropped) > 0) {
      ready = false;
      if (io_->NowUs() >= bound) return;
      continue;
    }
    if (io_->Lost()) return;
    const uint64_t now = io_->NowUs();
    const uint64_t end = std::min(last_line_us_ + silence, bound);
    if (now >= end) return;
    ready =
        io_->WaitForInput(static_cast<uint32_t>(std::min<uint64_t>(10, (end - now + 999) / 1000)));
  }
}

bool ToxaCustomComPort::ReadByte(uint8_t& byte) {
  return Read({&byte, 1}) == 1;
}

size_t ToxaCustomComPort::Read(std::span<uint8_t> bytes) {
  if (receive_in_thread_ || thread_ || !opened_ || bytes.empty()) return 0;
  const size_t n = io_->Read(bytes);
  if (n > 0) {
    const uint64_t now = io_->NowUs();
    last_line_us_ = std::max(last_line_us_, now);
    if (tap_) tap_(TPortDirection::kReceived, bytes.first(n), now);
  }
  return n;
}

bool ToxaCustomComPort::InputPending() {
  return opened_ && !receive_in_thread_ && !thread_ && io_->InputPending();
}

uint64_t ToxaCustomComPort::NowUs() const {
  return io_->NowUs();
}

bool ToxaCustomComPort::Lost() const {
  return opened_ && io_->Lost();
}

bool ToxaCustomComPort::WaitForInput(uint32_t ms) {
  if (!opened_ || receive_in_thread_ || thread_) {
    io_->Sleep(ms);
    return false;
  }
  return io_->WaitForInput(ms);
}

void ToxaCustomComPort::AttemptSent(uint64_t request_us, uint32_t packet_timeout_ms,
                                    uint32_t byte_timeout_ms) {
  late_packet_timeout_ms_ = packet_timeout_ms;
  late_byte_timeout_ms_ = byte_timeout_ms;
  if (open_count_ == kMaxOpenAttempts) {
    // More attempts than any exchange makes: the oldest has long had its answer or never will.
    std::copy(open_requests_us_.begin() + 1, open_requests_us_.end(), open_requests_us_.begin());
    --open_count_;
  }
  open_requests_us_[open_count_++] = request_us;
}

void ToxaCustomComPort::AttemptEnded(std::optional<uint64_t> answer_us) {
  last_attempt_end_us_ = io_->NowUs();
  if (answer_us) CloseEarliestAttempt(*answer_us);
}

void ToxaCustomComPort::CloseEarliestAttempt(uint64_t answer_us) {
  if (open_count_ == 0) return;
  // The answer belongs to the earliest attempt still open: the same request was sent again
  // meanwhile, and an earlier attempt's answer is the first to come.
  if (answer_us > open_requests_us_[0]) {
    lateness_us_ = std::max(lateness_us_, answer_us - open_requests_us_[0]);
  }
  std::copy(open_requests_us_.begin() + 1,
            open_requests_us_.begin() + static_cast<std::ptrdiff_t>(open_count_),
            open_requests_us_.begin());
  --open_count_;
}

void ToxaCustomComPort::AwaitLateAnswers() {
  if (open_count_ == 0) return;
  if (!opened_ || thread_ || io_->Lost()) {
    open_count_ = 0;
    return;
  }
  const uint64_t packet_us = uint64_t{late_packet_timeout_ms_} * 1000;
  const uint64_t byte_us = uint64_t{std::max<uint32_t>(late_byte_timeout_ms_, 10)} * 1000;
  const uint64_t last_request_us = open_requests_us_[open_count_ - 1];
  // Until then an answer of an open attempt may still begin.
  const auto deadline = [&] {
    return std::max(last_attempt_end_us_ + packet_us, last_request_us + lateness_us_ + byte_us);
  };
  // However the line chatters, the listening ends: a frame may run on past the deadline by a
  // packet time-out, as an answer's last byte may come that long after its first. Each frame
  // that answers an attempt may move the deadline, at most once an attempt.
  uint64_t bound = deadline() + packet_us + byte_us;
  std::array<uint8_t, 256> dropped{};
  uint64_t last_byte_us = 0;
  bool ready = false;
  for (;;) {
    if ((ready || InputPending()) && Read(dropped) > 0) {
      const uint64_t now = io_->NowUs();
      // Bytes that follow each other within the byte time-out are one frame; a frame that
      // begins answers the earliest attempt still open.
      if ((last_byte_us == 0 || now - last_byte_us > byte_us) && open_count_ > 0) {
        CloseEarliestAttempt(now);
        bound = std::max(bound, deadline() + packet_us + byte_us);
      }
      last_byte_us = now;
      ready = false;
      // A line that never falls silent is left at the bound however much it holds ready.
      if (now >= bound) break;
      continue;
    }
    if (io_->Lost()) break;
    const uint64_t now = io_->NowUs();
    uint64_t end = open_count_ > 0 ? deadline() : 0;
    if (last_byte_us != 0) end = std::max(end, last_byte_us + byte_us);
    end = std::min(end, bound);
    if (now >= end) break;
    ready =
        io_->WaitForInput(static_cast<uint32_t>(std::min<uint64_t>(10, (end - now + 999) / 1000)));
  }
  open_count_ = 0;
}

void ToxaCustomComPort::Delay(uint32_t ms) {
  io_->Sleep(ms);
}

}  // namespace oxa
