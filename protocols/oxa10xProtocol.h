// The master of the 10x protocol: one request frame to the addressed meter, one answer frame
// back, with packet and byte time-outs, checks, repetition and a last-error code, and the
// protocol's commands (identification, the device's memories, clock, security block).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string>

#include "protocols/oxaCustomProtocol.h"

namespace oxa {

// ---- Frames --------------------------------------------------------------------------------
// Request: 55 addr ~addr group code N data[N] cs. Answer: AA addr ~addr group code N data[N] cs.
// cs is the bitwise NOT of the 8-bit sum of every byte before it; a whole frame is at most
// 255 bytes, so N is at most 248.

inline constexpr uint8_t k10xRequestStart = 0x55;
inline constexpr uint8_t k10xAnswerStart = 0xAA;
inline constexpr size_t k10xHeaderSize = 6;     // start, address, complement, group, code, N
inline constexpr size_t k10xFrameOverhead = 7;  // header and checksum
inline constexpr uint8_t k10xMaxData = 248;
inline constexpr size_t k10xMaxFrame = 255;

// The bitwise NOT of the 8-bit sum of `bytes`.
uint8_t Checksum10x(std::span<const uint8_t> bytes);

// Writes a whole request frame into `out` and returns its length; 0 (nothing written) when
// `data` holds more than 248 bytes or `out` is too small for the frame.
size_t Build10xRequest(std::span<uint8_t> out, uint8_t net_addr, uint8_t group, uint8_t code,
                       std::span<const uint8_t> data);

// What the receiver does with the answer bytes seen so far (the last one just arrived; the
// first is the candidate start byte): skip a first byte other than AA; a bad address when the
// complement at byte 2 disagrees with byte 1 (code 4); a bad length for an N of 249 or more
// (code 5); then more bytes until the frame is whole, complete or with a bad checksum (code 5).
using T10xFrameStep = TFrameStep;
T10xFrameStep Next10xFrameStep(std::span<const uint8_t> seen);

// The bytes the receiver may take in one go after `seen`, up to the step's next decision: the
// first byte alone (it may be skipped), then up to the complement (byte 2), up to N (byte 5),
// and up to the checksum.
size_t Answer10xReadAhead(std::span<const uint8_t> seen);

// The values of the current-values block (group 0C, code 00), in the order received, each
// brought from most-significant-first into host order. The bits are not interpreted.
struct TSfrTekValues {
  std::array<uint32_t, 4> values{};
};

// A broken-down local time (as std::localtime gives it), used to stamp the device clock and
// records. Replaceable so that stamps can be checked at a fixed time.
using LocalTimeSource = std::function<std::tm()>;
std::tm HostLocalTime();

class Toxa10xProtocol : public ToxaCustomProtocol {
 public:
  static constexpr size_t kBufferSize = 256;

  Toxa10xProtocol();

  // Of the shared properties, EWrite gates the write commands.

  // The clock that stamps SetDateTime (and the device classes' records); host local time
  // unless replaced. An empty source restores the host's clock.
  void SetLocalTimeSource(LocalTimeSource source);

  // The last answer and request frames, and the clock image of SetDateTime.
  std::span<const uint8_t, kBufferSize> RxBuf() const { return rx_buf_; }
  std::span<const uint8_t, kBufferSize> TxBuf() const { return tx_buf_; }
  std::span<const uint8_t, kBufferSize> ClockBuf() const { return clock_buf_; }
  // N of the last intact answer (its data length); 0 after a failed exchange.
  uint8_t LastDataLength() const { return last_error_ == kOk ? rx_buf_[5] : 0; }

  // ---- Commands -----------------------------------------------------------------------------
  // Every command leaves its outcome in LastError (TOxaError): 0 success; 1 no port component,
  // the request could not be sent, or the port lost its device (the command ends at once, also
  // a write command while writes are disabled, and a port that leads to a Modbus TCP server,
  // which the 10x frames cannot reach: nothing is sent); 2 no answer within the time-outs or the
  // attempt's time bound; 3 an answer too short for what was asked; 4 wrong address complement;
  // 5 wrong checksum or impossible length; 6 port not open.
  //
  // Reads copy the answer's data into the caller's buffer from its start, never past its end
  // (P variants: never more than `count` bytes), and leave it untouched on failure. An answer
  // with fewer data bytes than the count asked for fails with code 3, as a Modbus read does. An
  // answer with more is copied as far as the buffer goes and succeeds, unlike a Modbus read: a
  // 10x answer states its own length and the meter's memory areas are continuous, so the bytes
  // asked for come first and are intact; the frame also has no function code to compare, and
  // its group and code bytes are not an echo of the request that meters are known to keep.
  // Writes are refused with code 3 and send nothing when their frame would not fit (count above
  // 246, 247 for WriteRtc128) or `data` holds fewer than `count`.

  // Identification and firmware version texts (UTF-8). Empty after a failed exchange; left as
  // they were when the port is not open.
  void GetDevID(std::string& s);
  void GetSoftVer(std::string& s);  // never opens the port itself
  // The four current values. Answers with fewer than 16 data bytes fail with code 3.
  // Runs without the command preamble, so it never opens the port: closed, it ends with code 6.
  void GetSfrTek(TSfrTekValues& values);

  void ReadRAM(uint16_t address, std::span<uint8_t> buffer, uint8_t count);
  void ReadCfg(uint16_t address, std::span<uint8_t> buffer, uint8_t count);
  void ReadRtc2k(uint16_t address, std::span<uint8_t> buffer, uint8_t count);
  void ReadRtc2kP(uint16_t address, uint8_t* buffer, uint8_t count);
  void ReadRtc128(uint8_t address, std::span<uint8_t> buffer, uint8_t count);
  void ReadDataFlash(uint32_t address, std::span<uint8_t> buffer, uint8_t count);

  void WriteCfg(uint16_t address, std::span<const uint8_t> data, uint8_t count);
  void WriteRtc2k(uint16_t address, std::span<const uint8_t> data, uint8_t count);
  void WriteRtc2kP(uint16_t address, const uint8_t* data, uint8_t count);
  // A 2-Kbyte-area style write under any command word (high byte group, low byte code).
  void CustomWriteRtc2k(uint16_t command, uint16_t address, std::span<const uint8_t> data,
                        uint8_t count);
  // Writes `count` bytes of `buffer`; the answer's data then overwrites `buffer`.
  void WriteRtc128(uint8_t address, std::span<uint8_t> buffer, uint8_t count);
  // Sets the device clock to the local time of the time source.
  void SetDateTime();

  // Sends the 64-byte security block, whatever EWrite says.
  void WriteSecurity(std::span<const uint8_t, 64> data);
  void ReadSecurity(std::span<uint8_t> buffer);
  // Text: the first data byte of the answer in decimal.
  void UnlockWrite(std::string& s);
  // A bare command; the answer's single data byte, or 255 on any failure or another length.
  // Never opens the port itself.
  uint8_t SendCmd(uint16_t command);
  // Reads the identification and sets DeviceType from it (0 when unknown or on failure).
  uint32_t DetectDevice();

 protected:
  TFrameStep NextFrameStep(std::span<const uint8_t> seen) const override;
  size_t ReadAhead(std::span<const uint8_t> seen) const override;
  // 200 ms after each failed attempt, the last one included.
  uint32_t RetryPauseMs() const override;

  // Sends the request in TxBuf and receives the answer into RxBuf, with repetition (the
  // shared exchange). True if LastError is 0.
  bool Exchange();

  // The start of every command: opens the port if allowed, code 6 if it stays closed, and for
  // writes the EWrite gate (code 0). True when the command goes on.
  bool Preamble(bool write, bool may_open = true);
  // Builds the request for group, code and data in TxBuf and runs the exchange.
  bool Request(uint8_t group, uint8_t code, std::span<const uint8_t> data);
  // The data field of the last answer.
  std::span<const uint8_t> AnswerData() const;
  // A read command: preamble, request, then the answer's data into `buffer`; code 3 when the
  // answer holds fewer than `asked` bytes.
  void ReadInto(uint8_t group, uint8_t code, std::span<const uint8_t> request,
                std::span<uint8_t> buffer, size_t asked);
  // A 2-Kbyte-area style write: preamble with the EWrite gate, address and data, exchange.
  void WriteAddressed(uint8_t group, uint8_t code, uint16_t address, std::span<const uint8_t> data,
                      uint8_t count);
  void GetText(uint8_t code, bool may_open, std::string& s);

  std::tm LocalTime() const { return local_time_(); }

 private:
  std::array<uint8_t, kBufferSize> rx_buf_{};
  std::array<uint8_t, kBufferSize> tx_buf_{};
  std::array<uint8_t, kBufferSize> clock_buf_{};
  LocalTimeSource local_time_;
};

}  // namespace oxa
