#include "cli/Command.h"

#include <algorithm>
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

// A read that -n may repeat, one result each time.
TPrepared Reads(std::function<bool(TSession&)> read) {
  return {[read = std::move(read)](TSession& s) { return s.Repeat([&] { return read(s); }); }, ""};
}

// ---- Reads -----------------------------------------------------------------------------------

bool Id(TSession& s) {
  const TIdentification r = Identify(s.Ful());
  s.Emit(r, CommonFields(r).Add("id", r.id));
  return r.Ok();
}

bool Registers(TSession& s, uint16_t start, uint16_t count) {
  const TRegisterRead r = ReadRegisters(s.Ful(), start, count);
  JsonObject j = CommonFields(r);
  j.Add("start", int{start});
  if (r.Ok()) j.Add("registers", std::span<const uint16_t>(r.values));
  s.Emit(r, j);
  return r.Ok();
}

bool Integrator(TSession& s, size_t index) {
  const TIntegratorRead r = ReadIntegrator(s.Ful(), index, ".");
  JsonObject j = CommonFields(r);
  j.Add("name", r.name).Add("register", int{r.reg}).Add("unit", r.unit);
  if (r.Ok()) {
    if (r.is_long) {
      j.Add("value", int64_t{r.word});
    } else {
      j.Add("value", r.value);
    }
    j.Add("raw", HexBytes(r.raw));
  }
  s.Emit(r, j);
  return r.Ok();
}

bool Stamp(TSession& s) {
  const TStampRead r = ReadStamp(s.Zeb());
  JsonObject j = CommonFields(r);
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
  JsonObject j = CommonFields(r);
  if (r.Ok()) j.Add("id", r.id).Add("version", r.version).Add("number", r.number);
  s.Emit(r, j);
  return r.Ok();
}

bool DoseRead(TSession& s) {
  const TDose r = ReadDose(s.Ful());
  JsonObject j = CommonFields(r);
  if (r.Ok()) j.Add("tenths", int{r.tenths}).Add("litres", r.litres);
  s.Emit(r, j);
  return r.Ok();
}

bool DoserState(TSession& s) {
  const TDoserStateRead r = ReadDoserState(s.Ful());
  JsonObject j = CommonFields(r);
  if (r.Ok()) j.Add("state", int{r.state}).Add("name", r.name);
  s.Emit(r, j);
  return r.Ok();
}

// ---- Writes and commands ---------------------------------------------------------------------
// Each is one result, never repeated. A value that reads back different after a write that
// went through is a failure in every form: "Failed", ok false, exit status kExitMismatch.

int Write(TSession& s, uint16_t reg, const std::vector<uint16_t>& values) {
  if (!s.OpenPort()) return s.Output().Status();
  const TRegisterWrite r = WriteRegistersVerified(s.Ful(), reg, values);
  const bool read_back = r.wrote && r.Ok();
  JsonObject j = CommonFields(r, r.match);
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

int DoseWrite(TSession& s, long double litres) {
  if (!s.OpenPort()) return s.Output().Status();
  const TDoseWrite r = WriteDoseVerified(s.Ful(), DoseTenths(litres));
  const bool read_back = r.wrote && r.Ok();
  JsonObject j = CommonFields(r, r.match);
  if (!r.wrote) {
    j.Add("tenths", int{r.written});
  } else {
    j.Add("written_tenths", int{r.written});
    if (read_back) j.Add("tenths", int{r.tenths}).Add("litres", r.litres).Add("match", r.match);
  }
  s.Emit(r, j);
  s.ClosePort();
  if (read_back && !r.match) {
    if (!s.Output().Json()) {
      char litres_text[32];
      std::snprintf(litres_text, sizeof litres_text, "%.1f", r.litres);
      s.Output().Message(std::string("the dose reads back as ") + litres_text + " l");
    }
    s.Output().Note(kExitMismatch);
  }
  return s.Output().Status();
}

// `command` empty: the reset.
int Doser(TSession& s, const std::string& what, std::optional<TDoserCommand> command) {
  if (!s.OpenPort()) return s.Output().Status();
  const TActionResult r = command ? SendDoserCommand(s.Ful(), *command) : ResetDoser(s.Ful());
  s.Emit(r, CommonFields(r).Add("command", what));
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
      JsonObject j;
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

TPrepared PrepareRegs(const TArguments& a, const TOptions&) {
  const auto start = ParseNumber(a[0], 0, 65535);
  const auto count = ParseNumber(a[1], 1, 125);
  if (!start) return Problem("START '" + a[0] + "' is not a register number from 0 to 65535");
  if (!count) return Problem("COUNT '" + a[1] + "' is not a number of registers from 1 to 125");
  return Reads([s = uint16_t(*start), n = uint16_t(*count)](TSession& session) {
    return Registers(session, s, n);
  });
}

TPrepared PrepareWrite(const TArguments& a, const TOptions&) {
  const auto reg = ParseNumber(a[0], 0, 65535);
  if (!reg) return Problem("REG '" + a[0] + "' is not a register number from 0 to 65535");
  std::vector<uint16_t> values;
  for (size_t i = 1; i < a.size(); ++i) {
    const auto v = ParseNumber(a[i], 0, 65535);
    if (!v) return Problem("VALUE '" + a[i] + "' is not a number from 0 to 65535");
    values.push_back(static_cast<uint16_t>(*v));
  }
  return {[r = uint16_t(*reg), values](TSession& s) { return Write(s, r, values); }, ""};
}

TPrepared PrepareIntegrator(const TArguments& a, const TOptions&) {
  std::vector<size_t> indexes;
  if (a[0] == "all") {
    for (size_t i = 0; i < kIntegrators.size(); ++i) indexes.push_back(i);
  } else if (const auto index = FindIntegrator(a[0])) {
    indexes.push_back(*index);
  } else {
    return Problem("unknown integrator '" + a[0] + "' (V1, M1, Tall, T1, 2000, ... or all)");
  }
  return Reads([indexes](TSession& s) {
    bool ok = true;
    for (const size_t i : indexes) ok = Integrator(s, i) && ok;
    return ok;
  });
}

TPrepared PrepareDose(const TArguments& a, const TOptions&) {
  if (a.empty()) return Reads(DoseRead);
  std::string text = a[0];
  std::replace(text.begin(), text.end(), ',', '.');
  char* end = nullptr;
  const long double litres = std::strtold(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(litres >= 0) || litres > 6553.5L) {
    return Problem("LITRES '" + a[0] + "' is not a dose from 0 to 6553.5");
  }
  return {[litres](TSession& s) { return DoseWrite(s, litres); }, ""};
}

TPrepared PrepareDoser(const TArguments& a, const TOptions&) {
  const std::string what = a[0];
  if (what == "state") return Reads(DoserState);
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
  return {[what, command](TSession& s) { return Doser(s, what, command); }, ""};
}

TPrepared PreparePorts(const TArguments&, const TOptions&) {
  return {Ports, ""};
}

// clang-format off
constexpr TCommand kCommands[] = {
    {"id", "", "the identification text (Modbus function 17)",
     0, 0, "", TCommandProtocol::kModbus, PrepareRead<Id>},
    {"regs", "START COUNT", "COUNT holding registers from START (function 3)",
     2, 2, "regs needs START and COUNT", TCommandProtocol::kModbus, PrepareRegs},
    {"write", "REG VALUE...",
     "one value with function 6, several with function 16, then\n"
     "reads them back and compares",
     2, 124, "write needs REG and 1 to 123 values", TCommandProtocol::kModbus, PrepareWrite},
    {"integrator", "NAME|REG|all",
     "an integrator's value and unit (V1, T1, 2000, ...); all: the 32",
     1, 1, "integrator needs a NAME, a REGISTER or all", TCommandProtocol::kModbus,
     PrepareIntegrator},
    {"archive", "FIRST [LAST]",
     "archive blocks (function 65); with -o FILE their raw bytes go to\n"
     "FILE (through FILE.part), otherwise hexadecimal lines",
     1, 2, "archive needs FIRST and may take LAST", TCommandProtocol::kModbus, PrepareArchive},
    {"dose", "[LITRES]", "reads the dose, or writes it and reads it back",
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
     "--addresses RANGE (default 1-127, 0-127 for 10x),\n"
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

std::string CountProblem(const TCommand& command) {
  if (!command.count_problem.empty()) return std::string(command.count_problem);
  return std::string(command.name) + " takes no arguments";
}

}  // namespace oxa::cli
