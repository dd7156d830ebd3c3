#include "cli/Command.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

#include "actions/IniFile.h"
#include "actions/Integrator.h"
#include "actions/OxaActions.h"
#include "actions/OxaPortTexts.h"
#include "cli/Session.h"
#include "serial/OxaPortInfo.h"

namespace oxa::cli {

namespace {

TPrepared Problem(std::string problem) {
  return {{}, std::move(problem)};
}

// A read that -n may repeat, one result each time; with `columns` its values make the rows of
// --csv.
TPrepared Reads(std::function<bool(TSession&)> read, std::vector<TPollColumn> columns = {}) {
  const bool csv = !columns.empty();
  TPrepared p{[read = std::move(read), columns = std::move(columns)](TSession& s) {
                return s.Repeat([&] { return read(s); }, columns);
              },
              ""};
  p.repeats = true;
  p.csv = csv;
  return p;
}

// A write or a doser command: to the device, or with --broadcast to every device on the line.
TPrepared Writes(std::function<int(TSession&)> run) {
  TPrepared p{std::move(run), ""};
  p.writes = true;
  return p;
}

std::string Hex16(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%.4X", value);
  return text;
}

// The values of `values` (registers from `start`) in `format`, one line each as a technician
// reads them: "2201: 12345 (0x3039)"; a value over two registers stands at the first with both
// registers as the device holds them: "2160: 1.5 (0x3FC0 0x0000)". JSON gets the numbers.
std::vector<std::string> RegisterValueLines(uint16_t start, std::span<const uint16_t> values,
                                            TRegisterFormat format, std::vector<double>& numbers) {
  std::vector<std::string> lines;
  const size_t width = RegisterFormatWidth(format);
  for (size_t i = 0; i + width <= values.size(); i += width) {
    const std::string reg = std::to_string(start + i) + ": ";
    const double number = RegisterFormatValue(format, values.subspan(i, width));
    numbers.push_back(number);
    if (width == 1) {
      lines.push_back(reg + std::to_string(static_cast<int64_t>(number)) + " (" + Hex16(values[i]) +
                      ")");
      continue;
    }
    std::string text;
    if (IsFloatFormat(format)) {
      char digits[32];
      std::snprintf(digits, sizeof digits, "%.7g", number);
      text = digits;
    } else {
      text = std::to_string(static_cast<int64_t>(number));
    }
    lines.push_back(reg + text + " (" + Hex16(values[i]) + " " + Hex16(values[i + 1]) + ")");
  }
  return lines;
}

std::string LitresText(double litres) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f l", litres);
  return text;
}

// ---- Reads -----------------------------------------------------------------------------------

bool Id(TSession& s) {
  const TIdentification r = Identify(s.Ful());
  s.Emit(r, IdentificationFields(CommonFields(r, s.Line()), r));
  return r.Ok();
}

// Holding registers (function 3), or input registers (4) with `input`.
bool Registers(TSession& s, uint16_t start, uint16_t count, bool input = false) {
  TRegisterRead r = input ? ReadInputRegisters(s.Ful(), start, count, s.Language())
                          : ReadRegisters(s.Ful(), start, count, s.Language());
  TJsonObject j = CommonFields(r, s.Line());
  j.Add("start", int{start});
  const TRegisterFormat format = s.Options().format;
  std::vector<double> numbers;
  if (r.Ok()) {
    // The window's lines, then each value beside its register number.
    for (std::string& line : RegisterValueLines(start, r.values, format, numbers)) {
      r.lines.push_back(std::move(line));
    }
    j.Add("registers", std::span<const uint16_t>(r.values));
    if (format != TRegisterFormat::kU16) {
      j.Add("format", RegisterFormatName(format)).Add("values", std::span<const double>(numbers));
    }
  }
  s.Emit(r, j);
  s.Values(r, numbers, count / RegisterFormatWidth(format));
  return r.Ok();
}

// Coils (function 1) or discrete inputs (2).
bool Bits(TSession& s, uint8_t function, uint16_t start, uint16_t count) {
  const TBitRead r = ReadBits(s.Ful(), function, start, count);
  TJsonObject j = CommonFields(r, s.Line());
  j.Add("start", int{start});
  std::vector<uint16_t> words(r.values.begin(), r.values.end());
  std::vector<double> numbers(r.values.begin(), r.values.end());
  if (r.Ok()) j.Add("values", std::span<const uint16_t>(words));
  s.Emit(r, j);
  s.Values(r, numbers, count);
  return r.Ok();
}

bool DeviceId(TSession& s) {
  const TDeviceIdentification r = ReadDeviceIdentification(s.Ful());
  TJsonObject j = CommonFields(r, s.Line());
  if (r.Ok()) {
    j.Add("conformity", int{r.conformity});
    // The basic objects under names of their own, for scripts; every object in "objects".
    static constexpr const char* kKeys[] = {"vendor", "product_code", "revision"};
    for (const TModbusDeviceIdObject& o : r.objects) {
      if (o.id < std::size(kKeys)) j.Add(kKeys[o.id], DeviceIdValueText(o.value));
    }
    std::string objects = "[";
    for (const TModbusDeviceIdObject& o : r.objects) {
      TJsonObject object;
      object.Add("id", int{o.id}).Add("name", DeviceIdObjectName(o.id));
      object.Add("value", DeviceIdValueText(o.value)).Add("raw", HexBytes(o.value));
      objects += (objects.size() > 1 ? "," : "") + object.Text();
    }
    j.AddRaw("objects", objects + "]");
  }
  s.Emit(r, j);
  return r.Ok();
}

bool Integrator(TSession& s, size_t index) {
  const TIntegratorRead r = ReadIntegrator(s.Ful(), index, ".", s.Language());
  TJsonObject j = CommonFields(r, s.Line());
  // The unit is for scripts to compare: ASCII whatever the language.
  j.Add("name", r.name).Add("register", int{r.reg});
  j.Add("unit", kIntegrators[index].Unit(TLanguage::kEnglish));
  if (r.Ok()) {
    if (r.is_long) {
      j.Add("value", int64_t{r.word});
    } else {
      j.Add("value", r.value);
    }
    j.Add("raw", HexBytes(r.raw));
  }
  s.Emit(r, j);
  s.Values(r, std::span<const double>(&r.value, 1), 1);
  return r.Ok();
}

bool Stamp(TSession& s) {
  const TStampRead r = ReadStamp(s.Zeb(), s.Language());
  TJsonObject j = CommonFields(r, s.Line());
  if (r.Ok()) {
    j.Add("id", r.id).Add("carries_stamp", r.carries_stamp);
    if (r.present) {
      j.Add("number", int{r.number}).Add("date", r.date);
    } else {
      j.AddNull("number").AddNull("date");
    }
    if (r.carries_stamp) j.Add("text", r.text);
  }
  s.Emit(r, j);
  if (r.Ok() && !r.carries_stamp && !s.Output().Json()) {
    s.Output().Message("the device keeps no stamp record (its identification \"" + r.id +
                       "\" names no FUL)");
  }
  return r.Ok();
}

bool Info(TSession& s) {
  const TInfo10x r = ReadInfo10x(s.Zeb());
  TJsonObject j = CommonFields(r, s.Line());
  if (r.Ok()) j.Add("id", r.id).Add("version", r.version).Add("number", r.number);
  s.Emit(r, j);
  return r.Ok();
}

bool DoseRead(TSession& s) {
  TDose r = ReadDose(s.Ful(), s.Language());
  TJsonObject j = CommonFields(r, s.Line());
  if (r.Ok()) {
    j.Add("tenths", int{r.tenths}).Add("litres", r.litres);
    r.lines.push_back("Dose = " + LitresText(r.litres));
  }
  s.Emit(r, j);
  return r.Ok();
}

bool DoserState(TSession& s) {
  const TDoserStateRead r = ReadDoserState(s.Ful(), s.Language());
  TJsonObject j = CommonFields(r, s.Line());
  if (r.Ok()) j.Add("state", int{r.state}).Add("name", r.name);
  s.Emit(r, j);
  const double state = r.state;
  s.Values(r, std::span<const double>(&state, 1), 1);
  return r.Ok();
}

// ---- Writes and commands ---------------------------------------------------------------------
// Each is one result, never repeated. A value that reads back different after a write that
// went through is a failure in every form: "Failed", ok false, exit status kExitMismatch.

// A write to every device on the line (address 0, --broadcast): sent once, nothing read back.
// JSON: the common fields, "broadcast": true, and what `fields` adds.
int Broadcast(TSession& s, const std::function<TActionResult()>& send,
              const std::function<void(TJsonObject&)>& fields) {
  if (!s.OpenPort()) return s.Output().Status();
  const TActionResult r = send();
  TJsonObject j = CommonFields(r, s.Line());
  j.Add("broadcast", true);
  fields(j);
  s.Emit(r, j);
  s.ClosePort();
  return s.Output().Status();
}

// The common fields of a write that is read back: `request` is the write that changed the
// device, and `readback_request` the read that followed once the write went through.
TJsonObject VerifiedWriteFields(TSession& s, const TActionResult& r,
                                const std::string& write_request, bool wrote, bool ok) {
  TActionResult shown = r;
  shown.request = write_request;
  TJsonObject j = CommonFields(shown, ok, s.Line());
  if (wrote) j.Add("readback_request", r.request);
  return j;
}

int Write(TSession& s, uint16_t reg, const std::vector<uint16_t>& values) {
  if (s.Options().broadcast) {
    return Broadcast(
        s, [&] { return BroadcastRegisters(s.Ful(), reg, values); },
        [&](TJsonObject& j) {
          j.Add("register", int{reg}).Add("written", std::span<const uint16_t>(values));
        });
  }
  if (!s.OpenPort()) return s.Output().Status();
  const TRegisterWrite r = WriteRegistersVerified(s.Ful(), reg, values);
  const bool read_back = r.wrote && r.Ok();
  TJsonObject j = VerifiedWriteFields(s, r, r.write_request, r.wrote, r.match);
  j.Add("register", int{reg});
  if (r.wrote) j.Add("written", std::span<const uint16_t>(r.written));
  if (read_back) j.Add("read_back", std::span<const uint16_t>(r.values)).Add("match", r.match);
  s.Emit(r, j);
  s.ClosePort();
  if (read_back && !r.match) {
    if (!s.Output().Json()) s.Output().Message("the registers read back different");
    s.Output().Note(kExitMismatch);
  }
  return s.Output().Status();
}

int WriteCoilsCommand(TSession& s, uint16_t start, const std::vector<bool>& values) {
  std::vector<uint16_t> words(values.begin(), values.end());
  if (s.Options().broadcast) {
    return Broadcast(
        s, [&] { return BroadcastCoils(s.Ful(), start, values); },
        [&](TJsonObject& j) {
          j.Add("coil", int{start}).Add("written", std::span<const uint16_t>(words));
        });
  }
  if (!s.OpenPort()) return s.Output().Status();
  const TCoilWrite r = WriteCoils(s.Ful(), start, values);
  TJsonObject j = CommonFields(r, s.Line());
  j.Add("coil", int{start}).Add("written", std::span<const uint16_t>(words));
  s.Emit(r, j);
  s.ClosePort();
  return s.Output().Status();
}

int ReadWrite(TSession& s, uint16_t read_start, uint16_t read_count, uint16_t write_start,
              const std::vector<uint16_t>& values) {
  if (!s.OpenPort()) return s.Output().Status();
  TRegisterRead r =
      ReadWriteRegisters(s.Ful(), read_start, read_count, write_start, values, s.Language());
  TJsonObject j = CommonFields(r, s.Line());
  j.Add("write_start", int{write_start}).Add("written", std::span<const uint16_t>(values));
  j.Add("start", int{read_start});
  const TRegisterFormat format = s.Options().format;
  std::vector<double> numbers;
  if (r.Ok()) {
    for (std::string& line : RegisterValueLines(read_start, r.values, format, numbers)) {
      r.lines.push_back(std::move(line));
    }
    j.Add("registers", std::span<const uint16_t>(r.values));
    if (format != TRegisterFormat::kU16) {
      j.Add("format", RegisterFormatName(format)).Add("values", std::span<const double>(numbers));
    }
  }
  s.Emit(r, j);
  s.ClosePort();
  return s.Output().Status();
}

// The dose as the user wrote it, in tenths of a litre, and whether it had to be rounded.
struct TDoseArgument {
  std::string text;
  uint16_t tenths = 0;
  bool rounded = false;
};

int DoseWrite(TSession& s, const TDoseArgument& dose) {
  if (dose.rounded) {
    s.Output().Message("the dose " + dose.text + " l is rounded to " +
                       LitresText(dose.tenths / 10.0) + ": the device keeps tenths of a litre");
  }
  if (s.Options().broadcast) {
    return Broadcast(
        s, [&] { return BroadcastDose(s.Ful(), dose.tenths); },
        [&](TJsonObject& j) { j.Add("written_tenths", int{dose.tenths}); });
  }
  if (!s.OpenPort()) return s.Output().Status();
  TDoseWrite r = WriteDoseVerified(s.Ful(), dose.tenths, s.Language());
  const bool read_back = r.wrote && r.Ok();
  if (read_back) r.lines.push_back("Dose = " + LitresText(r.litres));
  TJsonObject j = VerifiedWriteFields(s, r, r.write_request, r.wrote, r.match);
  if (!r.wrote) {
    j.Add("tenths", int{r.written});
  } else {
    j.Add("written_tenths", int{r.written});
    if (read_back) j.Add("tenths", int{r.tenths}).Add("litres", r.litres).Add("match", r.match);
  }
  s.Emit(r, j);
  s.ClosePort();
  if (read_back && !r.match) {
    if (!s.Output().Json()) s.Output().Message("the dose reads back as " + LitresText(r.litres));
    s.Output().Note(kExitMismatch);
  }
  return s.Output().Status();
}

// `command` empty: the reset.
int Doser(TSession& s, const std::string& what, std::optional<TDoserCommand> command) {
  if (s.Options().broadcast) {
    return Broadcast(
        s,
        [&] {
          return command ? BroadcastDoserCommand(s.Ful(), *command) : BroadcastDoserReset(s.Ful());
        },
        [&](TJsonObject& j) { j.Add("command", what); });
  }
  if (!s.OpenPort()) return s.Output().Status();
  const TActionResult r = command ? SendDoserCommand(s.Ful(), *command) : ResetDoser(s.Ful());
  s.Emit(r, CommonFields(r, s.Line()).Add("command", what));
  s.ClosePort();
  return s.Output().Status();
}

// ---- Ports -----------------------------------------------------------------------------------

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

int Ports(TSession& s) {
  const std::map<uint8_t, std::string> map = PortMap(TIniFile(s.SettingsFile()));
  const std::vector<TPortInfo> ports = ListSerialPorts();
  for (const TPortInfo& info : ports) {
    // The COM numbers that open this device: mapped in [Ports], or by default.
    std::string coms;
    for (int n = 1; n <= 255; ++n) {
      const auto it = map.find(static_cast<uint8_t>(n));
      const std::string address =
          it != map.end() ? it->second : DefaultComDeviceName(static_cast<uint8_t>(n));
      TPortAddress parsed;
      std::string problem;
      if (!ParsePortAddress(address, parsed, problem) || parsed.path.empty()) continue;
      if (DescribePort(parsed.path).path == info.path) {
        coms += (coms.empty() ? "" : ",") + ("COM" + std::to_string(n));
      }
    }
    if (s.Output().Json()) {
      TJsonObject j;
      j.Add("path", info.path).Add("by_id", info.by_id).Add("driver", info.driver);
      j.Add("usb_id", info.usb_id).Add("manufacturer", info.manufacturer);
      j.Add("product", info.product).Add("serial", info.serial_number).Add("com", coms);
      s.Output().Object(j);
    } else {
      s.Output().Line(Padded(info.path, 16) + " " + Padded(coms, 8) + " " + PortInfoText(info));
    }
  }
  if (ports.empty() && !s.Output().Json()) s.Output().Message("no serial devices found");
  return kExitOk;
}

// ---- Arguments -------------------------------------------------------------------------------

// A command of one read without arguments.
template <bool (*read)(TSession&)>
TPrepared PrepareRead(const TArguments&, const TOptions&) {
  return Reads(read);
}

// The registers `values` (VALUE words from `first` on) come to in --format; "" or what is
// wrong with one of them.
std::string RegisterValues(const TArguments& a, size_t first, TRegisterFormat format,
                           std::vector<uint16_t>& values) {
  for (size_t i = first; i < a.size(); ++i) {
    const auto v = ParseRegisterValue(a[i], format);
    if (!v) {
      return "VALUE '" + a[i] + "' is not " + RegisterValueWhat(format) + " (--format " +
             std::string(RegisterFormatName(format)) + ")";
    }
    values.insert(values.end(), v->begin(), v->end());
  }
  return "";
}

// START and COUNT of a read of up to `most` items ("coils", "registers") from 0 to 65535.
std::string StartAndCount(const TArguments& a, const std::string& command, const char* items,
                          uint64_t most, uint16_t& start, uint16_t& count) {
  const auto s = ParseNumber(a[0], 0, 65535);
  const auto n = ParseNumber(a[1], 1, most);
  if (!s) return "START '" + a[0] + "' is not a number from 0 to 65535";
  if (!n) {
    return "COUNT '" + a[1] + "' is not a number of " + items + " from 1 to " +
           std::to_string(most);
  }
  if (*s + *n - 1 > 65535) return command + " " + a[0] + " " + a[1] + " would read past 65535";
  start = static_cast<uint16_t>(*s);
  count = static_cast<uint16_t>(*n);
  return "";
}

template <uint8_t function>
TPrepared PrepareBits(const TArguments& a, const TOptions&) {
  const char* items = function == kFnReadCoils ? "coils" : "inputs";
  uint16_t start = 0;
  uint16_t count = 0;
  const std::string problem = StartAndCount(a, function == kFnReadCoils ? "coils" : "discretes",
                                            items, kMaxReadBits, start, count);
  if (!problem.empty()) return Problem(problem);
  std::vector<TPollColumn> columns;
  for (size_t i = 0; i < count; ++i) {
    columns.push_back(RegisterColumn(static_cast<uint16_t>(start + i), TPollKind::kInteger));
  }
  return Reads([start, count](TSession& s) { return Bits(s, function, start, count); },
               std::move(columns));
}

TPrepared PrepareInputs(const TArguments& a, const TOptions& o) {
  uint16_t start = 0;
  uint16_t count = 0;
  const std::string problem =
      StartAndCount(a, "inputs", "registers", kMaxReadRegisters, start, count);
  if (!problem.empty()) return Problem(problem);
  const size_t width = RegisterFormatWidth(o.format);
  if (count % width != 0) {
    return Problem("--format " + std::string(RegisterFormatName(o.format)) +
                   " takes two registers a value: COUNT '" + a[1] + "' must be even");
  }
  const bool is_float =
      o.format == TRegisterFormat::kFloat || o.format == TRegisterFormat::kFloatSwapped;
  std::vector<TPollColumn> columns;
  for (size_t i = 0; i + width <= count; i += width) {
    columns.push_back(RegisterColumn(static_cast<uint16_t>(start + i),
                                     is_float ? TPollKind::kFloat32 : TPollKind::kInteger));
  }
  return Reads([start, count](TSession& s) { return Registers(s, start, count, true); },
               std::move(columns));
}

// A coil's state as written: on or off, 1 or 0.
std::optional<bool> ParseCoil(const std::string& text) {
  if (text == "on" || text == "1") return true;
  if (text == "off" || text == "0") return false;
  return std::nullopt;
}

TPrepared PrepareWriteCoil(const TArguments& a, const TOptions&) {
  const auto coil = ParseNumber(a[0], 0, 65535);
  if (!coil) return Problem("ADDR '" + a[0] + "' is not a coil number from 0 to 65535");
  const auto on = ParseCoil(a[1]);
  if (!on) return Problem("'" + a[1] + "' is not a coil state: on or off (1 or 0)");
  return Writes([c = uint16_t(*coil), v = *on](TSession& s) {
    return WriteCoilsCommand(s, c, std::vector<bool>{v});
  });
}

TPrepared PrepareWriteCoils(const TArguments& a, const TOptions&) {
  const auto start = ParseNumber(a[0], 0, 65535);
  if (!start) return Problem("START '" + a[0] + "' is not a coil number from 0 to 65535");
  std::vector<bool> values;
  for (size_t i = 1; i < a.size(); ++i) {
    const auto on = ParseCoil(a[i]);
    if (!on) return Problem("BIT '" + a[i] + "' is not a coil state: 1 or 0 (on or off)");
    values.push_back(*on);
  }
  if (*start + values.size() - 1 > 65535) {
    return Problem("write-coils " + a[0] + " with " + std::to_string(values.size()) +
                   " bits would write past coil 65535, the last");
  }
  return Writes([s = uint16_t(*start), values](TSession& session) {
    return WriteCoilsCommand(session, s, values);
  });
}

TPrepared PrepareReadWrite(const TArguments& a, const TOptions& o) {
  uint16_t read_start = 0;
  uint16_t read_count = 0;
  const std::string problem =
      StartAndCount(a, "read-write", "registers", kMaxReadRegisters, read_start, read_count);
  if (!problem.empty()) return Problem("R" + problem);
  if (read_count % RegisterFormatWidth(o.format) != 0) {
    return Problem("--format " + std::string(RegisterFormatName(o.format)) +
                   " takes two registers a value: RCOUNT '" + a[1] + "' must be even");
  }
  const auto write_start = ParseNumber(a[2], 0, 65535);
  if (!write_start)
    return Problem("WSTART '" + a[2] + "' is not a register number from 0 to 65535");
  std::vector<uint16_t> values;
  if (std::string bad = RegisterValues(a, 3, o.format, values); !bad.empty()) return Problem(bad);
  if (values.size() > kMaxReadWriteRegisters) {
    return Problem("read-write writes at most " + std::to_string(kMaxReadWriteRegisters) +
                   " registers, not " + std::to_string(values.size()));
  }
  if (*write_start + values.size() - 1 > 65535) {
    return Problem("read-write would write past register 65535, the last");
  }
  // It writes, so it never goes to every device: address 0 would draw no answer to read.
  if (o.address == 0) {
    return Problem(
        "read-write reads an answer, which address 0 never gives: give the device's "
        "own address with -a");
  }
  return {[rs = read_start, rc = read_count, ws = uint16_t(*write_start), values](TSession& s) {
            return ReadWrite(s, rs, rc, ws, values);
          },
          ""};
}

TPrepared PrepareRegs(const TArguments& a, const TOptions& o) {
  const auto start = ParseNumber(a[0], 0, 65535);
  const auto count = ParseNumber(a[1], 1, 125);
  if (!start) return Problem("START '" + a[0] + "' is not a register number from 0 to 65535");
  if (!count) return Problem("COUNT '" + a[1] + "' is not a number of registers from 1 to 125");
  if (*start + *count - 1 > 65535) {
    return Problem("regs " + a[0] + " " + a[1] + " would read past register 65535, the last");
  }
  if (RegisterFormatWidth(o.format) == 2 && *count % 2 != 0) {
    return Problem("--format " + std::string(RegisterFormatName(o.format)) +
                   " takes two registers a value: COUNT '" + a[1] + "' must be even");
  }
  // The columns of --csv: one per value, at the register it begins.
  const size_t width = RegisterFormatWidth(o.format);
  const bool is_float =
      o.format == TRegisterFormat::kFloat || o.format == TRegisterFormat::kFloatSwapped;
  std::vector<TPollColumn> columns;
  for (size_t i = 0; i + width <= *count; i += width) {
    columns.push_back(RegisterColumn(static_cast<uint16_t>(*start + i),
                                     is_float ? TPollKind::kFloat32 : TPollKind::kInteger));
  }
  return Reads([s = uint16_t(*start),
                n = uint16_t(*count)](TSession& session) { return Registers(session, s, n); },
               std::move(columns));
}

TPrepared PrepareWrite(const TArguments& a, const TOptions& o) {
  const auto reg = ParseNumber(a[0], 0, 65535);
  if (!reg) return Problem("REG '" + a[0] + "' is not a register number from 0 to 65535");
  std::vector<uint16_t> values;
  if (o.format == TRegisterFormat::kU16) {
    for (size_t i = 1; i < a.size(); ++i) {
      const auto v = ParseNumber(a[i], 0, 65535);
      if (!v) return Problem("VALUE '" + a[i] + "' is not a number from 0 to 65535");
      values.push_back(static_cast<uint16_t>(*v));
    }
  } else if (std::string bad = RegisterValues(a, 1, o.format, values); !bad.empty()) {
    return Problem(bad);
  }
  if (values.size() > kMaxWriteRegisters) {
    return Problem("write writes at most " + std::to_string(kMaxWriteRegisters) +
                   " registers, not " + std::to_string(values.size()));
  }
  if (*reg + values.size() - 1 > 65535) {
    return Problem("write " + a[0] + " with " + std::to_string(values.size()) +
                   " values would write past register 65535, the last");
  }
  return Writes([r = uint16_t(*reg), values](TSession& s) { return Write(s, r, values); });
}

// One integrator, several (each once, a result and a CSV column each, in the order named), or
// all of them.
TPrepared PrepareIntegrator(const TArguments& a, const TOptions& o) {
  std::vector<size_t> indexes;
  if (a.size() == 1 && a[0] == "all") {
    for (size_t i = 0; i < kIntegrators.size(); ++i) indexes.push_back(i);
  } else {
    for (const std::string& name : a) {
      if (name == "all") return Problem("integrator all reads every integrator: name no others");
      const auto index = FindIntegrator(name);
      if (!index) {
        return Problem("unknown integrator '" + name +
                       "' (V1, M1, Tall, Tnar1, T1, 2000, ... or all)");
      }
      // A column twice would leave a script to guess which is which.
      const auto before = std::find(indexes.begin(), indexes.end(), *index);
      if (before != indexes.end()) {
        return Problem("'" + a[static_cast<size_t>(before - indexes.begin())] + "' and '" + name +
                       "' name the same integrator");
      }
      indexes.push_back(*index);
    }
  }
  std::vector<TPollColumn> columns;
  for (const size_t i : indexes) columns.push_back(IntegratorColumn(i, o.language));
  return Reads(
      [indexes](TSession& s) {
        bool ok = true;
        for (const size_t i : indexes) ok = Integrator(s, i) && ok;
        return ok;
      },
      std::move(columns));
}

// A dose in litres written as digits with a decimal point or comma ("12.5", "12,5", "7"), in
// tenths, rounded as every dose is (RoundDoseTenths: "1.99" is 20 tenths). Nullopt for
// anything else, or a dose above 6553.5 once rounded.
std::optional<TDoseArgument> ParseDose(const std::string& text) {
  const size_t point = text.find_first_of(".,");
  const std::string whole = text.substr(0, point);
  const std::string decimals = point == std::string::npos ? "" : text.substr(point + 1);
  const auto digits = [](const std::string& t) {
    return std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  // Digits on at least one side of the point (".5" and "5." are doses), and not too many
  // before it for a number.
  if ((whole.empty() && decimals.empty()) || whole.size() > 5 || !digits(whole) ||
      !digits(decimals)) {
    return std::nullopt;
  }
  // Read whatever the locale's decimal separator.
  const std::string number = (whole.empty() ? "0" : whole) + "." + (decimals + "0");
  long double litres = 0;
  if (std::from_chars(number.data(), number.data() + number.size(), litres).ec != std::errc()) {
    return std::nullopt;
  }
  const auto tenths = RoundDoseTenths(litres);
  if (!tenths) return std::nullopt;
  const bool rounded =
      decimals.size() > 1 && decimals.find_first_not_of('0', 1) != std::string::npos;
  return TDoseArgument{text, *tenths, rounded};
}

TPrepared PrepareDose(const TArguments& a, const TOptions&) {
  if (a.empty()) return Reads(DoseRead);
  const auto dose = ParseDose(a[0]);
  if (!dose) return Problem("LITRES '" + a[0] + "' is not a dose from 0 to 6553.5 such as 12.5");
  return Writes([dose = *dose](TSession& s) { return DoseWrite(s, dose); });
}

TPrepared PrepareDoser(const TArguments& a, const TOptions& o) {
  const std::string what = a[0];
  if (what == "state") return Reads(DoserState, {DoserStateColumn(o.language)});
  std::optional<TDoserCommand> command;
  if (what == "start") {
    command = TDoserCommand::kStart;
  } else if (what == "pause") {
    command = TDoserCommand::kPause;
  } else if (what == "stop") {
    command = TDoserCommand::kStop;
  } else if (what != "reset") {
    return Problem("'" + what + "' is not a doser command (start, pause, stop, state, reset)");
  }
  return Writes([what, command](TSession& s) { return Doser(s, what, command); });
}

TPrepared PreparePorts(const TArguments&, const TOptions&) {
  return {Ports, ""};
}

// clang-format off
constexpr TCommand kCommands[] = {
    {"id", "", "the identification text (Modbus function 17)",
     0, 0, "", TCommandProtocol::kModbus, PrepareRead<Id>},
    {"regs", "START COUNT",
     "COUNT holding registers from START (function 3): the hexadecimal\n"
     "lines, then each value beside its register number (--format)",
     2, 2, "regs needs START and COUNT", TCommandProtocol::kModbus, PrepareRegs},
    {"write", "REG VALUE...",
     "one register with function 6, several with function 16, then\n"
     "reads them back and compares; --format for s16, u32, s32 and\n"
     "float values",
     2, 124, "write needs REG and 1 to 123 values", TCommandProtocol::kModbus, PrepareWrite},
    {"coils", "START COUNT", "COUNT coils from START (function 1), 1 to 2000",
     2, 2, "coils needs START and COUNT", TCommandProtocol::kModbus,
     PrepareBits<kFnReadCoils>},
    {"discretes", "START COUNT", "COUNT discrete inputs from START (function 2), 1 to 2000",
     2, 2, "discretes needs START and COUNT", TCommandProtocol::kModbus,
     PrepareBits<kFnReadDiscreteInputs>},
    {"inputs", "START COUNT",
     "COUNT input registers from START (function 4), as regs shows\n"
     "them (--format)",
     2, 2, "inputs needs START and COUNT", TCommandProtocol::kModbus, PrepareInputs},
    {"write-coil", "ADDR on|off", "switches one coil (function 5)",
     2, 2, "write-coil needs ADDR and on or off", TCommandProtocol::kModbus, PrepareWriteCoil},
    {"write-coils", "START BIT...", "sets coils from START to the BITs, 1 or 0 (function 15)",
     2, 1969, "write-coils needs START and 1 to 1968 BITs", TCommandProtocol::kModbus,
     PrepareWriteCoils},
    {"read-write", "RSTART RCOUNT WSTART VALUE...",
     "writes the VALUEs from WSTART, then reads RCOUNT registers\n"
     "from RSTART, in one exchange (function 23; --format)",
     4, 124, "read-write needs RSTART, RCOUNT, WSTART and the VALUEs", TCommandProtocol::kModbus,
     PrepareReadWrite},
    {"device-id", "",
     "the device identification objects (function 43/14): vendor,\n"
     "product code, revision and the others the device gives",
     0, 0, "", TCommandProtocol::kModbus, PrepareRead<DeviceId>},
    {"integrator", "NAME...|all",
     "integrators' values and units, a result each (and a column each\n"
     "of --csv): V1, Tnar1, T1, ... in either of the window's\n"
     "spellings, or by register (2000); all: the 32",
     1, 32, "integrator needs a NAME, a REGISTER or all", TCommandProtocol::kModbus,
     PrepareIntegrator},
    {"archive", "FIRST [LAST]",
     "archive blocks (function 65); with -o FILE their raw bytes go to\n"
     "FILE (through FILE.part, beside FILE.info that names the device\n"
     "and the blocks until all are there), otherwise hexadecimal lines\n"
     "under each block's number; --resume continues an interrupted FILE",
     1, 2, "archive needs FIRST and may take LAST", TCommandProtocol::kModbus, PrepareArchive},
    {"dose", "[LITRES]",
     "reads the dose in litres, or writes LITRES (rounded to tenths of\n"
     "a litre) and reads it back",
     0, 1, "dose takes at most LITRES", TCommandProtocol::kModbus, PrepareDose},
    {"doser", "start|pause|stop|state|reset", "the doser's commands, and its state",
     1, 1, "doser needs start, pause, stop, state or reset", TCommandProtocol::kModbus,
     PrepareDoser},
    {"stamp", "", "the stamp record, over the 10x protocol",
     0, 0, "", TCommandProtocol::k10x, PrepareRead<Stamp>},
    {"info", "",
     "identification, firmware version and device number, over the\n"
     "10x protocol",
     0, 0, "", TCommandProtocol::k10x, PrepareRead<Info>},
    {"scan", "",
     "every device that answers: --bauds LIST (default: the -b speed),\n"
     "--addresses RANGE (default 1-247, 0-127 for 10x),\n"
     "--protocol modbus|10x|both (default both)",
     0, 0, "scan takes options only", TCommandProtocol::kBoth, PrepareScan},
    {"ports", "", "the serial devices present and the COM numbers mapped to them",
     0, 0, "", TCommandProtocol::kNone, PreparePorts},
};
// clang-format on

}  // namespace

std::span<const TCommand> CommandTable() {
  return kCommands;
}

const TCommand* FindCommand(std::string_view name) {
  for (const TCommand& command : kCommands) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

namespace {

// Edits from `a` to `b`: letters added, left out or changed, and neighbours swapped.
size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::vector<std::string_view> NearestCommands(std::string_view typed) {
  // A typed word is at most an option's length: anything longer is no misspelt command.
  if (typed.empty() || typed.size() > 32) return {};
  const size_t close = typed.size() >= 6 ? 2 : 1;
  size_t best = close + 1;
  std::vector<std::string_view> nearest;
  for (const TCommand& command : kCommands) {
    const size_t distance = EditDistance(typed, command.name);
    if (distance > close || distance > best) continue;
    if (distance < best) nearest.clear();
    best = distance;
    nearest.push_back(command.name);
  }
  return nearest;
}

std::string CountProblem(const TCommand& command, const TArguments& arguments) {
  if (arguments.size() > command.max_arguments) {
    // The words past the last the command takes, as the user typed them.
    std::string extra;
    for (size_t i = command.max_arguments; i < arguments.size(); ++i) {
      extra += (extra.empty() ? "'" : " '") + arguments[i] + "'";
    }
    const size_t n = arguments.size() - command.max_arguments;
    std::string takes = command.max_arguments == 0 ? "no arguments"
                        : command.synopsis.empty() ? "its arguments"
                                                   : std::string(command.synopsis);
    return extra + (n == 1 ? " is one argument" : " are " + std::to_string(n) + " arguments") +
           " too many: " + std::string(command.name) + " takes " + takes;
  }
  if (!command.count_problem.empty()) return std::string(command.count_problem);
  return std::string(command.name) + " takes no arguments";
}

}  // namespace oxa::cli
