#include "devices/oxaZeb106.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "devices/oxaSignature.h"
#include "serial/OxaUtils.h"

namespace oxa {

namespace {

// Pieces of the block write: 8 bytes while more than 64 remain, then the rest in one.
constexpr size_t kPiece = 8;
constexpr size_t kLastPieceMax = 64;

constexpr float kFactoryK[10] = {0.0f,  1.0f,  0.001f, 0.0025f, 0.005f,
                                 0.01f, 0.02f, 0.04f,  0.1f,    0.5f};

bool ValidChannel(uint8_t channel) {
  return channel == 1 || channel == 2;
}

size_t ChannelOffset(uint8_t channel) {
  return ToxaZeb106::kChannelRecordSize * (channel - 1u);
}

// Offsets inside a channel record. Coefficients 0 and 1 are shared by K and Obr.
size_t KOffset(uint8_t index) {
  return index < 2 ? 4u * index : 40u + 4u * (index - 2u);
}
size_t ObrOffset(uint8_t index) {
  return index < 2 ? 4u * index : 8u + 4u * (index - 2u);
}

uint8_t Bcd(int value) {
  return ByteToBcd(static_cast<uint8_t>(std::clamp(value, 0, 255)));
}

}  // namespace

void ToxaZeb106::SetSignature(std::string_view value) {
  signature_set_ = true;
  const auto taken = TakeSignature(value);
  if (!taken) {
    signature_.clear();
    return;
  }
  signature_ = taken->text;
  // A read-only signature (ending in four zeros) suppresses writes while it is set.
  SetEWrite(taken->writes_allowed);
}

std::array<uint8_t, ToxaZeb106::kSignatureRecordSize> ToxaZeb106::SignatureRecord(
    std::string_view signature, const std::tm& time) {
  std::array<uint8_t, kSignatureRecordSize> record{};
  const std::vector<uint8_t> text = Utf8ToCp1251(signature);
  std::copy_n(text.begin(), std::min<size_t>(text.size(), 8), record.begin());
  record[10] = Bcd((time.tm_year + 1900) % 100);
  record[11] = Bcd(time.tm_mon + 1);
  record[12] = Bcd(time.tm_mday);
  record[13] = Bcd(time.tm_hour);
  record[14] = Bcd(time.tm_min);
  record[15] = Bcd(time.tm_sec);
  return record;
}

void ToxaZeb106::SealBlock(std::span<uint8_t, kBlockSize> block) {
  uint16_t sum = 0;
  for (size_t i = 0; i < kBlockSize - 2; ++i) sum = static_cast<uint16_t>(sum + block[i]);
  sum = static_cast<uint16_t>(~sum);
  block[kBlockSize - 2] = static_cast<uint8_t>(sum >> 8);
  block[kBlockSize - 1] = static_cast<uint8_t>(sum & 0xFF);
}

bool ToxaZeb106::ReadWord(bool ram, uint16_t address, uint32_t& value) {
  std::array<uint8_t, 4> bytes{};
  if (ram) {
    ReadRAM(address, bytes, 4);
  } else {
    ReadRtc2k(address, bytes, 4);
  }
  if (LastError() != 0) return false;
  // A shorter answer would leave part of the value undefined.
  if (LastDataLength() < bytes.size()) {
    SetLastError(kWrongSize);
    return false;
  }
  value = BigEndian32(bytes);
  return true;
}

void ToxaZeb106::GetDeviceNumber(std::string& s) {
  uint32_t number = 0;
  s = ReadWord(false, kDeviceNumberAddr, number) ? std::to_string(number) : std::string();
}

float ToxaZeb106::ClbReadG(uint8_t channel) {
  uint32_t bits = 0;
  if (!ValidChannel(channel) || !ReadWord(true, kRamG + 4 * (channel - 1), bits)) return 0.0f;
  return std::bit_cast<float>(bits);
}

float ToxaZeb106::ClbReadSFR(uint8_t channel) {
  uint32_t bits = 0;
  if (!ValidChannel(channel) || !ReadWord(true, kRamSfr + 4 * (channel - 1), bits)) return 0.0f;
  return std::bit_cast<float>(bits);
}

bool ToxaZeb106::ReadCoefficient(uint8_t channel, size_t offset, float& value) {
  uint32_t bits = 0;
  const bool ok =
      ReadWord(false, static_cast<uint16_t>(kBlockAddr + ChannelOffset(channel) + offset), bits);
  value = ok ? std::bit_cast<float>(bits) : 0.0f;
  return ok;
}

bool ToxaZeb106::ClbReadK(uint8_t channel, uint8_t index, float& value) {
  if (!ValidChannel(channel) || index > 9) return false;
  return ReadCoefficient(channel, KOffset(index), value);
}

bool ToxaZeb106::ClbReadObr(uint8_t channel, uint8_t index, float& value) {
  if (!ValidChannel(channel) || index > 9) return false;
  return ReadCoefficient(channel, ObrOffset(index), value);
}

bool ToxaZeb106::ReadBlock(std::span<uint8_t, kBlockSize> block) {
  ReadRtc2kP(kBlockAddr, block.data(), static_cast<uint8_t>(kBlockSize));
  if (LastError() != 0) return false;
  // Writing back a block the device only partly sent would put stale bytes under a fresh
  // checksum: refuse it.
  if (LastDataLength() < kBlockSize) {
    SetLastError(kWrongSize);
    return false;
  }
  return true;
}

bool ToxaZeb106::WriteBlock(std::span<uint8_t, kBlockSize> block) {
  SealBlock(block);
  size_t offset = 0;
  while (offset < kBlockSize) {
    const size_t left = kBlockSize - offset;
    const size_t piece = left > kLastPieceMax ? kPiece : left;
    WriteRtc2kP(static_cast<uint16_t>(kBlockAddr + offset), block.data() + offset,
                static_cast<uint8_t>(piece));
    if (LastError() != 0) return false;
    offset += piece;
  }
  ClbWriteSignature();
  return true;
}

bool ToxaZeb106::WriteCoefficient(uint8_t channel, size_t offset, float value) {
  std::array<uint8_t, kBlockSize> block{};
  if (!ReadBlock(block)) return false;
  PutBigEndian32(std::span<uint8_t>(block).subspan(ChannelOffset(channel) + offset, 4),
                 std::bit_cast<uint32_t>(value));
  return WriteBlock(block);
}

bool ToxaZeb106::ClbWriteK(uint8_t channel, uint8_t index, float value) {
  if (!ValidChannel(channel) || index > 9) return false;
  return WriteCoefficient(channel, KOffset(index), value);
}

bool ToxaZeb106::ClbWriteObr(uint8_t channel, uint8_t index, float value) {
  if (!ValidChannel(channel) || index > 9) return false;
  return WriteCoefficient(channel, ObrOffset(index), value);
}

bool ToxaZeb106::ClbWriteAll(uint8_t channel, std::span<const float, 18> record) {
  if (!ValidChannel(channel)) return false;
  std::array<uint8_t, kBlockSize> block{};
  if (!ReadBlock(block)) return false;
  auto dest = std::span<uint8_t>(block).subspan(ChannelOffset(channel), kChannelRecordSize);
  for (size_t i = 0; i < record.size(); ++i) {
    PutBigEndian32(dest.subspan(4 * i, 4), std::bit_cast<uint32_t>(record[i]));
  }
  return WriteBlock(block);
}

bool ToxaZeb106::ResetK() {
  bool ok = false;
  for (uint8_t i = 2; i <= 9; ++i) {
    ok = ClbWriteK(1, i, kFactoryK[i]);
    ok = ClbWriteK(2, i, kFactoryK[i]);
    ok = ClbWriteObr(1, i, kFactoryK[i]);
    ok = ClbWriteObr(2, i, kFactoryK[i]);
  }
  ok = ClbWriteK(1, 0, kFactoryK[0]);
  ok = ClbWriteK(2, 0, kFactoryK[0]);
  ok = ClbWriteK(1, 1, kFactoryK[1]);
  ok = ClbWriteK(2, 1, kFactoryK[1]);
  return ok;
}

bool ToxaZeb106::SendCmdTwice(uint16_t command) {
  SendCmd(command);
  if (LastError() != 0) SendCmd(command);
  return LastError() == 0;
}

bool ToxaZeb106::FastResetK() {
  return SendCmdTwice(kCmdFastResetK);
}

bool ToxaZeb106::ResetDevK() {
  return SendCmdTwice(kCmdResetDevK);
}

bool ToxaZeb106::ClbWriteSignature() {
  if (!signature_set_ || signature_.empty()) return false;
  if (signature_written_) return true;
  const auto record = SignatureRecord(signature_, LocalTime());
  WriteRtc2k(kSignatureAddr, record, static_cast<uint8_t>(record.size()));
  if (LastError() != 0) return false;
  // While writes are disabled the record write is suppressed and reports success, but nothing
  // reached the device: the stamp stays owed, so the first calibration write that does reach
  // the device (say under a write-enabled signature assigned later) still stamps its record.
  if (EWrite()) signature_written_ = true;
  return true;
}

bool ToxaZeb106::ReadStampRecord(std::span<uint8_t, kStampRecordSize> record) {
  ReadRtc2k(kStampAddr, record, static_cast<uint8_t>(record.size()));
  return LastError() == 0;
}

TStampRecord ToxaZeb106::DecodeStampRecord(std::span<const uint8_t, kStampRecordSize> r) {
  constexpr uint8_t kStartMarker = 0xDE;
  constexpr uint8_t kEndMarker = 0xAD;
  TStampRecord stamp;
  stamp.present = r[0] == kStartMarker && r[7] == kEndMarker;
  stamp.number = static_cast<uint16_t>(r[1] | (r[2] << 8));
  stamp.year = r[4];
  stamp.month = r[5];
  stamp.day = r[6];
  return stamp;
}

}  // namespace oxa
