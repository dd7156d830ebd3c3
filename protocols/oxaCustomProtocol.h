// What the two master protocols share: the port they talk through, the device's address, the
// answer time-outs, the number of attempts, the device type, the write switch, the code of the
// last outcome, and the exchange itself. The setters apply the same silent rules in both
// masters: a value out of range is ignored (or, for DeviceType, mapped to 0) and nothing is
// reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "serial/OxaComPort.h"
#include "serial/OxaUtils.h"

namespace oxa {

// What a receiver does with the bytes of an answer seen so far (the last one just arrived; the
// first is the candidate first byte of the frame). Each protocol decides it with a pure
// function of those bytes.
enum class TFrameStep {
  kSkipByte,     // not the first byte of a frame: drop it, read the next one into its place
  kNeedMore,     // keep the byte and read the next one
  kComplete,     // the frame is whole and its checksum right
  kBadAddress,   // the address check failed (code 4)
  kBadLength,    // the stated length cannot fit a frame (code 5)
  kBadChecksum,  // the frame is whole but its checksum is wrong (code 5)
  kSkipFrame,    // the frame is whole and intact but answers another request (a Modbus TCP
                 // answer to an earlier transaction): drop it and wait on for the answer
};

class ToxaCustomProtocol {
 public:
  virtual ~ToxaCustomProtocol() = default;
  ToxaCustomProtocol(const ToxaCustomProtocol&) = delete;
  ToxaCustomProtocol& operator=(const ToxaCustomProtocol&) = delete;

  // The port all traffic goes through; not owned. A null value is ignored: once bound, a port
  // stays bound.
  ToxaCustomComPort* ComPort() const { return com_port_; }
  void SetComPort(ToxaCustomComPort* port);

  // Device address 0..127; larger values are ignored.
  uint8_t NetAddr() const { return net_addr_; }
  void SetNetAddr(uint8_t value);

  // Time allowed for the first answer byte, ms. Rounded down to a multiple of 10; kept only if
  // 10 ≤ result < 10000.
  uint32_t PacketTimeout() const { return packet_timeout_; }
  void SetPacketTimeout(uint32_t value);

  // Time allowed for each further answer byte, ms. Rounded down to a multiple of 10; kept only
  // if 10 ≤ result < 3000.
  uint32_t ByteTimeout() const { return byte_timeout_; }
  void SetByteTimeout(uint32_t value);

  // Attempts per exchange, 1..24; other values are ignored.
  uint8_t RepeatCount() const { return repeat_count_; }
  void SetRepeatCount(uint8_t value);

  // Whether the pause a protocol keeps after a failed attempt also follows the last one (the
  // default). A scan that asks each address once switches it off: nothing follows on that
  // address. Either way the line is listened out before the port's next request (Transact).
  bool PauseAfterLastAttempt() const { return pause_after_last_attempt_; }
  void SetPauseAfterLastAttempt(bool value) { pause_after_last_attempt_ = value; }

  // Outcome of the last operation: a TOxaError number, with its text in ErrorMessages
  // (serial/OxaUtils.h); 0 is success.
  uint32_t LastError() const { return static_cast<uint32_t>(last_error_); }

  // Index into the device-type name tables, 0..11; larger values are stored as 0.
  uint32_t DeviceType() const { return device_type_; }
  void SetDeviceType(uint32_t value);

  // True when the last operation's request came back altered or not at all on a line that
  // echoes it (code 1 then means a collision on the line, not a dead link).
  bool EchoFailed() const { return echo_failed_ && last_error_ == kNoPortOrWriteFailed; }

  // Lets the operations that may do so open a closed port by themselves.
  bool AutoOpenPort() const { return auto_open_port_; }
  void SetAutoOpenPort(bool value) { auto_open_port_ = value; }

  // Enables the writes it gates; while false they send nothing and report success.
  bool EWrite() const { return e_write_; }
  void SetEWrite(bool value) { e_write_ = value; }

 protected:
  using enum TOxaError;

  ToxaCustomProtocol() = default;

  // For the device classes: an answer that is valid on the line but not what the device sends.
  void SetLastError(TOxaError code) { last_error_ = code; }

  // ---- The exchange both masters run ------------------------------------------------------
  // Up to RepeatCount attempts, each of which purges the port, writes `request` in one go and
  // takes answer bytes into `answer` until NextFrameStep says the frame is complete or invalid,
  // then has CheckAnswer compare it with the request. Returns the answer's length with
  // LastError 0, or 0 with the code of the last attempt. It ends at once, without further
  // attempts, when no port is bound or the link fails (code 1: a write that does not go out, a
  // device that is gone) and when the port is not open (code 6). `answer` is as long as the
  // longest answer the protocol has: no byte is ever stored past it.
  //
  // An answer carries nothing that ties it to its request, so a device that answers after the
  // time-out would have its answer taken for the next request's. Every attempt is told to the
  // port with the first byte of its answer, or without one; an answer that comes during a
  // later attempt of the same request is taken (it answers that request) and counts for the
  // earliest attempt still open. Before its first request the exchange has the port listen out
  // what earlier attempts may still bring (ToxaCustomComPort::AwaitLateAnswers); a failed
  // exchange returns at once after its last attempt.
  size_t Transact(std::span<const uint8_t> request, std::span<uint8_t> answer);
  // Purges the port and writes the frame in one go; false with code 1 when it did not all go.
  bool SendRequest(std::span<const uint8_t> request);
  // On a line that returns each request (the port's echo option): takes the request back off
  // the line. False with code 1 when it is missing or altered; the attempt is then repeated,
  // since another station talking at the same time is over by the next one.
  bool TakeEcho(std::span<const uint8_t> request);
  // Takes one answer into `answer`: its length, or 0 with LastError 1 (the link failed), 2 (a
  // byte missed its time-out, or the attempt ran out of time), 4 or 5 (as the step says).
  size_t ReceiveAnswer(std::span<uint8_t> answer);

  // What each protocol brings to the exchange.
  virtual TFrameStep NextFrameStep(std::span<const uint8_t> seen) const = 0;
  // How many bytes the receiver may take from the port in one go after `seen`: NextFrameStep
  // says kNeedMore for all of them but the last, so none is taken past a point where the frame
  // could end or be refused. 1 (the default) takes them one at a time.
  virtual size_t ReadAhead(std::span<const uint8_t> /*seen*/) const { return 1; }
  // An intact frame that does not answer `request` gets a code and is asked for again like a
  // damaged one; kOk takes it.
  virtual TOxaError CheckAnswer(std::span<const uint8_t> /*request*/,
                                std::span<const uint8_t> /*answer*/) const {
    return kOk;
  }
  // The pause after each failed attempt, ms.
  virtual uint32_t RetryPauseMs() const { return 0; }
  // Called as each attempt's request goes out.
  virtual void RequestStarted(std::span<const uint8_t> /*request*/) {}

  // The state the masters' exchanges read and set.
  ToxaCustomComPort* com_port_ = nullptr;
  bool auto_open_port_ = false;
  bool e_write_ = false;
  uint8_t repeat_count_ = 3;
  bool pause_after_last_attempt_ = true;
  uint32_t packet_timeout_ = 300;
  uint32_t byte_timeout_ = 40;
  uint8_t net_addr_ = 0;
  TOxaError last_error_ = kOk;
  uint32_t device_type_ = 0;
  bool echo_failed_ = false;
  // When the last request began to go out, and when the first byte of the frame ReceiveAnswer
  // last took arrived; the port's clock.
  uint64_t request_us_ = 0;
  std::optional<uint64_t> frame_start_us_;

 private:
  enum class TByteWait { kGot, kTimedOut, kLost };
  // Takes the next bytes, at most `wanted.size()` and as many as the port has, into `wanted`
  // (their count in `got`): waits at most `timeout_ms` for them (in empty polls of 10 ms) and
  // never past `deadline_us`. `ready` says a wait has just found input; it is cleared when
  // bytes are taken.
  TByteWait NextBytes(std::span<uint8_t> wanted, size_t& got, uint32_t timeout_ms,
                      uint64_t deadline_us, bool& ready);

  // The longest one attempt may take: the packet time-out, the time the longest answer takes
  // on the line, and the byte time-out. Each answer byte restarts its own time-out, so without
  // this bound a line with sparse noise could hold a receiver for minutes.
  uint64_t AttemptBoundUs(size_t longest_answer) const;
};

}  // namespace oxa
