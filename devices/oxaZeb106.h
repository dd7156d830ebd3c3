// The ZEB-106 meter on the 10x protocol: its device number, the values G and SFR of its two
// channels, the calibration coefficients K and Obr kept in one checksummed block, the reset
// commands, and the signature record stamped after a calibration write.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocols/oxa10xProtocol.h"

namespace oxa {

// The stamp record some FUL meters keep, as its 8 bytes say: present when its start marker
// (0xDE) and end marker (0xAD) are in place; the number is stored low byte first, the date as
// two-digit BCD bytes, taken as they stand (no BCD check).
struct TStampRecord {
  bool present = false;
  uint16_t number = 0;
  uint8_t year = 0;  // within the century
  uint8_t month = 0;
  uint8_t day = 0;
};

class ToxaZeb106 : public Toxa10xProtocol {
 public:
  // Memory map. "Memory" is the area of ReadRtc2k/WriteRtc2k, "RAM" the area of ReadRAM.
  static constexpr uint16_t kRamSfr = 0;              // + 4 per channel, single float
  static constexpr uint16_t kRamG = 160;              // + 4 per channel, single float
  static constexpr uint16_t kDeviceNumberAddr = 338;  // unsigned 32-bit
  static constexpr uint16_t kBlockAddr = 1504;        // calibration block
  static constexpr size_t kBlockSize = 146;           // two 72-byte channel records, checksum
  static constexpr size_t kChannelRecordSize = 72;    // 18 single floats
  static constexpr uint16_t kSignatureAddr = 2016;    // signature record
  static constexpr size_t kSignatureRecordSize = 16;
  static constexpr uint16_t kStampAddr = 1496;  // stamp record of FUL meters
  static constexpr size_t kStampRecordSize = 8;
  static constexpr uint16_t kCmdFastResetK = 0x7777;
  static constexpr uint16_t kCmdResetDevK = 0x7778;

  ToxaZeb106() = default;

  // The signature stamped into the device after a calibration write: empty, or exactly 8
  // characters. Assigning fewer than 8 characters clears it; otherwise the first 8 are kept
  // and writes are enabled unless characters 5 to 8 are "0000".
  const std::string& Signature() const { return signature_; }
  void SetSignature(std::string_view value);

  // Device number in decimal; empty on failure.
  void GetDeviceNumber(std::string& s);
  // G and SFR of channel 1 or 2; 0 on failure or for another channel.
  float ClbReadG(uint8_t channel);
  float ClbReadSFR(uint8_t channel);
  // Coefficients K[0..9] and Obr[0..9] of channel 1 or 2 (index 0 and 1 are shared by both).
  // A bad channel or index returns false without traffic and leaves `value` alone; a failed
  // read sets `value` to 0.
  bool ClbReadK(uint8_t channel, uint8_t index, float& value);
  bool ClbReadObr(uint8_t channel, uint8_t index, float& value);
  // Each calibration write reads the whole block, changes it, recomputes its checksum and
  // writes it back, then stamps the signature record once per signature.
  bool ClbWriteK(uint8_t channel, uint8_t index, float value);
  bool ClbWriteObr(uint8_t channel, uint8_t index, float value);
  // A whole channel record of 18 floats in host order (Obr-layout: coefficients 0 and 1,
  // Obr[2..9], K[2..9]).
  bool ClbWriteAll(uint8_t channel, std::span<const float, 18> record);
  // Writes the factory coefficients into both channels (36 block rewrites); the outcome of
  // the last one.
  bool ResetK();
  // The device's own reset commands, tried twice at most.
  bool FastResetK();
  bool ResetDevK();
  // Writes the signature record with the current local date and time, once per signature:
  // after a record has reached the device, later calls send nothing until ClearSignature
  // (assigning another Signature does not restamp). A record write suppressed because writes
  // are disabled reports success but does not count as written.
  bool ClbWriteSignature();
  // Lets the next calibration write stamp the record again.
  void ClearSignature() { signature_written_ = false; }

  // Only a device whose identification text contains "FUL" (case-sensitive) keeps the stamp
  // record; others are not asked for it.
  static bool CarriesStamp(std::string_view identification) {
    return identification.find("FUL") != std::string_view::npos;
  }
  // Reads the 8-byte stamp record from memory; `record` is untouched on failure.
  bool ReadStampRecord(std::span<uint8_t, kStampRecordSize> record);
  static TStampRecord DecodeStampRecord(std::span<const uint8_t, kStampRecordSize> record);

  // The 16-byte signature record: 8 characters in code page 1251, two zero bytes, then year,
  // month, day, hour, minute and second in packed BCD.
  static std::array<uint8_t, kSignatureRecordSize> SignatureRecord(std::string_view signature,
                                                                   const std::tm& time);
  // Stores the block checksum (inverted 16-bit sum of bytes 0..143, high byte first).
  static void SealBlock(std::span<uint8_t, kBlockSize> block);

 private:
  // Reads 4 bytes and returns them as a big-endian 32-bit value; false (value untouched) on
  // failure, with code 3 when the answer is shorter.
  bool ReadWord(bool ram, uint16_t address, uint32_t& value);
  // Reads the float at `offset` in the channel's record of the block; 0 and false on failure.
  bool ReadCoefficient(uint8_t channel, size_t offset, float& value);
  bool ReadBlock(std::span<uint8_t, kBlockSize> block);
  bool WriteBlock(std::span<uint8_t, kBlockSize> block);
  bool WriteCoefficient(uint8_t channel, size_t offset, float value);
  bool SendCmdTwice(uint16_t command);

  bool signature_set_ = false;
  std::string signature_;
  bool signature_written_ = false;
};

}  // namespace oxa
