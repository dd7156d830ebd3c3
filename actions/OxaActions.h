// What a technician does with a FUL device, one function per action: identify it, read a run
// of registers and write them with a read-back, read an integrator, read an archive block,
// read and write the dose, command the doser, read its state, read the stamp record and the
// 10x identification, version and number; and the masters set up as the window has them.
//
// Every action runs its exchange through a device class (devices/) on a port that the caller
// has bound and opened, and returns:
//   - the outcome: `code` (TOxaError, serial/OxaUtils.h; kOk is success), `exception` (the
//     device's Modbus exception code when it refused the request) and `request` (the request
//     frame last sent, as hexadecimal text);
//   - `lines`: the text the window shows for it, line by line, so that every front end shows
//     the same, in the language the caller asks for (actions/TextCatalog.h); for the data pane "OK"
//     and the action's own lines, or "Failed", "ErrCode=N" and, after a refusal, "Exception 02:
//     illegal data address" (in English: a front end in another language takes FailureLines
//     in its own);
//   - the values themselves, decoded, for scripts (identification text, register values,
//     integrator value, archive bytes, dose, doser state, stamp).
//
// The port is opened and closed by the caller, which may show its own messages between; an
// action never opens, closes or reconfigures it, and never prints. Texts are UTF-8. Where a
// value text has a decimal separator it is a parameter: the window passes its locale's,
// scripts get '.'.
//
// A script that reads integrator "T1" from the device at address 1 on /dev/ttyUSB0:
//
//   oxa::ToxaComPort port;
//   port.SetDeviceMap({{1, "/dev/ttyUSB0"}});
//   port.SetComPort(1);
//   port.SetBaudRate(9600);
//   oxa::ToxaFul0508 ful;
//   ful.SetComPort(&port);
//   ful.SetNetAddr(1);
//   if (auto index = oxa::FindIntegrator("T1"); index && port.Open()) {
//     const oxa::TIntegratorRead r = oxa::ReadIntegrator(ful, *index);
//     port.Close();
//     if (r.Ok()) std::printf("%s = %g %s\n", r.name.c_str(), r.value, r.unit.c_str());
//   }
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "actions/Integrator.h"
#include "actions/TextCatalog.h"
#include "devices/oxaFul0508.h"
#include "devices/oxaZeb106.h"
#include "serial/OxaUtils.h"

namespace oxa {

// ---- Outcomes --------------------------------------------------------------------------------

struct TActionResult {
  TOxaError code = TOxaError::kOk;
  uint8_t exception = 0;  // Modbus exception code; 0 unless code is kDeviceException
  std::string request;    // "01 03 00 00 00 0A C5 CD "; empty when nothing was sent
  std::vector<std::string> lines;
  bool Ok() const { return code == TOxaError::kOk; }
};

// Device identification (Modbus function 17).
struct TIdentification : TActionResult {
  std::string id;  // as the device sent it, decoded from code page 1251; may be empty
  // A device that answered in the standard layout of function 17 (server id, run indicator,
  // additional data) rather than the FUL one: its fields; `id` then reads them out.
  std::optional<TModbusServerId> standard;
};

// A run of holding registers (function 3).
struct TRegisterRead : TActionResult {
  uint16_t start = 0;
  std::vector<uint16_t> values;  // one per register, as the device holds it
};

// One integrator (function 3 for 4 registers from its register; the first two hold it).
struct TIntegratorRead : TActionResult {
  size_t index = 0;  // 0..31, the position in the window's list
  uint16_t reg = 0;
  std::string name;  // in the language asked for: "Т1" (a Cyrillic Т) in Russian, "T1" in English
  std::string unit;  // likewise: "M3/ч" or "m3/h"
  bool is_long = false;          // an unsigned 32-bit counter; otherwise an IEEE-754 float
  std::array<uint8_t, 4> raw{};  // the value's bytes, most significant first
  uint32_t word = 0;             // the same as one number
  double value = 0;              // the counter, or the float
  std::string value_text;        // the value as the window's line shows it
};

// One 128-byte archive block (function 65).
struct TArchiveRead : TActionResult {
  uint16_t block = 0;
  std::array<uint8_t, 128> bytes{};
};

// The dose: as read from the device, or as sent to it.
struct TDose : TActionResult {
  uint16_t tenths = 0;  // what the register holds, tenths of a litre
  double litres = 0;    // tenths / 10
};

// Registers written and read back. The outcome (code, exception, request) is the write's when
// it failed, else the read-back's; both going through, a value that reads back different is
// still a failed write, which `match` says. `write_request` is the write's frame in any case.
struct TRegisterWrite : TActionResult {
  std::string write_request;  // empty when nothing was sent
  uint16_t reg = 0;
  std::vector<uint16_t> written;
  bool wrote = false;            // the write went through
  std::vector<uint16_t> values;  // what the registers hold afterwards, when read back
  bool match = false;            // read back, and every value as written
};

// The dose written and read back; the outcome as for TRegisterWrite. `tenths` and `litres`
// are the dose read back (0 when the read-back failed), or the dose sent when the write failed.
struct TDoseWrite : TDose {
  std::string write_request;  // the write's frame, as for TRegisterWrite
  uint16_t written = 0;       // the tenths sent
  bool wrote = false;
  bool match = false;
};

// The doser's state register.
struct TDoserStateRead : TActionResult {
  uint16_t state = 0;  // 0 stopped, 1 running, 2 paused, anything else an error
  std::string name;  // "остановлен", "запущен", "пауза" or "ошибка"; "stopped", ... in English
};

// The stamp record, read over the 10x protocol. Unlike the other actions it has no data pane
// lines: `lines` holds the one text the window puts on its status line ("9605 2012.05.31" or
// "Нет данных", "No data" in English), and is empty when the window shows nothing (any failure, or
// a device that keeps no stamp).
struct TStampRead : TActionResult {
  std::string id;              // the 10x identification text
  bool carries_stamp = false;  // the identification names a FUL, so the record was read
  std::array<uint8_t, ToxaZeb106::kStampRecordSize> record{};
  bool present = false;  // both markers of the record in place
  uint16_t number = 0;
  std::string date;  // "2012-05-31": the date bytes as two hexadecimal digits each
  std::string text;  // "9605 2012.05.31", or "Нет данных" without a record
};

// Identification, firmware version and device number, read over the 10x protocol.
struct TInfo10x : TActionResult {
  std::string id;
  std::string version;
  std::string number;
};

// Coils or discrete inputs (function 1 or 2).
struct TBitRead : TActionResult {
  uint16_t start = 0;
  std::vector<bool> values;  // one per coil or input, from `start`
};

// Coils written (function 5 or 15); the device's echo checked, nothing read back.
struct TCoilWrite : TActionResult {
  uint16_t start = 0;
  std::vector<bool> written;
};

// The device identification of function 43/14: every object the device gave, in the order
// it gave them, and its conformity level.
struct TDeviceIdentification : TActionResult {
  uint8_t conformity = 0;
  std::vector<TModbusDeviceIdObject> objects;
};

// ---- The masters -----------------------------------------------------------------------------

// Both masters on `port` as the window sets them up: the answer's first byte within 500 ms and
// each further byte within 200 ms; 3 attempts for Modbus, 7 for the 10x protocol; writes gated, the
// meter's standard register layout, and no operation opening the port by itself. The address is
// left to the caller.
void ConfigureMasters(ToxaCustomComPort& port, ToxaFul0508& ful, ToxaZeb106& zeb);

// ---- Actions ---------------------------------------------------------------------------------
// Each uses the device's NetAddr, time-outs and repeat count as the caller set them.

TIdentification Identify(ToxaFul0508& device);
// `count` registers from `start`; the window's count runs 0..127 (a count of 0 is sent as it
// stands, and the device decides).
TRegisterRead ReadRegisters(ToxaFul0508& device, uint16_t start, uint16_t count,
                            TLanguage language = TLanguage::kRussian);
// Integrator `index` (0..31); another index sends nothing and fails with kWrongSize.
TIntegratorRead ReadIntegrator(ToxaFul0508& device, size_t index, std::string_view separator = ".",
                               TLanguage language = TLanguage::kRussian);
TArchiveRead ReadArchiveBlock(ToxaFul0508& device, uint16_t block,
                              TLanguage language = TLanguage::kRussian);
TDose ReadDose(ToxaFul0508& device, TLanguage language = TLanguage::kRussian);
TDose WriteDose(ToxaFul0508& device, uint16_t tenths);
// Writes `values` from `reg` (one with function 6, 2 to 123 with function 16, which goes out
// whatever EWrite says: the write was asked for as such), then reads them back. Lines: the
// failure lines of the exchange that failed, or "OK" (or "Failed" when a value differs),
// "Written from 100: 1 2 3" and "Read back: 1 2 3 (match)" (or "(MISMATCH)"). No value, or
// more than 123, sends nothing and fails with kWrongSize.
TRegisterWrite WriteRegistersVerified(ToxaFul0508& device, uint16_t reg,
                                      std::span<const uint16_t> values);
// Writes the dose, then reads it back. Lines: the failure lines of the exchange that failed,
// or the read's lines with "Failed" in place of "OK" when the dose reads back different.
TDoseWrite WriteDoseVerified(ToxaFul0508& device, uint16_t tenths,
                             TLanguage language = TLanguage::kRussian);
// ---- The standard functions, for other makers' devices on the line ----------------------------
// Lines: "OK" and one line a value, or the failure lines.

// Function 1 (coils) or 2 (discrete inputs): `count` from `start`, lines "20: 1".
TBitRead ReadBits(ToxaFul0508& device, uint8_t function, uint16_t start, uint16_t count);
// Function 4: input registers, lines as ReadRegisters'.
TRegisterRead ReadInputRegisters(ToxaFul0508& device, uint16_t start, uint16_t count,
                                 TLanguage language = TLanguage::kRussian);
// Function 5 for one coil, 15 for several (1..1968), sent whatever EWrite says as the register
// writes are. Lines: "OK", "Written from 20: 1 0 1".
TCoilWrite WriteCoils(ToxaFul0508& device, uint16_t start, const std::vector<bool>& values);
TActionResult BroadcastCoils(ToxaFul0508& device, uint16_t start, const std::vector<bool>& values);
// Function 23: writes `values` (1..121) from `write_start`, then reads `read_count` (1..125)
// from `read_start`; lines as ReadRegisters'. Sent whatever EWrite says.
TRegisterRead ReadWriteRegisters(ToxaFul0508& device, uint16_t read_start, uint16_t read_count,
                                 uint16_t write_start, std::span<const uint16_t> values,
                                 TLanguage language = TLanguage::kRussian);
// Function 43/14: the extended objects from 0 on (the regular, then the basic ones of a device
// that refuses that category), following "more follows" for at most kMaxDeviceIdAnswers
// answers and only to a later object. Lines: "OK" and "VendorName = ..." a line (objects
// without a standard name as "0x80 = ...").
inline constexpr size_t kMaxDeviceIdAnswers = 16;
TDeviceIdentification ReadDeviceIdentification(ToxaFul0508& device);
// An identification object's value as text: code page 1251 decoded, or hexadecimal when it
// holds control bytes.
std::string DeviceIdValueText(std::span<const uint8_t> value);

// ---- To every device on the line -------------------------------------------------------------
// Modbus address 0 reaches every device on the line, and none answers it. Each of these sends
// its write once to address 0 (whatever the device's NetAddr, which it leaves as it was),
// awaits no answer, and then keeps the line quiet while the devices act on it (the frame's time
// on the line and kBroadcastTurnaroundMs). Nothing is read back: whether a device took the
// write only a read of that device can tell. Lines: "OK" and "Sent to every device, no answer
// expected"; or the failure lines when the request could not be sent (code 1, or 6 for a
// closed port).

inline constexpr uint32_t kBroadcastTurnaroundMs = 100;

// `values` from `reg`: one with function 6, 2 to 123 with function 16. No value, or more than
// 123, sends nothing and fails with kWrongSize.
TActionResult BroadcastRegisters(ToxaFul0508& device, uint16_t reg,
                                 std::span<const uint16_t> values);
TActionResult BroadcastDose(ToxaFul0508& device, uint16_t tenths);
TActionResult BroadcastDoserCommand(ToxaFul0508& device, TDoserCommand command);
TActionResult BroadcastDoserReset(ToxaFul0508& device);

// Start, pause or stop; the window's buttons carry the command value as their Tag.
TActionResult SendDoserCommand(ToxaFul0508& device, TDoserCommand command);
TActionResult ResetDoser(ToxaFul0508& device);
TDoserStateRead ReadDoserState(ToxaFul0508& device, TLanguage language = TLanguage::kRussian);
// Asks for the identification first and reads the record only from a FUL device.
TStampRead ReadStamp(ToxaZeb106& device, TLanguage language = TLanguage::kRussian);
// The identification over the 10x protocol, for devices that speak only that protocol.
TIdentification Identify10x(ToxaZeb106& device);
// The identification, then the firmware version, then the device number (each asked only
// after the one before answered). Lines: "OK", "ID = ...", "Version = ...", "Number = ...".
TInfo10x ReadInfo10x(ToxaZeb106& device);
// The 10x request frame last built, as hexadecimal text: header, N data bytes, checksum.
std::string Last10xRequest(const ToxaZeb106& device);

// ---- Texts and conversions the actions and front ends share ----------------------------------

// Bytes as data pane lines: 16 bytes per line, each as two upper-case hexadecimal digits and
// a space; the line under way is added after the last byte in any case, so a multiple of 16
// bytes (none included) ends with an empty line.
std::vector<std::string> HexLines(std::span<const uint8_t> bytes);
// The status line text of a stamp record: "0007 2012.05.31", or "Нет данных".
std::string StampText(std::span<const uint8_t, ToxaZeb106::kStampRecordSize> record,
                      TLanguage language = TLanguage::kRussian);
// The doser state's word.
std::string_view DoserStateName(uint16_t state, TLanguage language = TLanguage::kRussian);
// A dose in litres as the tenths the dose register takes: the one rule for a dose, whichever
// front end it comes from. It is rounded to the nearest tenth, half a tenth up (the device
// keeps tenths, and 1.99 means nearly 2 litres, not 1.9: 20 tenths). The product is rounded
// to double first, so a value written with a few decimals rounds as written (0.15 gives 2,
// 0.7 gives 7). Nothing for a dose outside the register's range once rounded (below 0, above
// 6553.5) or for NaN.
std::optional<uint16_t> RoundDoseTenths(long double litres);
// The same, a dose out of the register's range held at 0 or 65535, never wrapped (the window's
// dose field).
uint16_t DoseTenths(long double litres);
long double DoseLitres(uint16_t tenths);
// The failure lines of the data pane: "Failed", "ErrCode=N", and for a refusal the line
// "Exception 02: illegal data address" (the name left off for a code without one), that line
// in `language` ("Исключение 02: недопустимый адрес данных").
std::vector<std::string> FailureLines(TOxaError code, uint8_t exception,
                                      TLanguage language = TLanguage::kEnglish);

}  // namespace oxa
