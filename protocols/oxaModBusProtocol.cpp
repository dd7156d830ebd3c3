#include "protocols/oxaModBusProtocol.h"

#include <algorithm>
#include <iterator>

#include "serial/OxaUtils.h"

namespace oxa {

namespace {

// Appends the CRC of the `length` bytes at the start of `out`, low byte first.
size_t AppendCrc(std::span<uint8_t> out, size_t length) {
  const uint16_t crc = UpdateCrc16(0xFFFF, out.data(), static_cast<int32_t>(length));
  out[length] = static_cast<uint8_t>(crc & 0xFF);
  out[length + 1] = static_cast<uint8_t>(crc >> 8);
  return length + 2;
}

void Put16(std::span<uint8_t> out, size_t pos, uint16_t value) {
  out[pos] = static_cast<uint8_t>(value >> 8);
  out[pos + 1] = static_cast<uint8_t>(value & 0xFF);
}

// Frame byte 1 of an exception answer: the request's function code with the top bit set.
constexpr uint8_t kExceptionBit = 0x80;
// The archive block an answer to function 65 carries.
constexpr size_t kArchiveBlockSize = 128;
// Identification text starts at answer byte 4; byte 3 is its length.
constexpr size_t kDevIdTextStart = 4;
// Bytes of value 20 and below are control bytes in the identification text.
constexpr uint8_t kDevIdLowestTextByte = 21;
// A standard identification's data starts at answer byte 3; byte 2 is its count, at least a
// server id and a run indicator.
constexpr size_t kServerIdStart = 3;
constexpr uint8_t kMinServerIdCount = 2;
// The run indicator's two values.
constexpr uint8_t kRunOff = 0x00;
constexpr uint8_t kRunOn = 0xFF;

// The length of an identification answer (function 17) from its first bytes, 3 or more.
size_t DevIdAnswerLength(std::span<const uint8_t> seen) {
  if (seen.size() < 4) return 6;
  const size_t ful = size_t{seen[3]} + 6;
  const size_t standard = seen[2] >= kMinServerIdCount ? size_t{seen[2]} + 5 : ful;
  if (standard == ful) return ful;
  const size_t nearer = std::min(standard, ful);
  if (seen.size() < nearer || ModbusCrcOk(seen.first(nearer))) return nearer;
  return std::max(standard, ful);
}

// A field of a standard identification as text, when it is two or more bytes that code page
// 1251 shows as characters; else its bytes in hexadecimal.
std::string FieldText(std::span<const uint8_t> field) {
  const bool text = field.size() >= 2 && std::all_of(field.begin(), field.end(), [](uint8_t b) {
                      return b >= 0x20 && b != 0x7F && b != 0x98;
                    });
  if (text) return Cp1251ToUtf8(field);
  std::string hex = "0x";
  for (uint8_t b : field) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0x0F];
  }
  return hex;
}

// A function 43/14 answer: address, function, interface type, read code, conformity level,
// more follows, next object id, number of objects; then the objects, each id, length, value.
constexpr size_t kDeviceIdHeader = 8;
constexpr size_t kDeviceIdCountByte = 7;

// The length of a function 43 answer from its first bytes, 3 or more: its objects walked as
// far as they have arrived.
size_t DeviceIdAnswerLength(std::span<const uint8_t> seen) {
  if (seen.size() < kDeviceIdHeader) return kDeviceIdHeader + 2;
  size_t pos = kDeviceIdHeader;
  for (size_t k = 0; k < seen[kDeviceIdCountByte]; ++k) {
    // The next object's id and length, and the CRC after it at the least.
    if (seen.size() < pos + 2) return pos + 4;
    pos += 2 + size_t{seen[pos + 1]};
    // Past the longest answer: the receiver stops here, whatever the rest would say.
    if (pos > kModbusMaxAnswer) return pos + 2;
  }
  return pos + 2;
}

}  // namespace

// --- Frames ---------------------------------------------------------------------------------

size_t BuildReadRequest(std::span<uint8_t> out, uint8_t addr, uint8_t function, uint16_t start,
                        uint16_t count) {
  if (out.size() < 8) return 0;
  out[0] = addr;
  out[1] = function;
  Put16(out, 2, start);
  Put16(out, 4, count);
  return AppendCrc(out, 6);
}

size_t BuildWriteSingleRequest(std::span<uint8_t> out, uint8_t addr, uint16_t reg, uint16_t value) {
  if (out.size() < 8) return 0;
  out[0] = addr;
  out[1] = kFnWriteSingleRegister;
  Put16(out, 2, reg);
  Put16(out, 4, value);
  return AppendCrc(out, 6);
}

size_t BuildWriteMultipleRequest(std::span<uint8_t> out, uint8_t addr, uint16_t start,
                                 uint16_t count, std::span<const uint8_t> data) {
  const size_t bytes = size_t{2} * count;
  if (count == 0 || count > kMaxWriteRegisters || data.size() < bytes || out.size() < 9 + bytes) {
    return 0;
  }
  out[0] = addr;
  out[1] = kFnWriteMultipleRegisters;
  Put16(out, 2, start);
  Put16(out, 4, count);
  out[6] = static_cast<uint8_t>(bytes);
  std::copy_n(data.begin(), bytes, out.begin() + 7);
  return AppendCrc(out, 7 + bytes);
}

size_t BuildDevIdRequest(std::span<uint8_t> out, uint8_t addr) {
  if (out.size() < 4) return 0;
  out[0] = addr;
  out[1] = kFnReportDeviceId;
  return AppendCrc(out, 2);
}

size_t BuildWriteCoilRequest(std::span<uint8_t> out, uint8_t addr, uint16_t coil, bool on) {
  if (out.size() < 8) return 0;
  out[0] = addr;
  out[1] = kFnWriteSingleCoil;
  Put16(out, 2, coil);
  Put16(out, 4, on ? 0xFF00 : 0x0000);
  return AppendCrc(out, 6);
}

size_t BuildWriteCoilsRequest(std::span<uint8_t> out, uint8_t addr, uint16_t start, uint16_t count,
                              std::span<const uint8_t> bits) {
  const size_t bytes = (size_t{count} + 7) / 8;
  if (count == 0 || count > kMaxWriteBits || bits.size() < bytes || out.size() < 9 + bytes) {
    return 0;
  }
  out[0] = addr;
  out[1] = kFnWriteMultipleCoils;
  Put16(out, 2, start);
  Put16(out, 4, count);
  out[6] = static_cast<uint8_t>(bytes);
  std::copy_n(bits.begin(), bytes, out.begin() + 7);
  if (count % 8 != 0) out[6 + bytes] &= static_cast<uint8_t>((1u << (count % 8)) - 1);
  return AppendCrc(out, 7 + bytes);
}

size_t BuildReadWriteRequest(std::span<uint8_t> out, uint8_t addr, uint16_t read_start,
                             uint16_t read_count, uint16_t write_start, uint16_t write_count,
                             std::span<const uint8_t> data) {
  const size_t bytes = size_t{2} * write_count;
  if (read_count == 0 || read_count > kMaxReadRegisters || write_count == 0 ||
      write_count > kMaxReadWriteRegisters || data.size() < bytes || out.size() < 13 + bytes) {
    return 0;
  }
  out[0] = addr;
  out[1] = kFnReadWriteRegisters;
  Put16(out, 2, read_start);
  Put16(out, 4, read_count);
  Put16(out, 6, write_start);
  Put16(out, 8, write_count);
  out[10] = static_cast<uint8_t>(bytes);
  std::copy_n(data.begin(), bytes, out.begin() + 11);
  return AppendCrc(out, 11 + bytes);
}

size_t BuildDeviceIdRequest(std::span<uint8_t> out, uint8_t addr, uint8_t read_code,
                            uint8_t object_id) {
  if (out.size() < 7) return 0;
  out[0] = addr;
  out[1] = kFnEncapsulatedInterface;
  out[2] = kMeiReadDeviceId;
  out[3] = read_code;
  out[4] = object_id;
  return AppendCrc(out, 5);
}

std::vector<uint8_t> PackBits(const std::vector<bool>& bits) {
  std::vector<uint8_t> packed((bits.size() + 7) / 8, 0);
  for (size_t i = 0; i < bits.size(); ++i) {
    if (bits[i]) packed[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }
  return packed;
}

std::vector<bool> UnpackBits(std::span<const uint8_t> packed, size_t count) {
  std::vector<bool> bits;
  for (size_t i = 0; i < count && i / 8 < packed.size(); ++i) {
    bits.push_back(((packed[i / 8] >> (i % 8)) & 1) != 0);
  }
  return bits;
}

std::optional<TModbusDeviceIdPage> ParseDeviceIdAnswer(std::span<const uint8_t> frame) {
  if (frame.size() < kDeviceIdHeader + 2 || frame[1] != kFnEncapsulatedInterface ||
      frame[2] != kMeiReadDeviceId) {
    return std::nullopt;
  }
  TModbusDeviceIdPage page;
  page.read_code = frame[3];
  page.conformity = frame[4];
  page.more = frame[5] == 0xFF;
  page.next_object = frame[6];
  const size_t end = frame.size() - 2;
  size_t pos = kDeviceIdHeader;
  for (size_t k = 0; k < frame[kDeviceIdCountByte]; ++k) {
    if (pos + 2 > end || pos + 2 + frame[pos + 1] > end) return std::nullopt;
    TModbusDeviceIdObject object;
    object.id = frame[pos];
    object.value.assign(frame.begin() + static_cast<std::ptrdiff_t>(pos + 2),
                        frame.begin() + static_cast<std::ptrdiff_t>(pos + 2 + frame[pos + 1]));
    page.objects.push_back(std::move(object));
    pos += 2 + size_t{frame[pos + 1]};
  }
  if (pos != end) return std::nullopt;
  return page;
}

std::string_view DeviceIdObjectName(uint8_t id) {
  static constexpr std::string_view kNames[] = {
      "VendorName",  "ProductCode", "MajorMinorRevision", "VendorUrl",
      "ProductName", "ModelName",   "UserApplicationName"};
  return id < std::size(kNames) ? kNames[id] : "";
}

size_t ModbusAnswerLength(std::span<const uint8_t> seen) {
  if (seen.size() < 3) return 5;
  switch (seen[1]) {
    case kFnReadCoils:
    case kFnReadDiscreteInputs:
    case kFnReadHoldingRegisters:
    case kFnReadInputRegisters:
    case kFnReadWriteRegisters:
      return size_t{seen[2]} + 5;
    case kFnWriteSingleCoil:
    case kFnWriteMultipleCoils:
    case kFnWriteSingleRegister:
    case kFnWriteMultipleRegisters:
      return 8;
    case kFnEncapsulatedInterface:
      return DeviceIdAnswerLength(seen);
    case kFnReportDeviceId:
      return DevIdAnswerLength(seen);
    case kFnReadArchiveBlock:
      return 3 + kArchiveBlockSize + 2;
    default:
      return 5;
  }
}

size_t ModbusAnswerEnd(std::span<const uint8_t> bytes) {
  // Fed as the receiver takes them: up to the length known so far, until the frame is whole or
  // the bytes run out.
  size_t seen = 0;
  size_t expected = ModbusAnswerLength({});
  while (seen < expected && seen < bytes.size()) {
    seen = std::min(expected, bytes.size());
    expected = ModbusAnswerLength(bytes.first(seen));
  }
  return expected;
}

TDevIdLayout ModbusDevIdLayout(std::span<const uint8_t> frame) {
  if (frame.size() >= 4 && frame[2] >= kMinServerIdCount && frame.size() == size_t{frame[2]} + 5 &&
      frame.size() != size_t{frame[3]} + 6) {
    return TDevIdLayout::kStandard;
  }
  return TDevIdLayout::kFul;
}

TModbusServerId SplitServerId(std::span<const uint8_t> data) {
  TModbusServerId id;
  const auto run = std::find_if(data.empty() ? data.end() : data.begin() + 1, data.end(),
                                [](uint8_t b) { return b == kRunOff || b == kRunOn; });
  id.server_id.assign(data.begin(), run);
  if (run != data.end()) {
    id.run_indicator = *run;
    id.additional_data.assign(run + 1, data.end());
  }
  return id;
}

std::string ServerIdText(const TModbusServerId& id) {
  std::string text = FieldText(id.server_id);
  if (!id.additional_data.empty()) text += " " + FieldText(id.additional_data);
  if (id.run_indicator) text += *id.run_indicator == kRunOn ? " (run on)" : " (run off)";
  return text;
}

TFrameStep NextModbusFrameStep(std::span<const uint8_t> seen) {
  const size_t expected = ModbusAnswerLength(seen);
  if (expected > kModbusMaxAnswer) return TFrameStep::kBadLength;
  if (seen.size() < expected) return TFrameStep::kNeedMore;
  return ModbusCrcOk(seen.first(expected)) ? TFrameStep::kComplete : TFrameStep::kBadChecksum;
}

size_t ModbusAnswerReadAhead(std::span<const uint8_t> seen) {
  const size_t expected = ModbusAnswerLength(seen);
  return expected > seen.size() ? expected - seen.size() : 1;
}

bool ModbusCrcOk(std::span<const uint8_t> frame) {
  if (frame.size() < 2) return false;
  const size_t body = frame.size() - 2;
  const uint16_t crc = UpdateCrc16(0xFFFF, frame.first(body));
  return frame[body] == (crc & 0xFF) && frame[body + 1] == (crc >> 8);
}

// --- Modbus TCP frames ----------------------------------------------------------------------

namespace {

// Where the MBAP header keeps its fields.
constexpr size_t kMbapProtocolField = 2;
constexpr size_t kMbapLengthField = 4;
constexpr size_t kMbapUnitByte = 6;
// The length field's least: unit id, function code and one byte (an exception's code).
constexpr size_t kMbapMinLength = 3;

uint16_t Get16(std::span<const uint8_t> in, size_t pos) {
  return static_cast<uint16_t>(in[pos] << 8 | in[pos + 1]);
}

// Whether the RTU form of a whole answer is as long as its function code says.
bool RtuLengthAgrees(std::span<const uint8_t> rtu) {
  if (rtu.size() >= 4 && rtu[1] == kFnReportDeviceId) {
    // An identification in either layout, the one its length names (ModbusDevIdLayout).
    return rtu.size() == size_t{rtu[3]} + 6 ||
           (rtu[2] >= kMinServerIdCount && rtu.size() == size_t{rtu[2]} + 5);
  }
  return ModbusAnswerLength(rtu) == rtu.size();
}

}  // namespace

size_t BuildMbapRequest(std::span<uint8_t> out, uint16_t transaction,
                        std::span<const uint8_t> rtu) {
  if (rtu.size() < 4 || out.size() < rtu.size() + 4) return 0;
  const size_t unit_and_pdu = rtu.size() - 2;
  Put16(out, 0, transaction);
  Put16(out, kMbapProtocolField, 0);
  Put16(out, kMbapLengthField, static_cast<uint16_t>(unit_and_pdu));
  std::copy_n(rtu.begin(), unit_and_pdu, out.begin() + kMbapUnitByte);
  return kMbapUnitByte + unit_and_pdu;
}

uint16_t MbapTransaction(std::span<const uint8_t> frame) {
  return frame.size() < 2 ? 0 : Get16(frame, 0);
}

size_t MbapAnswerLength(std::span<const uint8_t> seen) {
  if (seen.size() < kMbapUnitByte) return kMbapUnitByte + kMbapMinLength;
  return kMbapUnitByte + Get16(seen, kMbapLengthField);
}

TFrameStep NextMbapFrameStep(std::span<const uint8_t> seen, uint16_t transaction) {
  // Judged once the header's length is in, which no answer is shorter than: a stream that is
  // not Modbus cannot be followed to the next frame's start.
  const size_t expected = MbapAnswerLength(seen);
  if (seen.size() >= kMbapUnitByte &&
      (Get16(seen, kMbapProtocolField) != 0 || expected < kMbapUnitByte + kMbapMinLength ||
       expected > kMbapMaxAnswer)) {
    return TFrameStep::kBadLength;
  }
  if (seen.size() < expected) return TFrameStep::kNeedMore;
  if (MbapTransaction(seen) != transaction) return TFrameStep::kSkipFrame;
  std::array<uint8_t, kMbapMaxAnswer> rtu{};
  std::copy(seen.begin() + kMbapUnitByte, seen.begin() + static_cast<std::ptrdiff_t>(expected),
            rtu.begin());
  const size_t rtu_length = AppendCrc(rtu, expected - kMbapUnitByte);
  return RtuLengthAgrees(std::span<const uint8_t>(rtu).first(rtu_length)) ? TFrameStep::kComplete
                                                                          : TFrameStep::kBadLength;
}

size_t MbapAnswerReadAhead(std::span<const uint8_t> seen) {
  // The header up to its length first: the step may refuse it there.
  if (seen.size() < kMbapUnitByte) return kMbapUnitByte - seen.size();
  const size_t expected = MbapAnswerLength(seen);
  return expected > seen.size() ? expected - seen.size() : 1;
}

size_t MbapAnswerToRtu(std::span<uint8_t> frame, size_t length) {
  if (length < kMbapHeaderSize || length > frame.size()) return 0;
  std::copy(frame.begin() + kMbapUnitByte, frame.begin() + static_cast<std::ptrdiff_t>(length),
            frame.begin());
  return AppendCrc(frame, length - kMbapUnitByte);
}

std::string_view ModbusExceptionName(uint8_t code) {
  switch (code) {
    case 0x01:
      return "illegal function";
    case 0x02:
      return "illegal data address";
    case 0x03:
      return "illegal data value";
    case 0x04:
      return "server device failure";
    case 0x05:
      return "acknowledge";
    case 0x06:
      return "server device busy";
    case 0x07:
      return "negative acknowledge";
    case 0x08:
      return "memory parity error";
    case 0x0A:
      return "gateway path unavailable";
    case 0x0B:
      return "gateway target device failed to respond";
    default:
      return "";
  }
}

// --- The master -----------------------------------------------------------------------------

ToxaModBusProtocol::ToxaModBusProtocol() {
  last_sent_.reserve(3 * 64);
}

TFrameStep ToxaModBusProtocol::NextFrameStep(std::span<const uint8_t> seen) const {
  return mbap_ ? NextMbapFrameStep(seen, transaction_) : NextModbusFrameStep(seen);
}

size_t ToxaModBusProtocol::ReadAhead(std::span<const uint8_t> seen) const {
  return mbap_ ? MbapAnswerReadAhead(seen) : ModbusAnswerReadAhead(seen);
}

TOxaError ToxaModBusProtocol::CheckAnswer(std::span<const uint8_t> request,
                                          std::span<const uint8_t> answer) const {
  if (mbap_) {
    // A Modbus TCP server answers under the request's transaction and unit id; the step has
    // dropped the answers of other transactions already. The function is then compared as
    // on a line.
    if (MbapTransaction(answer) != MbapTransaction(request) ||
        answer[kMbapUnitByte] != request[kMbapUnitByte]) {
      return kWrongChecksum;
    }
    request = request.subspan(kMbapUnitByte);
    answer = answer.subspan(kMbapUnitByte);
  }
  // The answer carries the request's function code, or the same with the exception bit when
  // the device refuses it. Any other function is not an answer to this request (an echo of
  // another request, a frame of another conversation on the line): its bytes are never taken
  // for the data asked for.
  const uint8_t function = answer[1];
  if (function == request[1] || function == (request[1] | kExceptionBit)) return kOk;
  return kWrongChecksum;
}

void ToxaModBusProtocol::RequestStarted(std::span<const uint8_t> request) {
  last_sent_ = HexBytes(request);
}

bool ToxaModBusProtocol::SendOnly(std::span<const uint8_t> request) {
  echo_failed_ = false;
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  if (!com_port_->Opened()) {
    last_error_ = kPortNotOpen;
    return false;
  }
  // Nothing will answer this request, but an earlier one's answer may still come: it must be
  // over before this request goes out onto the line.
  com_port_->AwaitLateAnswers();
  if (!SendRequest(request)) return false;
  if (com_port_->Echo() && !TakeEcho(request)) return false;
  last_error_ = kOk;
  return true;
}

std::span<const uint8_t> ToxaModBusProtocol::OutgoingRequest(size_t length) {
  const std::span<const uint8_t> rtu = std::span<const uint8_t>(request_).first(length);
  if (!mbap_ || length == 0) return rtu;
  ++transaction_;
  return std::span<const uint8_t>(mbap_request_)
      .first(BuildMbapRequest(mbap_request_, transaction_, rtu));
}

bool ToxaModBusProtocol::Exchange(size_t length) {
  mbap_ = com_port_ != nullptr && com_port_->ModbusTcp();
  const std::span<const uint8_t> request = OutgoingRequest(length);
  if (!answer_expected_) {
    // Only a write can do without its answer: a read would have no data to give.
    const uint8_t f = request_[1];
    if (f != kFnWriteSingleRegister && f != kFnWriteMultipleRegisters && f != kFnWriteSingleCoil &&
        f != kFnWriteMultipleCoils) {
      last_error_ = kNoAnswer;
      return false;
    }
    return SendOnly(request);
  }
  answer_length_ = Transact(
      request, std::span<uint8_t>(answer_).first(mbap_ ? kMbapMaxAnswer : kModbusMaxAnswer));
  if (answer_length_ == 0) return false;
  // From here on the answer is read as an RTU one.
  if (mbap_) answer_length_ = MbapAnswerToRtu(answer_, answer_length_);
  // A device that refuses the request answers with its exception code instead of the data.
  if (answer_[1] & kExceptionBit) {
    last_exception_ = answer_[2];
    last_error_ = kDeviceException;
    return false;
  }
  return true;
}

bool ToxaModBusProtocol::CopyReadAnswer(std::span<uint8_t> buf, size_t asked) {
  // The answer must carry exactly the bytes asked for: fewer would pass the rest of `buf`
  // (whatever an earlier read left there) off as the device's data, more would be data nobody
  // asked for. It must also fit the caller's buffer; otherwise nothing is copied.
  const size_t n = answer_[2];
  if (n != asked || n > buf.size()) {
    last_error_ = kWrongSize;
    return false;
  }
  std::copy_n(answer_.begin() + 3, n, buf.begin());
  return true;
}

bool ToxaModBusProtocol::ReadHoldingRegisters(uint16_t start, uint16_t count,
                                              std::span<uint8_t> buf) {
  BeginOperation();
  const size_t length =
      BuildReadRequest(request_, net_addr_, kFnReadHoldingRegisters, start, count);
  return Exchange(length) && CopyReadAnswer(buf, size_t{2} * count);
}

bool ToxaModBusProtocol::ReadArchiveBlock(uint16_t start, uint16_t count, std::span<uint8_t> buf) {
  BeginOperation();
  const size_t length = BuildReadRequest(request_, net_addr_, kFnReadArchiveBlock, start, count);
  if (!Exchange(length)) return false;
  // An archive answer always carries its whole 128-byte block before the CRC, whatever its
  // byte-count byte says: the block is taken as it stands.
  if (buf.size() < kArchiveBlockSize) {
    last_error_ = kWrongSize;
    return false;
  }
  std::copy_n(answer_.begin() + 3, kArchiveBlockSize, buf.begin());
  return true;
}

bool ToxaModBusProtocol::WriteSingleRegister(uint16_t reg, uint16_t value) {
  BeginOperation();
  return Exchange(BuildWriteSingleRequest(request_, net_addr_, reg, value));
}

bool ToxaModBusProtocol::WriteMultipleRegisters(uint16_t start, uint16_t count,
                                                std::span<const uint8_t> data) {
  BeginOperation();
  if (!WriteGoesOut()) return last_error_ == kOk;
  const size_t length = BuildWriteMultipleRequest(request_, net_addr_, start, count, data);
  if (length == 0) {  // no register, too many for one frame, or fewer data bytes than count
    last_error_ = kWrongSize;
    return false;
  }
  return Exchange(length);
}

void ToxaModBusProtocol::SetNetAddr(uint8_t value) {
  if (value <= kMaxModbusAddress) net_addr_ = value;
}

bool ToxaModBusProtocol::Read(uint8_t function, uint16_t start, uint16_t count,
                              std::span<uint8_t> buf, size_t asked) {
  BeginOperation();
  return Exchange(BuildReadRequest(request_, net_addr_, function, start, count)) &&
         CopyReadAnswer(buf, asked);
}

bool ToxaModBusProtocol::ReadCoils(uint16_t start, uint16_t count, std::span<uint8_t> bits) {
  return Read(kFnReadCoils, start, count, bits, (size_t{count} + 7) / 8);
}

bool ToxaModBusProtocol::ReadDiscreteInputs(uint16_t start, uint16_t count,
                                            std::span<uint8_t> bits) {
  return Read(kFnReadDiscreteInputs, start, count, bits, (size_t{count} + 7) / 8);
}

bool ToxaModBusProtocol::ReadInputRegisters(uint16_t start, uint16_t count,
                                            std::span<uint8_t> buf) {
  return Read(kFnReadInputRegisters, start, count, buf, size_t{2} * count);
}

bool ToxaModBusProtocol::WriteGoesOut() {
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  if (!e_write_) {
    last_error_ = kOk;
    return false;
  }
  return true;
}

bool ToxaModBusProtocol::EchoMatches() {
  // Without an answer (a write to every device) there is no echo to compare.
  if (!answer_expected_) return true;
  if (!std::equal(answer_.begin() + 2, answer_.begin() + 6, request_.begin() + 2)) {
    last_error_ = kWrongSize;
    return false;
  }
  return true;
}

bool ToxaModBusProtocol::WriteSingleCoil(uint16_t coil, bool on) {
  BeginOperation();
  if (!WriteGoesOut()) return last_error_ == kOk;
  return Exchange(BuildWriteCoilRequest(request_, net_addr_, coil, on)) && EchoMatches();
}

bool ToxaModBusProtocol::WriteMultipleCoils(uint16_t start, uint16_t count,
                                            std::span<const uint8_t> bits) {
  BeginOperation();
  if (!WriteGoesOut()) return last_error_ == kOk;
  const size_t length = BuildWriteCoilsRequest(request_, net_addr_, start, count, bits);
  if (length == 0) {
    last_error_ = kWrongSize;
    return false;
  }
  return Exchange(length) && EchoMatches();
}

bool ToxaModBusProtocol::ReadWriteRegisters(uint16_t read_start, uint16_t read_count,
                                            uint16_t write_start, uint16_t write_count,
                                            std::span<const uint8_t> data, std::span<uint8_t> buf) {
  BeginOperation();
  if (!WriteGoesOut()) {
    // Suppressed, it would have no data to give.
    if (last_error_ == kOk) last_error_ = kNoAnswer;
    return false;
  }
  const size_t length = BuildReadWriteRequest(request_, net_addr_, read_start, read_count,
                                              write_start, write_count, data);
  if (length == 0) {
    last_error_ = kWrongSize;
    return false;
  }
  return Exchange(length) && CopyReadAnswer(buf, size_t{2} * read_count);
}

bool ToxaModBusProtocol::ReadDeviceIdentification(uint8_t read_code, uint8_t object_id,
                                                  TModbusDeviceIdPage& page) {
  BeginOperation();
  if (!Exchange(BuildDeviceIdRequest(request_, net_addr_, read_code, object_id))) return false;
  auto parsed = ParseDeviceIdAnswer(std::span<const uint8_t>(answer_).first(answer_length_));
  // An answer to another read code is not the one asked for (a read of one object, code 4,
  // may be answered as such only).
  if (!parsed || parsed->read_code != read_code) {
    last_error_ = kWrongSize;
    return false;
  }
  page = std::move(*parsed);
  return true;
}

void ToxaModBusProtocol::GetDevID(std::string& s) {
  BeginOperation();
  standard_id_.reset();
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return;
  }
  if (!com_port_->Opened() && auto_open_port_) com_port_->Open();
  if (!com_port_->Opened()) {
    last_error_ = kPortNotOpen;
    return;
  }
  if (!Exchange(BuildDevIdRequest(request_, net_addr_))) {
    s.clear();
    return;
  }
  const std::span<const uint8_t> frame = std::span<const uint8_t>(answer_).first(answer_length_);
  if (ModbusDevIdLayout(frame) == TDevIdLayout::kStandard) {
    standard_id_ = SplitServerId(frame.subspan(kServerIdStart, frame[2]));
    s = ServerIdText(*standard_id_);
    return;
  }
  // The text length byte decides the frame's length, so the text always lies inside it.
  const size_t text_length = answer_[3];
  std::array<uint8_t, 256> text{};
  size_t kept = 0;
  for (size_t k = 0; k < text_length; ++k) {
    const uint8_t b = answer_[kDevIdTextStart + k];
    if (b >= kDevIdLowestTextByte) text[kept++] = b;
  }
  s = Cp1251ToUtf8(std::span<const uint8_t>(text.data(), kept));
}

}  // namespace oxa
