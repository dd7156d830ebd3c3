// The Modbus RTU master: one request at a time on a bound serial port component, functions 3
// (read holding registers), 6 (write single register), 16 (write multiple registers), 17
// (device identification) and the device-specific 65 (read one 128-byte archive block).
//
// Every operation runs to completion in the calling thread and leaves its outcome in LastError
// (codes of ErrorMessages in serial/OxaUtils.h): 0 success, 1 no port bound or a request byte
// could not be written, 2 an answer byte did not arrive in time, 3 the answer carries more data
// than the caller's buffer (or than its own frame) holds, or less than was asked for, or a
// function 16 request that one frame cannot carry, 5 wrong CRC, 6 the port is closed
// (GetDevID), 7 the device answered with a Modbus exception (its code in LastException). An
// exception answer ends the transaction at once: the device has answered, and asking again
// would only draw the same refusal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocols/oxaCustomProtocol.h"

namespace oxa {

// Function codes of the requests this master sends.
inline constexpr uint8_t kFnReadHoldingRegisters = 0x03;
inline constexpr uint8_t kFnWriteSingleRegister = 0x06;
inline constexpr uint8_t kFnWriteMultipleRegisters = 0x10;
inline constexpr uint8_t kFnReportDeviceId = 0x11;
inline constexpr uint8_t kFnReadArchiveBlock = 0x41;

// Size of the request and answer buffers; every frame of this protocol fits (at most 261 bytes).
inline constexpr size_t kModbusFrameBufferSize = 512;
// Registers function 16 can carry in one request.
inline constexpr uint16_t kMaxWriteRegisters = 123;

// --- Frames (pure functions) ---------------------------------------------------------------

// Each builder writes a complete request, CRC included (low byte first), to the start of `out`
// and returns its length; 0 when `out` is too short (nothing is written then).
size_t BuildReadRequest(std::span<uint8_t> out, uint8_t addr, uint8_t function, uint16_t start,
                        uint16_t count);  // functions 3 and 65: 8 bytes
size_t BuildWriteSingleRequest(std::span<uint8_t> out, uint8_t addr, uint16_t reg,
                               uint16_t value);  // function 6: 8 bytes
// Function 16: 9 + 2 × count bytes, data taken as given (register values high byte first).
// 0 as well when count is 0 or above kMaxWriteRegisters or `data` holds fewer than 2 × count
// bytes.
size_t BuildWriteMultipleRequest(std::span<uint8_t> out, uint8_t addr, uint16_t start,
                                 uint16_t count, std::span<const uint8_t> data);
size_t BuildDevIdRequest(std::span<uint8_t> out, uint8_t addr);  // function 17: 4 bytes

// The total length of an answer frame, decided by the bytes received so far (`seen`, from the
// address byte on): 5 until byte 2 is in, then from the answer's own function code (byte 1):
// 3 → byte 2 + 5; 6 and 16 → 8; 17 → 6, and byte 3 + 6 once byte 3 is in; 65 → 133; any other
// code (exception answers among them) → 5. The result is always above 2 and, for an incomplete
// frame, above seen.size(), so a receiver feeding one byte at a time always terminates.
size_t ModbusAnswerLength(std::span<const uint8_t> seen);

// True when the CRC in the last two bytes of `frame` (low byte first) matches the bytes before.
bool ModbusCrcOk(std::span<const uint8_t> frame);

// The standard name of a Modbus exception code ("illegal function", ...); "" for unknown codes.
std::string_view ModbusExceptionName(uint8_t code);

// --- The master component -------------------------------------------------------------------

class ToxaModBusProtocol : public ToxaCustomProtocol {
 public:
  ToxaModBusProtocol();

  // Of the shared properties: AutoOpenPort lets GetDevID open a closed port, and EWrite gates
  // function 16 only (while false it sends nothing and reports success).

  // The last request started, as hexadecimal text ("01 03 00 00 00 01 84 0A ").
  const std::string& LastSent() const { return last_sent_; }

  // Exception code of the last answer; 0 when the last answer was not an exception.
  uint8_t LastException() const { return last_exception_; }

  // Function 3: copies the answer's data bytes (registers high byte first) to the start of
  // `buf`. `buf` is untouched on failure; an answer with fewer than 2 × count data bytes fails.
  bool ReadHoldingRegisters(uint16_t start, uint16_t count, std::span<uint8_t> buf);
  // Function 65: one 128-byte archive block (`count` is 1). An archive answer's block is copied
  // whole whatever its byte-count byte says; `buf` must hold 128 bytes (else code 3).
  bool ReadArchiveBlock(uint16_t start, uint16_t count, std::span<uint8_t> buf);
  // Function 6. Not gated by EWrite.
  bool WriteSingleRegister(uint16_t reg, uint16_t value);
  // Function 16: `count` registers (1..123) from `data`, 2 × count bytes, high byte first.
  bool WriteMultipleRegisters(uint16_t start, uint16_t count, std::span<const uint8_t> data);
  // Function 17: the identification text of the device, decoded from code page 1251 to UTF-8;
  // bytes of value 20 and below are skipped. Empty after a failed exchange; unchanged when the
  // exchange could not start (no port: code 1; port closed: code 6).
  void GetDevID(std::string& s);

 protected:
  // Purges the port, then writes `count` bytes of `frame` one by one, recording each in
  // LastSent. False (LastError 1) when a byte cannot be written; the rest is not sent.
  bool SendFrame(const uint8_t* frame, uint8_t count);
  // Collects one answer into the answer buffer; its length, or 0 (LastError 2 or 5).
  uint16_t ReceiveFrame();

 private:
  // Sends the request in the request buffer and collects an answer, up to RepeatCount times,
  // until an answer with a correct CRC arrives. Then an exception answer becomes LastError 7.
  bool Transact(uint8_t length);
  // Copies the data of a read answer into `buf`; LastError 3 when it does not fit or holds
  // fewer than the `asked` bytes.
  bool CopyReadAnswer(std::span<uint8_t> buf, size_t asked);
  void BeginOperation() { last_exception_ = 0; }

  std::array<uint8_t, kModbusFrameBufferSize> answer_{};
  std::array<uint8_t, kModbusFrameBufferSize> request_{};
  std::string last_sent_;
  uint8_t last_exception_ = 0;
  size_t answer_length_ = 0;
};

}  // namespace oxa
