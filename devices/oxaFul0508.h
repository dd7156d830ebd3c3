// The FUL-05.08 meter: a Modbus RTU master with the device's register map built in. Reads the
// device number, software version and the per-channel values G, Gmax and SFR; reads and writes
// the calibration coefficients K and Obr of both channels; resets them to factory values; and
// keeps an 8-character signature whose characters 5 to 8 decide whether calibration writes
// (function 16) reach the device ("0000" forbids them).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "protocols/oxaModBusProtocol.h"

namespace oxa {

// Factory coefficient values D[0..9] written by ResetK. D[1] is the bit pattern 0x34200000.
extern const std::array<float, 10> kFul0508FactoryK;

// The doser's values, as register 2202 holds them: read, the doser's state; written, a command.
enum class TDoserState : uint16_t { kStopped = 0, kRunning = 1, kPaused = 2 };  // others: error
enum class TDoserCommand : uint16_t { kStop = 0, kStart = 1, kPause = 2 };

// Register of coefficient `index` (0..9) of `channel` (1, 2); 0 for an invalid pair.
uint16_t Ful0508KRegister(uint8_t channel, uint8_t index);
uint16_t Ful0508ObrRegister(uint8_t channel, uint8_t index);

class ToxaFul0508 : public ToxaModBusProtocol {
 public:
  // The 32 integrators (volumes, masses, operating times, flows, temperatures, pressures):
  // each a 32-bit value in two holding registers from its register, high word first.
  static constexpr size_t kIntegratorCount = 32;
  static constexpr std::array<uint16_t, kIntegratorCount> kIntegratorRegs = {
      2000, 2002, 2004, 2006, 2008, 2012, 2014, 2016, 2018, 2020, 2022,
      2028, 2030, 2032, 2034, 2038, 2040, 2042, 2052, 2054, 2064, 2066,
      2088, 2090, 2100, 2102, 2104, 2106, 2140, 2142, 2160, 2162};
  // Integrators 15..23 are unsigned 32-bit counters of seconds; all others IEEE-754 floats.
  static constexpr bool IsLongIntegrator(size_t index) { return index >= 15 && index <= 23; }

  // The doser: the dose in tenths of a litre (0..65535), its state or command, and its reset
  // (the value 1 written). Register numbers go on the wire as they stand.
  static constexpr uint16_t kRegDose = 2201;
  static constexpr uint16_t kRegDoserState = 2202;
  static constexpr uint16_t kRegDoserReset = 2203;

  ToxaFul0508() = default;

  // The signature: empty, or exactly 8 characters. Every assignment marks it as set. A text
  // shorter than 8 characters empties it and leaves EWrite alone; a longer one is cut to 8.
  // Characters 5 to 8 equal to "0000" clear EWrite, anything else there sets it.
  const std::string& Signature() const { return signature_; }
  void SetSignature(std::string value);

  // The alternative SFR register layout of some firmware.
  bool AltRegMapping() const { return alt_reg_mapping_; }
  void SetAltRegMapping(bool value) { alt_reg_mapping_ = value; }

  // True when the device reported its channels swapped (register 320, read by GetDeviceNumber).
  bool ChannelsSwapped() const { return channel_swap_; }

  // The device number in decimal ("123456"), empty on failure. Also learns the channel layout.
  void GetDeviceNumber(std::string& s);
  // Per-channel values (channel 1 or 2); 0 on failure or for another channel.
  float ClbReadG(uint8_t channel);
  float ClbReadGmax(uint8_t channel);
  float ClbReadSFR(uint8_t channel);
  // Coefficients (channel 1 or 2, index 0..9). Index 0 is an integer in one register, 1 to 9
  // are floats. A bad channel or index: false, no traffic, `value` untouched; a failed read:
  // `value` 0 and false.
  bool ClbReadK(uint8_t channel, uint8_t index, float& value);
  bool ClbReadObr(uint8_t channel, uint8_t index, float& value);
  bool ClbWriteK(uint8_t channel, uint8_t index, float value);
  bool ClbWriteObr(uint8_t channel, uint8_t index, float value);
  // Writes the factory values to K[0..9] and Obr[2..9] of channel 1 (and channel 2 with
  // AltRegMapping). Carries on after a failure; the result is that of the last write.
  bool ResetK();
  // Marks the signature as written, once per signature. Sends nothing: the meter keeps no
  // signature record. False without a full signature or when the preceding operation failed.
  bool ClbWriteSignature();
  // Lets the next ClbWriteSignature act again; the signature itself stays.
  void ClearSignature() { signature_written_ = false; }
  // The software version "MM.mm" (register 318, high byte major), empty on failure.
  void GetSoftVer(std::string& s);

  // Integrator `index` (0..31): function 3 for 4 registers from its register, of which the
  // first two hold the value; `raw` gets their 4 bytes, most significant first. Another index:
  // false without traffic, `raw` and LastError untouched; a failed read leaves `raw` alone.
  bool ReadIntegrator(size_t index, std::span<uint8_t, 4> raw);
  // The doser. Each is one exchange (function 3 for one register, or function 6, which EWrite
  // does not gate); the reads leave their output alone on failure.
  bool ReadDose(uint16_t& tenths);
  bool WriteDose(uint16_t tenths);
  bool ReadDoserState(uint16_t& state);
  // Writes `command` to the state register; any value goes out as it stands.
  bool SendDoserCommand(TDoserCommand command);
  bool ResetDoser();

 private:
  // Reads two registers as a 32-bit value, most significant byte first.
  bool Read32(uint16_t start, uint32_t& value);
  bool Read16(uint16_t reg, uint16_t& value);
  float ReadFloat(uint16_t start);
  bool ReadCoefficient(uint16_t reg, uint8_t index, float& value);
  bool WriteCoefficient(uint16_t reg, uint8_t index, float value);

  bool signature_set_ = false;
  bool signature_written_ = false;
  std::string signature_;
  bool alt_reg_mapping_ = false;
  bool channel_swap_ = false;
};

}  // namespace oxa
