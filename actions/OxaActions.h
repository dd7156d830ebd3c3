// What a technician does with a FUL device, one function per action: identify it, read a run
// of registers, read an integrator, read an archive block, read and write the dose, command
// the doser, read its state, and read the stamp record.
//
// Every action runs its exchange through a device class (devices/) on a port that the caller
// has bound and opened, and returns:
//   - the outcome: `code` (TOxaError, serial/OxaUtils.h; kOk is success), `exception` (the
//     device's Modbus exception code when it refused the request) and `request` (the request
//     frame last sent, as hexadecimal text);
//   - `lines`: the text the window shows for it, line by line, so that every front end shows
//     the same; for the data pane "OK" and the action's own lines, or "Failed", "ErrCode=N"
//     and, after a refusal, "Exception 02: illegal data address";
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
  std::string name;  // as the device's documentation writes it ("Т1" with a Cyrillic Т)
  std::string unit;
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

// The doser's state register.
struct TDoserStateRead : TActionResult {
  uint16_t state = 0;  // 0 stopped, 1 running, 2 paused, anything else an error
  std::string name;    // "остановлен", "запущен", "пауза" or "ошибка"
};

// The stamp record, read over the 10x protocol. Unlike the other actions it has no data pane
// lines: `lines` holds the one text the window puts on its status line ("9605 2012.05.31" or
// "Нет данных"), and is empty when the window shows nothing (any failure, or a device that
// keeps no stamp).
struct TStampRead : TActionResult {
  std::string id;              // the 10x identification text
  bool carries_stamp = false;  // the identification names a FUL, so the record was read
  std::array<uint8_t, ToxaZeb106::kStampRecordSize> record{};
  bool present = false;  // both markers of the record in place
  uint16_t number = 0;
  std::string date;  // "2012-05-31": the date bytes as two hexadecimal digits each
  std::string text;  // "9605 2012.05.31", or "Нет данных" without a record
};

// ---- Actions ---------------------------------------------------------------------------------
// Each uses the device's NetAddr, time-outs and repeat count as the caller set them.

TIdentification Identify(ToxaFul0508& device);
// `count` registers from `start`; the window's count runs 0..127 (a count of 0 is sent as it
// stands, and the device decides).
TRegisterRead ReadRegisters(ToxaFul0508& device, uint16_t start, uint16_t count);
// Integrator `index` (0..31); another index sends nothing and fails with kWrongSize.
TIntegratorRead ReadIntegrator(ToxaFul0508& device, size_t index, std::string_view separator = ".");
TArchiveRead ReadArchiveBlock(ToxaFul0508& device, uint16_t block);
TDose ReadDose(ToxaFul0508& device);
TDose WriteDose(ToxaFul0508& device, uint16_t tenths);
// Start, pause or stop; the window's buttons carry the command value as their Tag.
TActionResult SendDoserCommand(ToxaFul0508& device, TDoserCommand command);
TActionResult ResetDoser(ToxaFul0508& device);
TDoserStateRead ReadDoserState(ToxaFul0508& device);
// Asks for the identification first and reads the record only from a FUL device.
TStampRead ReadStamp(ToxaZeb106& device);
// The identification over the 10x protocol, for devices that speak only that protocol.
TIdentification Identify10x(ToxaZeb106& device);
// The 10x request frame last built, as hexadecimal text: header, N data bytes, checksum.
std::string Last10xRequest(const ToxaZeb106& device);

// ---- The integrator table ----------------------------------------------------------------------

struct TIntegrator {
  size_t index;
  uint16_t reg;
  std::string_view name;
  std::string_view unit;
  bool is_long;
};
// The 32 integrators in the window's order. The names and units mix Latin and Cyrillic letters
// that look alike, exactly as the device's documentation prints them: "Tнар1" has a Latin T,
// "Т1" a Cyrillic one; the unit of Gm1 begins with a Latin T, that of Gm2 with a Cyrillic Т;
// every "M3" and plain "T" is Latin; "сек", "град.", "МПа" and the "ч" after a slash are
// Cyrillic.
extern const std::array<TIntegrator, ToxaFul0508::kIntegratorCount> kIntegrators;

// The entry of the window's list: "2000 (V1) [float]", "2038 (Tall) [long]"; "" for an index
// outside the table.
std::string IntegratorListText(size_t index);
// The index of the integrator named `key` or held at register number `key` ("2140"). Names
// are compared with the Cyrillic letters that look like Latin ones taken as those, and
// without regard to case, so "T1", "t1" and "Т1" all find "Т1".
std::optional<size_t> FindIntegrator(std::string_view key);

// ---- Texts and conversions the actions and front ends share ----------------------------------

// Bytes as data pane lines: 16 bytes per line, each as two upper-case hexadecimal digits and
// a space; the line under way is added after the last byte in any case, so a multiple of 16
// bytes (none included) ends with an empty line.
std::vector<std::string> HexLines(std::span<const uint8_t> bytes);
// The value part of an integrator's line from its bytes (most significant first): an unsigned
// decimal for the counters, "%12.6f" with `separator` for the floats.
std::string IntegratorValueText(size_t index, std::span<const uint8_t, 4> raw,
                                std::string_view separator = ".");
// The status line text of a stamp record: "0007 2012.05.31", or "Нет данных".
std::string StampText(std::span<const uint8_t, ToxaZeb106::kStampRecordSize> record);
// The doser state's word.
std::string_view DoserStateName(uint16_t state);
// A dose in litres as the tenths the dose register takes. The product is rounded to double
// before it is cut to a whole number, so every value with one decimal gives its exact tenths
// (0.7 gives 7); values out of the register's range are held at 0 or 65535, never wrapped.
uint16_t DoseTenths(long double litres);
long double DoseLitres(uint16_t tenths);
// The failure lines of the data pane: "Failed", "ErrCode=N", and for a refusal the line
// "Exception 02: illegal data address" (the name left off for a code without one).
std::vector<std::string> FailureLines(TOxaError code, uint8_t exception);

// ---- The window's own messages -----------------------------------------------------------------

std::string ReadyText(std::string_view port, std::string_view speed);  // "Готов к работе:   ..."
std::string OpeningPortText(std::string_view port);  // "Открытие порта COM1"
std::string PortNotOpenedText(std::string_view port);  // "Не удалось открыть порт COM1"
std::string SendingRequestText();                      // "Отправка запроса "
std::string ClosingPortText(std::string_view port);    // "Закрытие порта COM1"
std::string UnableToWriteText(std::string_view path);  // "Unable to write to /path"
// The caption while the window serves its own virtual device.
std::string VirtualDeviceCaption(std::string_view caption);
// The virtual device could not be started; `reason` says why.
std::string VirtualDeviceFailedText(std::string_view reason);

}  // namespace oxa
