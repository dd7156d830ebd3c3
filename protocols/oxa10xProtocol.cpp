#include "protocols/oxa10xProtocol.h"

#include <algorithm>

#include "serial/OxaHost.h"
#include "serial/OxaUtils.h"

namespace oxa {

namespace {

// Pause after a failed attempt.
constexpr uint32_t kRetryPauseMs = 200;

// Group 0F: the device's memories. Bit 7 of the code marks a write.
constexpr uint8_t kGroupIdent = 0x00;
constexpr uint8_t kGroupRam = 0x0C;
constexpr uint8_t kGroupMemory = 0x0F;
constexpr uint8_t kCodeDevId = 0x00;
constexpr uint8_t kCodeSoftVer = 0x01;
constexpr uint8_t kCodeSfrTek = 0x00;
constexpr uint8_t kCodeReadRam = 0x01;
constexpr uint8_t kCodeRead2k = 0x01;
constexpr uint8_t kCodeRead128 = 0x02;
constexpr uint8_t kCodeReadFlash = 0x03;
constexpr uint8_t kCodeWrite2k = 0x81;
constexpr uint8_t kCodeWrite128 = 0x82;
constexpr uint8_t kCodeWriteSecurity = 0x91;
constexpr uint8_t kCodeReadSecurity = 0x93;
constexpr uint8_t kCodeUnlock = 0xF1;

constexpr uint8_t Hi(uint16_t v) {
  return static_cast<uint8_t>(v >> 8);
}
constexpr uint8_t Lo(uint16_t v) {
  return static_cast<uint8_t>(v & 0xFF);
}

void CopyAtMost(std::span<uint8_t> dest, std::span<const uint8_t> src) {
  std::copy_n(src.begin(), std::min(src.size(), dest.size()), dest.begin());
}

}  // namespace

// ---- Frames --------------------------------------------------------------------------------

uint8_t Checksum10x(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(~sum);
}

size_t Build10xRequest(std::span<uint8_t> out, uint8_t net_addr, uint8_t group, uint8_t code,
                       std::span<const uint8_t> data) {
  if (data.size() > k10xMaxData) return 0;
  const size_t length = data.size() + k10xFrameOverhead;
  if (out.size() < length) return 0;
  out[0] = k10xRequestStart;
  out[1] = net_addr;
  out[2] = static_cast<uint8_t>(~net_addr);
  out[3] = group;
  out[4] = code;
  out[5] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), out.begin() + k10xHeaderSize);
  out[length - 1] = Checksum10x(out.first(length - 1));
  return length;
}

T10xFrameStep Next10xFrameStep(std::span<const uint8_t> seen) {
  const size_t count = seen.size();
  if (count == 0) return T10xFrameStep::kNeedMore;
  if (seen[0] != k10xAnswerStart) return T10xFrameStep::kSkipByte;
  if (count == 3 && seen[2] != static_cast<uint8_t>(~seen[1])) {
    return T10xFrameStep::kBadAddress;
  }
  if (count < k10xHeaderSize) return T10xFrameStep::kNeedMore;
  if (seen[5] > k10xMaxData) return T10xFrameStep::kBadLength;
  const size_t expected = seen[5] + k10xFrameOverhead;
  if (count < expected) return T10xFrameStep::kNeedMore;
  return seen[expected - 1] == Checksum10x(seen.first(expected - 1)) ? T10xFrameStep::kComplete
                                                                     : T10xFrameStep::kBadChecksum;
}

size_t Answer10xReadAhead(std::span<const uint8_t> seen) {
  const size_t count = seen.size();
  if (count == 0 || seen[0] != k10xAnswerStart) return 1;
  if (count < 3) return 3 - count;
  if (count < k10xHeaderSize) return k10xHeaderSize - count;
  const size_t expected = size_t{seen[5]} + k10xFrameOverhead;
  return seen[5] <= k10xMaxData && expected > count ? expected - count : 1;
}

std::tm HostLocalTime() {
  return LocalTimeNow();
}

// ---- Properties ----------------------------------------------------------------------------

Toxa10xProtocol::Toxa10xProtocol() : local_time_(HostLocalTime) {}

void Toxa10xProtocol::SetLocalTimeSource(LocalTimeSource source) {
  local_time_ = source ? std::move(source) : LocalTimeSource(HostLocalTime);
}

// ---- Exchange ------------------------------------------------------------------------------

TFrameStep Toxa10xProtocol::NextFrameStep(std::span<const uint8_t> seen) const {
  return Next10xFrameStep(seen);
}

size_t Toxa10xProtocol::ReadAhead(std::span<const uint8_t> seen) const {
  return Answer10xReadAhead(seen);
}

uint32_t Toxa10xProtocol::RetryPauseMs() const {
  return kRetryPauseMs;
}

bool Toxa10xProtocol::Exchange() {
  // A Modbus TCP server takes Modbus requests only: a 10x frame never goes out to it.
  if (com_port_ != nullptr && com_port_->ModbusTcp()) {
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  // The request in TxBuf was built whole by Build10xRequest; its length follows from its N.
  const size_t length = size_t{tx_buf_[5]} + k10xFrameOverhead;
  return Transact(std::span<const uint8_t>(tx_buf_).first(length),
                  std::span<uint8_t>(rx_buf_).first(k10xMaxFrame)) != 0;
}

// ---- Command helpers -----------------------------------------------------------------------

bool Toxa10xProtocol::Preamble(bool write, bool may_open) {
  if (com_port_ == nullptr) {
    // A read goes on to the exchange, which reports the missing port (and the command empties
    // its text as after any failed exchange). A write reports it too, instead of passing for a
    // write suppressed by EWrite.
    if (!write) return true;
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  if (!com_port_->Opened()) {
    if (may_open && auto_open_port_) com_port_->Open();
    if (!com_port_->Opened()) {
      last_error_ = kPortNotOpen;
      return false;
    }
  }
  if (write && !e_write_) {
    last_error_ = kOk;
    return false;
  }
  return true;
}

bool Toxa10xProtocol::Request(uint8_t group, uint8_t code, std::span<const uint8_t> data) {
  if (Build10xRequest(tx_buf_, net_addr_, group, code, data) == 0) {
    last_error_ = kWrongSize;
    return false;
  }
  return Exchange();
}

std::span<const uint8_t> Toxa10xProtocol::AnswerData() const {
  // After an intact answer N is at most 248, so the field lies inside RxBuf.
  return std::span<const uint8_t>(rx_buf_).subspan(k10xHeaderSize, rx_buf_[5]);
}

void Toxa10xProtocol::ReadInto(uint8_t group, uint8_t code, std::span<const uint8_t> request,
                               std::span<uint8_t> buffer, size_t asked) {
  if (!Preamble(false)) return;
  if (!Request(group, code, request)) return;
  // Fewer bytes than asked for would leave the rest of the caller's buffer passing for the
  // device's data.
  if (AnswerData().size() < asked) {
    last_error_ = kWrongSize;
    return;
  }
  CopyAtMost(buffer, AnswerData());
}

void Toxa10xProtocol::WriteAddressed(uint8_t group, uint8_t code, uint16_t address,
                                     std::span<const uint8_t> data, uint8_t count) {
  if (!Preamble(true)) return;
  if (count > k10xMaxData - 2 || data.size() < count) {
    last_error_ = kWrongSize;
    return;
  }
  std::array<uint8_t, k10xMaxData> field;
  field[0] = Hi(address);
  field[1] = Lo(address);
  std::copy_n(data.begin(), count, field.begin() + 2);
  Request(group, code, std::span<const uint8_t>(field).first(count + 2u));
}

void Toxa10xProtocol::GetText(uint8_t code, bool may_open, std::string& s) {
  if (!Preamble(false, may_open)) return;
  s.clear();
  if (Request(kGroupIdent, code, {})) s = Cp1251ToUtf8(AnswerData());
}

// ---- Commands ------------------------------------------------------------------------------

void Toxa10xProtocol::GetDevID(std::string& s) {
  GetText(kCodeDevId, true, s);
}

void Toxa10xProtocol::GetSoftVer(std::string& s) {
  GetText(kCodeSoftVer, false, s);
}

void Toxa10xProtocol::GetSfrTek(TSfrTekValues& values) {
  if (!Request(kGroupRam, kCodeSfrTek, {})) return;
  const auto data = AnswerData();
  if (data.size() < 16) {
    last_error_ = kWrongSize;
    return;
  }
  for (size_t i = 0; i < 4; ++i) values.values[i] = BigEndian32(data.subspan(4 * i, 4));
}

void Toxa10xProtocol::ReadRAM(uint16_t address, std::span<uint8_t> buffer, uint8_t count) {
  const uint8_t request[] = {Hi(address), Lo(address), count};
  ReadInto(kGroupRam, kCodeReadRam, request, buffer, count);
}

void Toxa10xProtocol::ReadCfg(uint16_t address, std::span<uint8_t> buffer, uint8_t count) {
  ReadRtc2k(address, buffer, count);
}

void Toxa10xProtocol::ReadRtc2k(uint16_t address, std::span<uint8_t> buffer, uint8_t count) {
  const uint8_t request[] = {Hi(address), Lo(address), count};
  ReadInto(kGroupMemory, kCodeRead2k, request, buffer, count);
}

void Toxa10xProtocol::ReadRtc2kP(uint16_t address, uint8_t* buffer, uint8_t count) {
  ReadRtc2k(address, buffer != nullptr ? std::span<uint8_t>(buffer, count) : std::span<uint8_t>(),
            count);
}

void Toxa10xProtocol::ReadRtc128(uint8_t address, std::span<uint8_t> buffer, uint8_t count) {
  const uint8_t request[] = {address, count};
  ReadInto(kGroupMemory, kCodeRead128, request, buffer, count);
}

void Toxa10xProtocol::ReadDataFlash(uint32_t address, std::span<uint8_t> buffer, uint8_t count) {
  uint8_t request[5] = {count};
  PutBigEndian32(std::span<uint8_t>(request).subspan(1), address);
  ReadInto(kGroupMemory, kCodeReadFlash, request, buffer, count);
}

void Toxa10xProtocol::WriteCfg(uint16_t address, std::span<const uint8_t> data, uint8_t count) {
  WriteRtc2k(address, data, count);
}

void Toxa10xProtocol::WriteRtc2k(uint16_t address, std::span<const uint8_t> data, uint8_t count) {
  WriteAddressed(kGroupMemory, kCodeWrite2k, address, data, count);
}

void Toxa10xProtocol::WriteRtc2kP(uint16_t address, const uint8_t* data, uint8_t count) {
  WriteRtc2k(address,
             data != nullptr ? std::span<const uint8_t>(data, count) : std::span<const uint8_t>(),
             count);
}

void Toxa10xProtocol::CustomWriteRtc2k(uint16_t command, uint16_t address,
                                       std::span<const uint8_t> data, uint8_t count) {
  WriteAddressed(Hi(command), Lo(command), address, data, count);
}

void Toxa10xProtocol::WriteRtc128(uint8_t address, std::span<uint8_t> buffer, uint8_t count) {
  if (!Preamble(true)) return;
  if (count > k10xMaxData - 1 || buffer.size() < count) {
    last_error_ = kWrongSize;
    return;
  }
  std::array<uint8_t, k10xMaxData> field;
  field[0] = address;
  std::copy_n(buffer.begin(), count, field.begin() + 1);
  if (Request(kGroupMemory, kCodeWrite128, std::span<const uint8_t>(field).first(count + 1u))) {
    CopyAtMost(buffer, AnswerData());
  }
}

void Toxa10xProtocol::SetDateTime() {
  if (!Preamble(false)) return;
  const std::tm t = LocalTime();
  // Registers 0..9 of an MC146818-type clock, the three alarm registers zero.
  clock_buf_[0] = ByteToBcd(static_cast<uint8_t>(t.tm_sec));
  clock_buf_[1] = 0;
  clock_buf_[2] = ByteToBcd(static_cast<uint8_t>(t.tm_min));
  clock_buf_[3] = 0;
  clock_buf_[4] = ByteToBcd(static_cast<uint8_t>(t.tm_hour));
  clock_buf_[5] = 0;
  clock_buf_[6] = static_cast<uint8_t>(t.tm_wday + 1);  // 1 = Sunday
  clock_buf_[7] = ByteToBcd(static_cast<uint8_t>(t.tm_mday));
  clock_buf_[8] = ByteToBcd(static_cast<uint8_t>(t.tm_mon + 1));
  clock_buf_[9] = ByteToBcd(static_cast<uint8_t>((t.tm_year + 1900) % 100));
  WriteRtc128(0, clock_buf_, 10);
}

void Toxa10xProtocol::WriteSecurity(std::span<const uint8_t, 64> data) {
  // The security block goes out whatever EWrite says.
  if (!Preamble(false)) return;
  Request(kGroupMemory, kCodeWriteSecurity, data);
}

void Toxa10xProtocol::ReadSecurity(std::span<uint8_t> buffer) {
  ReadInto(kGroupMemory, kCodeReadSecurity, {}, buffer, 0);
}

void Toxa10xProtocol::UnlockWrite(std::string& s) {
  if (!Preamble(false)) return;
  s.clear();
  if (!Request(kGroupMemory, kCodeUnlock, {})) return;
  const auto data = AnswerData();
  if (data.empty()) {
    last_error_ = kWrongSize;
    return;
  }
  s = std::to_string(data[0]);
}

uint8_t Toxa10xProtocol::SendCmd(uint16_t command) {
  if (!Preamble(false, false)) return 0xFF;
  if (!Request(Hi(command), Lo(command), {})) return 0xFF;
  const auto data = AnswerData();
  return data.size() == 1 ? data[0] : 0xFF;
}

uint32_t Toxa10xProtocol::DetectDevice() {
  device_type_ = 0;
  std::string id;
  GetDevID(id);
  if (last_error_ != kOk) return 0;
  if (id.find("ZEB-104") != std::string::npos) {
    device_type_ = 1;
  } else if (id.find("FUL-105") != std::string::npos) {
    device_type_ = 3;
  } else if (id.find("FUL-107") != std::string::npos) {
    device_type_ = 5;
  }
  return device_type_;
}

}  // namespace oxa
