#include "sim/MemoryDevice.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

#include "serial/OxaHost.h"
#include "sim/SimClock.h"

namespace oxa::sim {
namespace {

using Clock = std::chrono::steady_clock;

// Times are kept as nanoseconds of the steady clock.
Clock::time_point At(int64_t ns) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns)));
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// The speed of a port opened without one (0 keeps a line's speed): the port's default.
constexpr uint32_t kDefaultBaud = 9600;

}  // namespace

// The device and what is on its line towards the master: answer bytes, each with the moment it
// has passed the line. Everything under one lock, taken by the port's thread and by Edit.
class TMemoryDevice::TLine {
 public:
  explicit TLine(uint8_t address) : device_(address), last_tick_(Clock::now()) {
    device_.SetClock(SecondsFromUtc(LocalTimeNow()));
  }

  void Edit(const std::function<void(FulDevice&)>& change) {
    std::lock_guard lock(mutex_);
    Settle(NowNs());
    change(device_);
  }

  uint8_t Address() {
    std::lock_guard lock(mutex_);
    return device_.Address();
  }

  void SetAddress(uint8_t address) {
    std::lock_guard lock(mutex_);
    device_.SetAddress(address);
  }

  // --- The port's side ----------------------------------------------------------------------
  // Takes the line for one port at `baud`; false while another port has it.
  bool Open(uint32_t baud) {
    std::lock_guard lock(mutex_);
    if (open_) return false;
    open_ = true;
    if (baud == 0) baud = kDefaultBaud;
    char_ns_ = std::max<int64_t>(1, 10'000'000'000LL / baud);
    gap_ns_ = int64_t{IdleGapMs(baud)} * 1'000'000;
    Reset(NowNs());
    return true;
  }

  void Close() {
    std::lock_guard lock(mutex_);
    Reset(NowNs());
    open_ = false;
  }

  // Drops what has arrived; an answer still on its way goes on arriving.
  void Purge() {
    std::lock_guard lock(mutex_);
    const int64_t now = NowNs();
    Settle(now);
    while (!queue_.empty() && queue_.front().first <= now) queue_.pop_front();
  }

  // Hands the request to the device byte by byte, so that each answer is queued before the
  // next request is looked at.
  void Write(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    const int64_t now = NowNs();
    Settle(now);
    for (size_t i = 0; i < bytes.size(); ++i) Queue(device_.Feed(bytes.subspan(i, 1)), now);
    last_rx_ns_ = now;
  }

  size_t Read(std::span<uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    const int64_t now = NowNs();
    Settle(now);
    size_t n = 0;
    while (n < bytes.size() && !queue_.empty() && queue_.front().first <= now) {
      bytes[n++] = queue_.front().second;
      queue_.pop_front();
    }
    return n;
  }

  bool Readable() {
    std::lock_guard lock(mutex_);
    const int64_t now = NowNs();
    Settle(now);
    return !queue_.empty() && queue_.front().first <= now;
  }

  // Sleeps until a byte is due or `ms` have passed, whichever comes first.
  bool WaitForInput(uint32_t ms) {
    std::unique_lock lock(mutex_);
    const int64_t deadline = NowNs() + int64_t{ms} * 1'000'000;
    for (;;) {
      const int64_t now = NowNs();
      Settle(now);
      if (!queue_.empty() && queue_.front().first <= now) return true;
      if (now >= deadline) return false;
      int64_t until = deadline;
      if (!queue_.empty()) until = std::min(until, queue_.front().first);
      if (device_.PendingBytes() > 0) until = std::min(until, last_rx_ns_ + gap_ns_);
      wake_.wait_until(lock, At(until));
    }
  }

 private:
  // The device's time up to `now`, and a request of unknown length ended by the silence after
  // it (under the lock).
  void Settle(int64_t now) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(At(now) - last_tick_);
    if (ms.count() > 0) {
      device_.AdvanceTime(static_cast<uint32_t>(std::min<int64_t>(ms.count(), UINT32_MAX)));
      last_tick_ += ms;
    }
    if (device_.PendingBytes() > 0 && now >= last_rx_ns_ + gap_ns_) {
      Queue(device_.LineIdle(), last_rx_ns_ + gap_ns_);
    }
  }

  // The answer's bytes go on the line after `from` and after what is already on it.
  void Queue(const std::vector<uint8_t>& answer, int64_t from) {
    int64_t at = queue_.empty() ? from : std::max(from, queue_.back().first);
    for (const uint8_t byte : answer) {
      at += char_ns_;
      queue_.emplace_back(at, byte);
    }
  }

  // A port that opens or closes starts the line afresh: no answer left on it, and nothing the
  // last master left unfinished taken as part of the next one's request.
  void Reset(int64_t now) {
    Settle(now);
    queue_.clear();
    device_.LineIdle();
    last_rx_ns_ = now;
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  FulDevice device_;
  Clock::time_point last_tick_;
  std::deque<std::pair<int64_t, uint8_t>> queue_;  // due time (ns), byte
  bool open_ = false;
  int64_t char_ns_ = 10'000'000'000LL / kDefaultBaud;
  int64_t gap_ns_ = 50'000'000;
  int64_t last_rx_ns_ = 0;  // when the master last wrote
};

namespace {

// Opens the device's own path on the line and every other address through `others`.
class TMemoryComPortIo final : public IComPortIo {
 public:
  TMemoryComPortIo(std::shared_ptr<TMemoryDevice::TLine> line, std::string path,
                   std::unique_ptr<IComPortIo> others)
      : line_(std::move(line)), path_(std::move(path)), others_(std::move(others)) {}
  ~TMemoryComPortIo() override { Close(); }

  bool Open(const TPortAddress& address, uint32_t baud) override {
    Close();
    error_ = {};
    if (address.kind != TPortAddress::Kind::kSerial || address.path != path_) {
      if (others_) {
        others_open_ = true;
        return others_->Open(address, baud);
      }
      error_ = {TOpenFailure::kNotPresent, "no such device", 0, {}};
      return false;
    }
    if (!line_->Open(baud)) {
      error_ = {TOpenFailure::kBusy, "the virtual device is open on another port", 0, {}};
      return false;
    }
    open_ = true;
    return true;
  }
  const TOpenError& OpenError() const override {
    return others_open_ ? others_->OpenError() : error_;
  }
  void Close() override {
    if (others_open_) others_->Close();
    others_open_ = false;
    if (open_) line_->Close();
    open_ = false;
  }
  void Purge() override {
    if (others_open_) return others_->Purge();
    if (open_) line_->Purge();
  }
  bool WriteByte(uint8_t byte) override { return Write({&byte, 1}); }
  bool Write(std::span<const uint8_t> bytes) override {
    if (others_open_) return others_->Write(bytes);
    if (!open_) return false;
    line_->Write(bytes);
    return true;
  }
  bool ReadByte(uint8_t& byte) override { return Read({&byte, 1}) == 1; }
  size_t Read(std::span<uint8_t> bytes) override {
    if (others_open_) return others_->Read(bytes);
    return open_ ? line_->Read(bytes) : 0;
  }
  bool WaitForInput(uint32_t ms) override {
    if (others_open_) return others_->WaitForInput(ms);
    if (open_) return line_->WaitForInput(ms);
    Sleep(ms);
    return false;
  }
  bool InputPending() override {
    if (others_open_) return others_->InputPending();
    return open_ && line_->Readable();
  }
  bool Lost() const override { return others_open_ && others_->Lost(); }
  uint64_t NowUs() const override {
    return uint64_t(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
            .count());
  }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  // The device has no handle of the system.
  intptr_t NativeHandle() const override { return others_open_ ? others_->NativeHandle() : -1; }

 private:
  std::shared_ptr<TMemoryDevice::TLine> line_;
  std::string path_;
  std::unique_ptr<IComPortIo> others_;
  bool open_ = false;         // this port has the device's line
  bool others_open_ = false;  // the last Open went to `others_`
  TOpenError error_;
};

}  // namespace

TMemoryDevice::TMemoryDevice(TMemoryDeviceOptions options)
    : line_(std::make_shared<TLine>(options.address)) {}

TMemoryDevice::~TMemoryDevice() = default;

TMemoryDeviceOptions TMemoryDevice::Options() const {
  return {line_->Address()};
}

void TMemoryDevice::SetAddress(uint8_t address) {
  line_->SetAddress(address);
}

void TMemoryDevice::Edit(const std::function<void(FulDevice&)>& change) {
  line_->Edit(change);
}

uint32_t TMemoryDevice::IdleGapMs(uint32_t baud) {
  // As a pseudo-terminal's device keeps it: never less than 50 ms, so that a request is never
  // split on a loaded machine; on a slow line the usual 3.5 characters are longer still.
  constexpr uint32_t kMinGapMs = 50;
  if (baud == 0) baud = kDefaultBaud;
  return std::max(kMinGapMs, uint32_t((35'000ULL + baud - 1) / baud));
}

std::unique_ptr<IComPortIo> TMemoryDevice::MakeComPortIo(std::unique_ptr<IComPortIo> others) {
  return std::make_unique<TMemoryComPortIo>(line_, device_path_, std::move(others));
}

}  // namespace oxa::sim
