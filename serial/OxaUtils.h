// Routines and code tables shared by the protocols, the device classes and the window.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace oxa {

// Suspends the calling thread for `ms` milliseconds.
void DelayMs(uint32_t ms);

// Exchanges byte 0 with byte 3 and byte 1 with byte 2: a value received most significant
// byte first becomes a host (little-endian) value, and back.
void SwapBytes32(uint32_t& value);
void SwapBytes32(float& value);
void SwapBytes32(std::span<uint8_t, 4> bytes);

// The 32-bit value of four bytes stored most significant byte first, and the reverse.
uint32_t BigEndian32(std::span<const uint8_t> bytes);
void PutBigEndian32(std::span<uint8_t> dest, uint32_t value);

// Copies `count` bytes from the start of `src` to the start of `dest`. The copy never goes
// past the end of either span, whatever `count` says.
void CopyBytes(std::span<uint8_t> dest, std::span<const uint8_t> src, uint8_t count);

// Packed BCD of 0..99; 0xFF for 100 and above.
uint8_t ByteToBcd(uint8_t value);

// The table of the reflected CRC-16 with polynomial 0xA001.
extern const std::array<uint16_t, 256> kCrc16Table;

// Runs the CRC over `length` bytes at `data`. A null pointer or a length of 0 or less returns
// `crc` unchanged. From 0xFFFF this is the Modbus RTU CRC (sent low byte first).
uint16_t UpdateCrc16(uint16_t crc, const uint8_t* data, int32_t length);
uint16_t UpdateCrc16(uint16_t crc, std::span<const uint8_t> data);

// Texts of the LastError codes of both protocols, indexed by code (0..10).
extern const std::array<std::string_view, 11> ErrorMessages;

// The LastError codes both protocols set, by name; LastError() returns their numbers.
enum class TOxaError : uint32_t {
  kOk = 0,                   // the operation succeeded
  kNoPortOrWriteFailed = 1,  // no port bound, the request could not be sent, or the port lost
                             // its device during the exchange
  kNoAnswer = 2,             // no answer, or not all of it, within the time-outs
  kWrongSize = 3,            // the answer's size does not match what was asked for
  kWrongAddress = 4,         // a 10x answer's address complement is wrong
  kWrongChecksum = 5,        // wrong checksum or CRC, or an intact frame that does not answer
                             // the request
  kPortNotOpen = 6,          // the port is not open
  kDeviceException = 7,      // the device refused the request (a Modbus exception answer)
};

// Names of the device types (DeviceType 0..11), in Cyrillic and in Latin letters.
extern const std::array<std::string_view, 12> DeviceTypeNamesCyr;
extern const std::array<std::string_view, 12> DeviceTypeNamesLat;

// Code page 1251 exists only on the wire: device texts are decoded from it into UTF-8, texts
// for a device are encoded to it. A character that code page 1251 cannot hold becomes '?';
// a malformed UTF-8 sequence becomes '?' as well.
std::string Cp1251ToUtf8(std::span<const uint8_t> bytes);
std::string Cp1251ToUtf8(uint8_t byte);
std::vector<uint8_t> Utf8ToCp1251(std::string_view text);

// Bytes as upper-case hexadecimal, each followed by one space ("01 03 00 ").
std::string HexBytes(std::span<const uint8_t> bytes);

// A text from outside the program (a device's identification, a process name, a USB string, a
// settings value) as it may go to a terminal or a text file: every control character becomes a
// visible escape, so that none can move the cursor, clear the screen or set a window title.
// C0 and DEL become "\x1b"-style escapes of their byte, the C1 code points U+0080..U+009F
// "\u009b"-style ones, and each byte that is not part of valid UTF-8 a "\xff"-style escape of
// itself. The controls that change the direction of text (U+061C, U+200E, U+200F,
// U+202A..U+202E, U+2066..U+2069), which would make a text read as another, become
// "\u202e"-style escapes too. Everything else, Cyrillic included, stays as it is.
std::string VisibleText(std::string_view text);

}  // namespace oxa
