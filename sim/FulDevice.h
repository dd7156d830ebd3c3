// The virtual FUL device: one meter with a doser that answers Modbus RTU and the 10x protocol
// on the same line. Pure: request bytes in, answer bytes out; no I/O, no threads, no clock of
// its own (the server moves its time forward with AdvanceTime).
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace oxa::sim {

// Layout of the Modbus register file.
inline constexpr uint16_t kRegG1 = 0;        // G channel 1, float (channel 2 at 2)
inline constexpr uint16_t kRegSfr1 = 107;    // SFR channel 1, signed 32-bit (channel 2 at 105)
inline constexpr uint16_t kRegSfrAlt1 = 97;  // SFR channel 1 of the alternative map
inline constexpr uint16_t kRegGmax1 = 299;   // Gmax channel 1, float (channel 2 at 301)
inline constexpr uint16_t kRegDeviceNumber = 315;   // unsigned 32-bit
inline constexpr uint16_t kRegSoftVersion = 318;    // high byte major, low byte minor
inline constexpr uint16_t kRegChannelLayout = 320;  // low byte non-zero: channels swapped
inline constexpr uint16_t kRegIntegrators = 2000;   // the 32 integrators, 2000..2163
inline constexpr uint16_t kRegDose = 2201;          // dose in tenths of a litre
inline constexpr uint16_t kRegDoserState = 2202;    // read: state; written: command
inline constexpr uint16_t kRegDoserReset = 2203;    // 1 written: reset
inline constexpr uint16_t kRegDosed = 2204;         // volume dosed so far, tenths of a litre

// Doser states as register 2202 reads them.
inline constexpr uint16_t kDoserStopped = 0;
inline constexpr uint16_t kDoserRunning = 1;
inline constexpr uint16_t kDoserPaused = 2;
inline constexpr uint16_t kDoserError = 3;             // started with a dose of 0
inline constexpr uint32_t kDoserTenthsPerSecond = 10;  // the doser's pump: 1 litre a second

// Memory layout of the 10x side (addresses in the 2-Kbyte memory, or in RAM).
inline constexpr size_t kMemorySize = 2048;
inline constexpr size_t kRamSize = 1024;
inline constexpr size_t kClockAreaSize = 128;
inline constexpr size_t kSecuritySize = 64;
inline constexpr uint16_t kMemDeviceNumber = 338;
inline constexpr uint16_t kMemStamp = 1496;
inline constexpr uint16_t kMemCalibration = 1504;
inline constexpr size_t kCalibrationSize = 146;
inline constexpr uint16_t kMemSignature = 2016;
inline constexpr uint16_t kRamSfr1 = 0;  // channel 2 at 4
inline constexpr uint16_t kRamG1 = 160;  // channel 2 at 164

// Modbus exception codes.
inline constexpr uint8_t kIllegalFunction = 0x01;
inline constexpr uint8_t kIllegalDataAddress = 0x02;
inline constexpr uint8_t kIllegalDataValue = 0x03;

class TFulDevice {
 public:
  explicit TFulDevice(uint8_t address = 1);

  uint8_t Address() const { return address_; }
  void SetAddress(uint8_t address) { address_ = address; }

  // --- The line ------------------------------------------------------------------------------
  // Takes received bytes and returns what the device sends back (empty while no complete
  // request addressed to it has arrived). A request is recognised at its last byte: the
  // bytes received so far are searched for a frame with a good CRC (Modbus) or checksum (10x)
  // that ends with the newest byte, so noise before a request does not hide it.
  std::vector<uint8_t> Feed(std::span<const uint8_t> bytes);
  // The line has been silent for the inter-frame gap: a frame of a function this device does
  // not know is recognised now (its length is not known before), and what is left is dropped.
  std::vector<uint8_t> LineIdle();
  // Answers one complete frame (either protocol) as the device would, faults applied.
  std::vector<uint8_t> Answer(std::span<const uint8_t> frame);
  size_t PendingBytes() const { return rx_.size(); }
  // Requests addressed to this device that it acted on, counting those whose answer a fault
  // kept back (broadcasts are not counted).
  uint64_t RequestsAnswered() const { return answered_; }

  // --- Modbus contents -----------------------------------------------------------------------
  // Registers outside the device's map answer "illegal data address"; setting one adds it.
  void SetHoldingRegister(uint16_t reg, uint16_t value);
  uint16_t HoldingRegister(uint16_t reg) const { return regs_[reg]; }
  bool RegisterExists(uint16_t reg) const { return defined_[reg]; }
  void SetRegisterFloat(uint16_t reg, float value);  // two registers, most significant first
  void SetRegisterU32(uint16_t reg, uint32_t value);
  float RegisterFloat(uint16_t reg) const;
  uint32_t RegisterU32(uint16_t reg) const;
  void SetModbusIdentification(std::string utf8);  // function 17 text
  const std::string& ModbusIdentification() const { return modbus_id_; }
  static std::array<uint8_t, 128> ArchiveBlock(uint16_t number);  // contents of block n
  static constexpr uint16_t kArchiveBlocks = 8192;

  // --- 10x contents --------------------------------------------------------------------------
  void Set10xIdentification(std::string utf8);
  void Set10xSoftVersion(std::string utf8);
  // The 2-Kbyte memory; bytes beyond its end are not written, and not returned.
  void SetMemory(uint16_t address, std::span<const uint8_t> bytes);
  std::vector<uint8_t> Memory(uint16_t address, size_t count) const;
  void SetRam(uint16_t address, std::span<const uint8_t> bytes);
  std::vector<uint8_t> Ram(uint16_t address, size_t count) const;
  void SetRamFloat(uint16_t address, float value);
  // The stamp record at 1496: markers, number low byte first, date in packed BCD.
  void SetStamp(uint16_t number, int year, int month, int day);
  // Restores the calibration block to factory values with a good checksum.
  void ResetCalibration();
  static uint16_t CalibrationChecksum(std::span<const uint8_t> block);  // over 144 bytes
  // The clock: seconds since 1970 of the device's local time, ticking with AdvanceTime.
  void SetClock(int64_t seconds) { clock_s_ = seconds; }
  int64_t Clock() const { return clock_s_; }

  // --- Faults, each for the next N requests addressed to this device ------------------------
  void NoAnswerToNext(int n) { no_answer_ = n; }
  void CorruptChecksumOfNext(int n) { corrupt_checksum_ = n; }  // CRC or 10x checksum
  void StopMidFrameOnNext(int n) { stop_mid_frame_ = n; }       // only the first half is sent
  void GarbageBeforeNext(int n, std::vector<uint8_t> garbage = {0x00, 0x13});
  void WrongComplementOnNext(int n) { wrong_complement_ = n; }  // 10x answers only

  // --- Time ----------------------------------------------------------------------------------
  // Moves the device's time forward: integrators, operating times, the doser and the clock.
  void AdvanceTime(uint32_t ms);

 private:
  std::vector<uint8_t> AnswerModbus(std::span<const uint8_t> frame);
  std::vector<uint8_t> Answer10x(std::span<const uint8_t> frame);
  std::vector<uint8_t> ApplyFaults(std::vector<uint8_t> answer, bool is_10x);
  bool WriteRegister(uint16_t reg, uint16_t value, uint8_t& exception);
  void DoserCommand(uint16_t command);
  void WriteClockArea(uint8_t address, std::span<const uint8_t> bytes);
  std::array<uint8_t, kClockAreaSize> ClockArea() const;

  uint8_t address_;
  std::array<uint16_t, 65536> regs_{};
  std::bitset<65536> defined_;
  std::string modbus_id_;
  std::vector<uint8_t> id_10x_;
  std::vector<uint8_t> version_10x_;
  std::array<uint8_t, kMemorySize> memory_{};
  std::array<uint8_t, kRamSize> ram_{};
  std::array<uint8_t, kClockAreaSize> clock_area_{};
  std::array<uint8_t, kSecuritySize> security_{};
  int64_t clock_s_ = 0;

  std::vector<uint8_t> rx_;
  uint64_t answered_ = 0;

  int no_answer_ = 0;
  int corrupt_checksum_ = 0;
  int stop_mid_frame_ = 0;
  int garbage_before_ = 0;
  std::vector<uint8_t> garbage_{0x00, 0x13};
  int wrong_complement_ = 0;

  // Time kept finer than the registers can hold it.
  std::array<double, 32> shadow_{};         // float integrators
  std::array<uint32_t, 32> shadow_bits_{};  // what was last written, to notice outside changes
  uint64_t ms_into_second_ = 0;
  uint64_t doser_ms_ = 0;
  uint64_t clock_ms_ = 0;
};

}  // namespace oxa::sim
