// A serial port whose device is a script and whose clock is virtual. The master under test
// writes its request; when it starts waiting for the answer, the next scripted answer (or the
// responder's) is put on the line at the virtual time it would arrive. Waiting advances the
// virtual clock instead of sleeping, so a time-out of seconds runs in microseconds while the
// number of polls and the milliseconds spent stay exact.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/ComPortIo.h"
#include "serial/OxaComPort.h"
#include "tests/support/ErrorNames.h"

namespace oxa::testing {

struct TFakeAnswer {
  std::vector<uint8_t> bytes;
  uint32_t delay_ms = 5;     // from the start of the master's wait to the first byte
  uint32_t byte_gap_ms = 0;  // between two bytes of the answer
};

class TFakeComPortIo : public IComPortIo {
 public:
  // --- Script -------------------------------------------------------------------------------
  // The next request draws this answer. Answers are used in order, one per request.
  void QueueAnswer(std::vector<uint8_t> bytes, uint32_t delay_ms = 5, uint32_t byte_gap_ms = 0);
  // The next request draws no answer at all.
  void QueueSilence();
  // When no queued answer is left, the responder decides (nullopt: silence). It sees the
  // bytes written since the last purge.
  using Responder = std::function<std::optional<TFakeAnswer>(const std::vector<uint8_t>& request)>;
  void SetResponder(Responder responder) { responder_ = std::move(responder); }
  // Bytes that arrive at an absolute virtual time, independent of any request.
  void InjectInput(const std::vector<uint8_t>& bytes, uint64_t at_ms);

  bool fail_open = false;     // Open reports failure
  int fail_write_after = -1;  // writes fail once this many bytes were written (-1: never)
  // The line returns every byte written at once, as a two-wire RS-485 adapter does; the byte
  // at index alter_echo_at of each request comes back inverted (another station talking).
  bool echo_line = false;
  int alter_echo_at = -1;
  int alter_echo_count = -1;  // how many requests come back altered (-1: every one)
  // The device goes away at this virtual time: from then on writes fail, reads find nothing
  // and Lost() is true, until the port is opened again.
  uint64_t lose_at_ms = UINT64_MAX;

  // --- What happened ------------------------------------------------------------------------
  uint64_t NowMs() const { return now_ms_; }
  // Every request as written between two purges, in order.
  const std::vector<std::vector<uint8_t>>& Requests() const { return requests_; }
  // ReadByte and Read calls that found nothing.
  size_t EmptyReads() const { return empty_reads_; }
  size_t EmptyWaits() const { return empty_waits_; }  // WaitForInput calls that found nothing
  size_t WriteCalls() const { return write_calls_; }  // WriteByte and Write calls
  size_t Purges() const { return purges_; }
  size_t Opens() const { return opens_; }
  uint64_t SleptMs() const { return slept_ms_; }    // time spent in Sleep
  uint64_t WaitedMs() const { return waited_ms_; }  // time spent in WaitForInput
  size_t PendingInput() const { return input_.size(); }
  const std::string& OpenedDevice() const { return device_; }  // path or tcp://host:port
  uint32_t OpenedBaud() const { return baud_; }

  // --- IComPortIo ---------------------------------------------------------------------------
  using IComPortIo::Open;
  bool Open(const TPortAddress& address, uint32_t baud) override;
  const TOpenError& OpenError() const override { return open_error_; }
  void Close() override;
  void Purge() override;
  bool WriteByte(uint8_t byte) override;
  bool Write(std::span<const uint8_t> bytes) override;
  bool ReadByte(uint8_t& byte) override;
  size_t Read(std::span<uint8_t> bytes) override;
  bool WaitForInput(uint32_t ms) override;
  bool InputPending() override;
  bool Lost() const override { return open_ && now_ms_ >= lose_at_ms; }
  uint64_t NowUs() const override { return now_ms_ * 1000; }
  void Sleep(uint32_t ms) override;
  intptr_t NativeHandle() const override { return open_ ? 3 : -1; }

 private:
  struct TArrival {
    uint64_t at_ms;
    uint8_t byte;
  };
  // Puts the answer to the request just written on the line (once per request).
  void AnswerPendingRequest();
  void Schedule(const TFakeAnswer& answer);

  bool open_ = false;
  TOpenError open_error_;
  std::string device_;
  uint32_t baud_ = 0;
  uint64_t now_ms_ = 0;
  std::deque<TArrival> input_;  // ordered by time
  std::deque<std::optional<TFakeAnswer>> queued_;
  Responder responder_;
  std::vector<std::vector<uint8_t>> requests_;
  bool request_open_ = false;  // bytes written that have not drawn their answer yet
  size_t written_total_ = 0;
  size_t empty_reads_ = 0;
  size_t empty_waits_ = 0;
  size_t write_calls_ = 0;
  size_t purges_ = 0;
  size_t opens_ = 0;
  uint64_t slept_ms_ = 0;
  uint64_t waited_ms_ = 0;
};

// A port component over a fake device, opened, with the fake kept at hand.
struct TFakePort {
  TFakePort();
  TFakeComPortIo* io;  // owned by port
  ToxaComPort port;
};

// Appends the Modbus CRC (low byte first) to a frame.
std::vector<uint8_t> WithCrc(std::vector<uint8_t> frame);
// Parses "01 03 0A" into bytes.
std::vector<uint8_t> Hex(const std::string& text);

}  // namespace oxa::testing
