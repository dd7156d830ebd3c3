// The Modbus RTU master: one request at a time on a bound serial port component, functions 3
// (read holding registers), 6 (write single register), 16 (write multiple registers), 17
// (device identification) and the device-specific 65 (read one 128-byte archive block); and
// for the standard devices of other makers on the same line functions 1 (read coils), 2 (read
// discrete inputs), 4 (read input registers), 5 (write single coil), 15 (write multiple coils),
// 23 (read/write multiple registers) and 43/14 (read device identification).
//
// Every operation runs to completion in the calling thread and leaves its outcome in LastError
// (TOxaError, texts in ErrorMessages, serial/OxaUtils.h):
//   0 success;
//   1 no port bound, the request could not be sent, or the port lost its device: the operation
//     ends at once, without further attempts;
//   2 an answer byte did not arrive in time, or the attempt outlasted its time bound;
//   3 a read answer's byte count is not exactly the bytes asked for, or does not fit the
//     caller's buffer; a function 16 request that one frame cannot carry; a coil write's echo
//     that is not the request's; an identification answer to another read code;
//   5 wrong CRC, or an intact frame whose function code is neither the request's nor its
//     exception form (asked again, like a damaged answer);
//   6 the port is not open (the operation ends at once);
//   7 the device answered with a Modbus exception (its code in LastException). An exception
//     answer ends the transaction at once: the device has answered, and asking again would
//     only draw the same refusal.
// An answer from another address is accepted: with address 0 a technician reaches a device
// whose address is unknown.
//
// Over a port that leads to a Modbus TCP server (ToxaCustomComPort::ModbusTcp) each request
// goes out with the MBAP header instead of the CRC: a transaction id counted up for each
// request (its repeats keep it), protocol id 0, the length, the address as unit id. An answer
// is taken only with the request's transaction id: one to another transaction (a late answer
// to an earlier request) is dropped and the attempt waits on for its own. An answer with
// another unit id, or whose header's protocol id or length is wrong or disagrees with what its
// function carries, is code 5 as a bad CRC is. The codes are otherwise those above. A write to
// address 0 reaches every device on the line, and none answers it: with AnswerExpected false a
// request goes out once and no answer is awaited.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/oxaCustomProtocol.h"

namespace oxa {

// Function codes of the requests this master sends.
inline constexpr uint8_t kFnReadHoldingRegisters = 0x03;
inline constexpr uint8_t kFnWriteSingleRegister = 0x06;
inline constexpr uint8_t kFnWriteMultipleRegisters = 0x10;
inline constexpr uint8_t kFnReportDeviceId = 0x11;
inline constexpr uint8_t kFnReadArchiveBlock = 0x41;
inline constexpr uint8_t kFnReadCoils = 0x01;
inline constexpr uint8_t kFnReadDiscreteInputs = 0x02;
inline constexpr uint8_t kFnReadInputRegisters = 0x04;
inline constexpr uint8_t kFnWriteSingleCoil = 0x05;
inline constexpr uint8_t kFnWriteMultipleCoils = 0x0F;
inline constexpr uint8_t kFnReadWriteRegisters = 0x17;
inline constexpr uint8_t kFnEncapsulatedInterface = 0x2B;
// The interface type of function 43 that reads the device identification.
inline constexpr uint8_t kMeiReadDeviceId = 0x0E;

// Size of the request and answer buffers; every frame of this protocol fits.
inline constexpr size_t kModbusFrameBufferSize = 512;
// The longest answer: function 17 with a text of 255 bytes.
inline constexpr size_t kModbusMaxAnswer = 261;
// Registers function 16 can carry in one request.
inline constexpr uint16_t kMaxWriteRegisters = 123;
// What one answer or request of the standard functions carries: registers read (3, 4, 23),
// coils or inputs read (1, 2), coils written (15), registers written by function 23.
inline constexpr uint16_t kMaxReadRegisters = 125;
inline constexpr uint16_t kMaxReadBits = 2000;
inline constexpr uint16_t kMaxWriteBits = 1968;
inline constexpr uint16_t kMaxReadWriteRegisters = 121;
// The highest address a Modbus device can have (248 to 255 are reserved).
inline constexpr uint8_t kMaxModbusAddress = 247;

// --- Frames (pure functions) ---------------------------------------------------------------

// Each builder writes a complete request, CRC included (low byte first), to the start of `out`
// and returns its length; 0 when `out` is too short (nothing is written then).
size_t BuildReadRequest(std::span<uint8_t> out, uint8_t addr, uint8_t function, uint16_t start,
                        uint16_t count);  // functions 1 to 4 and 65: 8 bytes
size_t BuildWriteSingleRequest(std::span<uint8_t> out, uint8_t addr, uint16_t reg,
                               uint16_t value);  // function 6: 8 bytes
// Function 16: 9 + 2 × count bytes, data taken as given (register values high byte first).
// 0 as well when count is 0 or above kMaxWriteRegisters or `data` holds fewer than 2 × count
// bytes.
size_t BuildWriteMultipleRequest(std::span<uint8_t> out, uint8_t addr, uint16_t start,
                                 uint16_t count, std::span<const uint8_t> data);
size_t BuildDevIdRequest(std::span<uint8_t> out, uint8_t addr);  // function 17: 4 bytes
// Function 5: FF 00 switches the coil on, 00 00 off. 8 bytes.
size_t BuildWriteCoilRequest(std::span<uint8_t> out, uint8_t addr, uint16_t coil, bool on);
// Function 15: `count` coils (1..kMaxWriteBits) from `bits`, packed as the wire carries them
// (coil `start` in bit 0 of the first byte); 9 + ceil(count / 8) bytes. 0 when count is out of
// range or `bits` is short. Bits past `count` in the last byte go out as 0.
size_t BuildWriteCoilsRequest(std::span<uint8_t> out, uint8_t addr, uint16_t start, uint16_t count,
                              std::span<const uint8_t> bits);
// Function 23: reads `read_count` (1..125) registers from `read_start` after writing
// `write_count` (1..121) from `write_start`, data as for function 16; 13 + 2 × write_count
// bytes. 0 when a count is out of range or `data` is short.
size_t BuildReadWriteRequest(std::span<uint8_t> out, uint8_t addr, uint16_t read_start,
                             uint16_t read_count, uint16_t write_start, uint16_t write_count,
                             std::span<const uint8_t> data);
// Function 43/14: the identification objects from `object_id` on, in the category `read_code`
// names (1 basic, 2 regular, 3 extended; 4 the one object). 7 bytes.
size_t BuildDeviceIdRequest(std::span<uint8_t> out, uint8_t addr, uint8_t read_code,
                            uint8_t object_id);

// The packed bits of a coil or input read (function 1 or 2) or write (15): bit `i` is bit
// i % 8 of byte i / 8. PackBits takes one bool a bit.
std::vector<uint8_t> PackBits(const std::vector<bool>& bits);
std::vector<bool> UnpackBits(std::span<const uint8_t> packed, size_t count);

// One answer to function 43/14: the device's conformity level, whether more objects follow
// (and from which object id) and the objects it carries, each its id and its bytes.
struct TModbusDeviceIdObject {
  uint8_t id = 0;
  std::vector<uint8_t> value;
};
struct TModbusDeviceIdPage {
  uint8_t read_code = 0;
  uint8_t conformity = 0;
  bool more = false;
  uint8_t next_object = 0;
  std::vector<TModbusDeviceIdObject> objects;
};
// The page of a whole answer frame (CRC included) to function 43/14; none when it is not one
// (another interface type, objects that overrun the frame or leave bytes after them).
std::optional<TModbusDeviceIdPage> ParseDeviceIdAnswer(std::span<const uint8_t> frame);
// The standard name of an identification object ("VendorName", ... "UserApplicationName");
// "" for the others (private objects, 0x80 on).
std::string_view DeviceIdObjectName(uint8_t id);

// The total length of an answer frame, decided by the bytes received so far (`seen`, from the
// address byte on): 5 until byte 2 is in, then from the answer's own function code (byte 1):
// 1 to 4 and 23 → byte 2 + 5; 5, 6, 15 and 16 → 8; 17 → 6, then as told below; 43 → its
// objects' lengths walked as they arrive (8 bytes of header, then each object's id, length and
// value) + 2; 65 → 133; any other code (exception answers among them) → 5. The result is always
// above 2 and, for an incomplete frame, above seen.size(), so a receiver feeding one byte at a time
// always terminates.
//
// An identification answer (17) comes in two layouts. The FUL meters' own: byte 3 is the length
// L of the text that follows, the frame is L + 6 bytes (byte 2 is not used; the meters put L + 1
// there). The standard one: byte 2 is the count N of the bytes that follow (a server id, a run
// indicator and additional data), the frame is N + 5 bytes. Once byte 3 is in, the frame ends at
// the nearer of the two ends whose CRC is right there, else at the farther one; where the two
// ends fall together, or N is below 2 (no room for a server id and a run indicator), the FUL
// layout alone decides.
size_t ModbusAnswerLength(std::span<const uint8_t> seen);

// The length a receiver takes from `bytes`: the length of the frame they start with when they
// hold it whole (bytes after it are not looked at), else the length known when they run out,
// which is more than bytes.size().
size_t ModbusAnswerEnd(std::span<const uint8_t> bytes);

// The two layouts of an identification answer.
enum class TDevIdLayout { kFul, kStandard };

// The layout of a whole identification answer as the receiver took it (its length decided by
// ModbusAnswerLength): standard when the frame ends where its byte count says and not where
// the FUL layout's text length would.
TDevIdLayout ModbusDevIdLayout(std::span<const uint8_t> frame);

// The fields of a standard identification: the bytes after the byte count. The server id's
// length is the device's own; it ends before the first byte after its first that is a run
// indicator (00 off, FF on). Without such a byte the whole data is the server id.
struct TModbusServerId {
  std::vector<uint8_t> server_id;
  std::optional<uint8_t> run_indicator;  // 0x00 off, 0xFF on
  std::vector<uint8_t> additional_data;
};
TModbusServerId SplitServerId(std::span<const uint8_t> data);

// The identification text of a standard answer: the server id and the additional data, each as
// text (code page 1251) when it is two or more printable bytes, else as hexadecimal ("0xB4"),
// then the run indicator: "Pymodbus (run on)", "0xB4 LMB3.1.6 (run on)".
std::string ServerIdText(const TModbusServerId& id);

// The receiver's step: more bytes until ModbusAnswerLength is reached, then complete or a bad
// CRC; a bad length at once when that length is past the longest answer (kModbusMaxAnswer). A
// Modbus answer has no start byte, so no byte is ever skipped.
TFrameStep NextModbusFrameStep(std::span<const uint8_t> seen);

// The bytes the receiver may take in one go after `seen`: up to the length ModbusAnswerLength
// states now. That length only grows as bytes arrive, so the step decides nothing before it.
size_t ModbusAnswerReadAhead(std::span<const uint8_t> seen);

// True when the CRC in the last two bytes of `frame` (low byte first) matches the bytes before.
bool ModbusCrcOk(std::span<const uint8_t> frame);

// --- Modbus TCP frames (pure functions) -------------------------------------------------------
// An MBAP frame: transaction id (2 bytes), protocol id 0 (2), the length of what follows (2),
// the unit id (the RTU frame's address), then the PDU (function code and data); no CRC.
inline constexpr size_t kMbapHeaderSize = 7;
// The longest answer in MBAP form: the longest RTU answer without its CRC, with the header.
inline constexpr size_t kMbapMaxAnswer = kModbusMaxAnswer - 2 + 6;

// The MBAP form of the RTU frame `rtu` (CRC included, at least 4 bytes) under `transaction`:
// rtu.size() + 4 bytes at the start of `out`; 0 when `out` is too short or `rtu` is not a frame.
size_t BuildMbapRequest(std::span<uint8_t> out, uint16_t transaction, std::span<const uint8_t> rtu);

// The transaction id of an MBAP frame (its first two bytes, high byte first).
uint16_t MbapTransaction(std::span<const uint8_t> frame);

// The total length of an MBAP answer from the bytes seen so far: 9 (the shortest answer, an
// exception) until the length field is in, then 6 + that length.
size_t MbapAnswerLength(std::span<const uint8_t> seen);

// The receiver's step on an MBAP answer to `transaction`: more bytes until MbapAnswerLength is
// reached, then complete, or kSkipFrame for a whole frame of another transaction. A bad length
// at once for a protocol id other than 0 or a length field that no answer has (below 3: unit
// id, function and one byte at the least; past kMbapMaxAnswer); a whole frame whose length
// disagrees with what its function code carries (ModbusAnswerLength of its RTU form) too.
TFrameStep NextMbapFrameStep(std::span<const uint8_t> seen, uint16_t transaction);

// The bytes the receiver may take in one go after `seen`: the header up to its length, then
// up to MbapAnswerLength.
size_t MbapAnswerReadAhead(std::span<const uint8_t> seen);

// Turns the whole MBAP answer of `length` bytes at the start of `frame` into its RTU form in
// place (unit id as the address, the PDU, the CRC computed), so that the answer is read as an
// RTU one; returns the RTU length (length - 4). 0 when `length` is below the header's size.
size_t MbapAnswerToRtu(std::span<uint8_t> frame, size_t length);

// The standard name of a Modbus exception code ("illegal function", ...); "" for unknown codes.
std::string_view ModbusExceptionName(uint8_t code);

// --- The master component -------------------------------------------------------------------

class ToxaModBusProtocol : public ToxaCustomProtocol {
 public:
  ToxaModBusProtocol();

  // Of the shared properties: AutoOpenPort lets GetDevID open a closed port, and EWrite gates
  // function 16 only (while false it sends nothing and reports success).

  // The last request started, as hexadecimal text ("01 03 00 00 00 01 84 0A "), in its MBAP
  // form over Modbus TCP ("00 01 00 00 00 06 01 03 00 00 00 01 ").
  const std::string& LastSent() const { return last_sent_; }

  // Exception code of the last answer; 0 when the last answer was not an exception.
  uint8_t LastException() const { return last_exception_; }

  // Whether the operations wait for an answer (the default). While false a write (function 6
  // or 16) goes out once, its echo is taken back and checked on a line that echoes, and it
  // ends with code 0 at once (1 and 6 as ever when it cannot be sent): for a write to address
  // 0, which every device takes and none answers. A read then sends nothing and ends with
  // code 2, having no answer to give its data.
  bool AnswerExpected() const { return answer_expected_; }
  void SetAnswerExpected(bool value) { answer_expected_ = value; }

  // Function 3: copies the answer's data bytes (registers high byte first) to the start of
  // `buf`. `buf` is untouched on failure; an answer with other than 2 × count data bytes fails.
  bool ReadHoldingRegisters(uint16_t start, uint16_t count, std::span<uint8_t> buf);
  // Function 65: one 128-byte archive block (`count` is 1). An archive answer's block is copied
  // whole whatever its byte-count byte says; `buf` must hold 128 bytes (else code 3).
  bool ReadArchiveBlock(uint16_t start, uint16_t count, std::span<uint8_t> buf);
  // Function 6. Not gated by EWrite.
  bool WriteSingleRegister(uint16_t reg, uint16_t value);

  // The master takes the standard addresses 0..247 (the 10x master keeps 0..127); larger
  // values are ignored. It hides the base's setter: set the address through this class.
  void SetNetAddr(uint8_t value);

  // Functions 1 and 2: `count` (1..2000) coils or discrete inputs from `start`, their packed
  // bits copied to the start of `bits` (see PackBits). The answer must carry ceil(count / 8)
  // bytes. Function 4: input registers, as ReadHoldingRegisters.
  bool ReadCoils(uint16_t start, uint16_t count, std::span<uint8_t> bits);
  bool ReadDiscreteInputs(uint16_t start, uint16_t count, std::span<uint8_t> bits);
  bool ReadInputRegisters(uint16_t start, uint16_t count, std::span<uint8_t> buf);
  // Functions 5 and 15, gated by EWrite as function 16 is. The device's echo must be the
  // request's (5: coil and value; 15: start and count), else code 3.
  bool WriteSingleCoil(uint16_t coil, bool on);
  bool WriteMultipleCoils(uint16_t start, uint16_t count, std::span<const uint8_t> bits);
  // Function 23: writes `write_count` registers from `data`, then reads `read_count` into
  // `buf`, as ReadHoldingRegisters. Gated by EWrite: while it is false nothing is sent and the
  // operation ends with code 2, having no data to give. Code 3 for counts one frame cannot carry.
  bool ReadWriteRegisters(uint16_t read_start, uint16_t read_count, uint16_t write_start,
                          uint16_t write_count, std::span<const uint8_t> data,
                          std::span<uint8_t> buf);
  // Function 43/14: one answer of the device identification, from `object_id` on. Code 3 when
  // the answer is not one (see ParseDeviceIdAnswer) or names another read code.
  bool ReadDeviceIdentification(uint8_t read_code, uint8_t object_id, TModbusDeviceIdPage& page);
  // Function 16: `count` registers (1..123) from `data`, 2 × count bytes, high byte first.
  bool WriteMultipleRegisters(uint16_t start, uint16_t count, std::span<const uint8_t> data);
  // Function 17: the identification text of the device. In the FUL layout its text,
  // decoded from code page 1251 to UTF-8, bytes of value 20 and below skipped; in the standard
  // layout ServerIdText of its fields. Empty after a failed exchange; unchanged when the
  // exchange could not start (no port: code 1; port closed: code 6).
  void GetDevID(std::string& s);
  // The fields of the last identification when it came in the standard layout; none after an
  // answer in the FUL layout or a failed one (each GetDevID sets it).
  const std::optional<TModbusServerId>& StandardId() const { return standard_id_; }

 protected:
  TFrameStep NextFrameStep(std::span<const uint8_t> seen) const override;
  size_t ReadAhead(std::span<const uint8_t> seen) const override;
  TOxaError CheckAnswer(std::span<const uint8_t> request,
                        std::span<const uint8_t> answer) const override;
  // Records each attempt's request in LastSent.
  void RequestStarted(std::span<const uint8_t> request) override;

 private:
  // Runs the shared exchange for the `length` bytes of the request buffer; then an exception
  // answer becomes LastError 7. The answer's length is kept in answer_length_.
  bool Exchange(size_t length);
  // Sends the request once without awaiting an answer (AnswerExpected false).
  bool SendOnly(std::span<const uint8_t> request);
  // The request of the `length` bytes in request_ as it goes out: as built, or in its MBAP
  // form in mbap_request_ over a Modbus TCP port (with the next transaction id).
  std::span<const uint8_t> OutgoingRequest(size_t length);
  // Copies the data of a read answer into `buf`; LastError 3 when it holds other than the
  // `asked` bytes or does not fit.
  bool CopyReadAnswer(std::span<uint8_t> buf, size_t asked);
  // A read of function 1 to 4: request, exchange, and the `asked` data bytes into `buf`.
  bool Read(uint8_t function, uint16_t start, uint16_t count, std::span<uint8_t> buf, size_t asked);
  // A write echo: the answer's bytes 2..5 must be the request's.
  bool EchoMatches();
  // Whether a write that EWrite gates goes out. When it does not, its outcome is set: code 1
  // without a port, success (nothing sent) while EWrite is off.
  bool WriteGoesOut();
  void BeginOperation() { last_exception_ = 0; }

  std::array<uint8_t, kModbusFrameBufferSize> answer_{};
  std::array<uint8_t, kModbusFrameBufferSize> request_{};
  std::array<uint8_t, kModbusFrameBufferSize> mbap_request_{};
  // The exchange in progress goes over Modbus TCP, under this transaction id.
  bool mbap_ = false;
  uint16_t transaction_ = 0;
  size_t answer_length_ = 0;
  std::string last_sent_;
  uint8_t last_exception_ = 0;
  std::optional<TModbusServerId> standard_id_;
  bool answer_expected_ = true;
};

}  // namespace oxa
