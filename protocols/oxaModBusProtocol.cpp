#include "protocols/oxaModBusProtocol.h"

#include <algorithm>

#include "serial/OxaUtils.h"

namespace oxa {

namespace {

// Code 3 (kWrongSize) here: the answer holds more data than the caller's buffer or its own
// frame, or less than asked for; or a function 16 request would not fit one frame.
// The device refused the request with a Modbus exception answer. The shared table has no code
// of its own for that; 7 ("data packet integrity error") is one no other failure of this master
// sets, so a refusal is never mistaken for a lost or damaged answer.
constexpr uint32_t kDeviceException = 7;

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
// Address, function code and byte count before the data of a read answer, CRC after it.
constexpr size_t kReadAnswerOverhead = 5;
// The archive block an answer to function 65 carries.
constexpr size_t kArchiveBlockSize = 128;
// Identification text starts at answer byte 4; byte 3 is its length.
constexpr size_t kDevIdTextStart = 4;
// Bytes of value 20 and below are control bytes in the identification text.
constexpr uint8_t kDevIdLowestTextByte = 21;
// Grain of every wait in the receive loop, ms.
constexpr uint32_t kPollMs = 10;

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

size_t ModbusAnswerLength(std::span<const uint8_t> seen) {
  if (seen.size() < 3) return 5;
  switch (seen[1]) {
    case kFnReadHoldingRegisters:
      return size_t{seen[2]} + 5;
    case kFnWriteSingleRegister:
    case kFnWriteMultipleRegisters:
      return 8;
    case kFnReportDeviceId:
      return seen.size() < 4 ? 6 : size_t{seen[3]} + 6;
    case kFnReadArchiveBlock:
      return 3 + kArchiveBlockSize + 2;
    default:
      return 5;
  }
}

bool ModbusCrcOk(std::span<const uint8_t> frame) {
  if (frame.size() < 2) return false;
  const size_t body = frame.size() - 2;
  const uint16_t crc = UpdateCrc16(0xFFFF, frame.first(body));
  return frame[body] == (crc & 0xFF) && frame[body + 1] == (crc >> 8);
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

bool ToxaModBusProtocol::SendFrame(const uint8_t* frame, uint8_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  com_port_->Purge();
  last_sent_.clear();
  for (uint8_t i = 0; i < count; ++i) {
    const uint8_t b = frame[i];
    last_sent_.push_back(kDigits[b >> 4]);
    last_sent_.push_back(kDigits[b & 0x0F]);
    last_sent_.push_back(' ');
    if (!com_port_->WriteByte(b)) {
      last_error_ = kNoPortOrWriteFailed;
      return false;
    }
  }
  return true;
}

uint16_t ToxaModBusProtocol::ReceiveFrame() {
  answer_length_ = 0;
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return 0;
  }
  // Gives the device a moment to start; returns at once when its first byte is already in.
  com_port_->WaitForInput(kPollMs);
  size_t expected = 5;
  size_t i = 0;
  while (i < expected) {
    // A byte counts as missing after limit + 1 empty polls, each followed by one 10 ms wait.
    const uint32_t limit = (i == 0 ? packet_timeout_ : byte_timeout_) / kPollMs;
    uint32_t failed = 0;
    uint8_t byte = 0;
    while (!com_port_->ReadByte(byte)) {
      ++failed;
      com_port_->WaitForInput(kPollMs);
      if (failed > limit) {
        last_error_ = kNoAnswer;
        return 0;
      }
    }
    answer_[i++] = byte;
    expected = ModbusAnswerLength({answer_.data(), i});
  }
  if (!ModbusCrcOk({answer_.data(), expected})) {
    last_error_ = kWrongChecksum;
    return 0;
  }
  answer_length_ = expected;
  last_error_ = kOk;
  return static_cast<uint16_t>(expected);
}

bool ToxaModBusProtocol::Transact(uint8_t length) {
  for (uint8_t attempt = 0; attempt < repeat_count_; ++attempt) {
    // A failed write is followed by the answer wait all the same, whose code then stands.
    SendFrame(request_.data(), length);
    if (ReceiveFrame() != 0) break;
  }
  if (last_error_ != kOk) return false;
  // A device that refuses the request answers with its exception code instead of the data.
  if (answer_[1] & kExceptionBit) {
    last_exception_ = answer_[2];
    last_error_ = kDeviceException;
    return false;
  }
  return true;
}

bool ToxaModBusProtocol::CopyReadAnswer(std::span<uint8_t> buf, size_t asked) {
  // The data announced by byte 2 must lie inside the frame (between the byte count and the CRC)
  // and fit the caller's buffer; otherwise nothing is copied. It must also hold at least the
  // bytes asked for: callers read the whole run they asked for from `buf`, and a shorter answer
  // would pass the rest of it (whatever an earlier read left there) off as the device's data.
  const size_t n = answer_[2];
  if (n > answer_length_ - kReadAnswerOverhead || n > buf.size() || n < asked) {
    last_error_ = kWrongSize;
    return false;
  }
  std::copy_n(answer_.begin() + 3, n, buf.begin());
  return true;
}

bool ToxaModBusProtocol::ReadHoldingRegisters(uint16_t start, uint16_t count,
                                              std::span<uint8_t> buf) {
  BeginOperation();
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  const size_t length =
      BuildReadRequest(request_, net_addr_, kFnReadHoldingRegisters, start, count);
  return Transact(static_cast<uint8_t>(length)) && CopyReadAnswer(buf, size_t{2} * count);
}

bool ToxaModBusProtocol::ReadArchiveBlock(uint16_t start, uint16_t count, std::span<uint8_t> buf) {
  BeginOperation();
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  const size_t length = BuildReadRequest(request_, net_addr_, kFnReadArchiveBlock, start, count);
  if (!Transact(static_cast<uint8_t>(length))) return false;
  // An archive answer always carries its whole 128-byte block before the CRC, whatever its
  // byte-count byte says: the block is taken as it stands. Any other answer gives its byte count.
  if (answer_[1] == kFnReadArchiveBlock) {
    if (buf.size() < kArchiveBlockSize) {
      last_error_ = kWrongSize;
      return false;
    }
    std::copy_n(answer_.begin() + 3, kArchiveBlockSize, buf.begin());
    return true;
  }
  return CopyReadAnswer(buf, kArchiveBlockSize);
}

bool ToxaModBusProtocol::WriteSingleRegister(uint16_t reg, uint16_t value) {
  BeginOperation();
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  const size_t length = BuildWriteSingleRequest(request_, net_addr_, reg, value);
  return Transact(static_cast<uint8_t>(length));
}

bool ToxaModBusProtocol::WriteMultipleRegisters(uint16_t start, uint16_t count,
                                                std::span<const uint8_t> data) {
  BeginOperation();
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  if (!e_write_) {
    last_error_ = kOk;
    return true;
  }
  const size_t length = BuildWriteMultipleRequest(request_, net_addr_, start, count, data);
  if (length == 0) {  // no register, too many for one frame, or fewer data bytes than count
    last_error_ = kWrongSize;
    return false;
  }
  return Transact(static_cast<uint8_t>(length));
}

void ToxaModBusProtocol::GetDevID(std::string& s) {
  BeginOperation();
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return;
  }
  if (!com_port_->Opened() && auto_open_port_) com_port_->Open();
  if (!com_port_->Opened()) {
    last_error_ = kPortNotOpen;
    return;
  }
  const size_t length = BuildDevIdRequest(request_, net_addr_);
  if (!Transact(static_cast<uint8_t>(length))) {
    s.clear();
    return;
  }
  // The text must lie inside the frame, before its CRC.
  const size_t text_length = answer_[3];
  if (answer_length_ < kDevIdTextStart + text_length + 2) {
    last_error_ = kWrongSize;
    s.clear();
    return;
  }
  std::array<uint8_t, 256> text{};
  size_t kept = 0;
  for (size_t k = 0; k < text_length; ++k) {
    const uint8_t b = answer_[kDevIdTextStart + k];
    if (b >= kDevIdLowestTextByte) text[kept++] = b;
  }
  s = Cp1251ToUtf8(std::span<const uint8_t>(text.data(), kept));
}

}  // namespace oxa
