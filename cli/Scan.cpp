// fulctl scan: every device that answers on the line, at each speed asked for, over Modbus,
// the 10x protocol or both; an intact answer, a refusal included, is a device.
#include <algorithm>
#include <string>
#include <vector>

#include "actions/OxaActions.h"
#include "cli/Command.h"
#include "cli/Platform.h"
#include "cli/Session.h"

namespace oxa::cli {

namespace {

struct TProtocolRange {
  bool modbus;
  uint32_t low, high;
};

struct TScanPlan {
  std::vector<uint32_t> bauds;
  std::vector<TProtocolRange> protocols;
};

bool ParseRange(const std::string& text, uint32_t& low, uint32_t& high) {
  const size_t dash = text.find('-');
  const auto a = ParseNumber(text.substr(0, dash), 0, 127);
  const auto b = dash == std::string::npos ? a : ParseNumber(text.substr(dash + 1), 0, 127);
  if (!a || !b || *a > *b) return false;
  low = static_cast<uint32_t>(*a);
  high = static_cast<uint32_t>(*b);
  return true;
}

int Scan(TSession& s, const TScanPlan& plan) {
  TOutput& output = s.Output();
  const TOptions& o = s.Options();
  size_t total = 0;
  for (const auto& p : plan.protocols) total += (p.high - p.low + 1) * plan.bauds.size();
  // One attempt per address unless -r says otherwise: a scan asks each address once.
  s.Ful().SetRepeatCount(o.retries.value_or(1));
  s.Zeb().SetRepeatCount(o.retries.value_or(1));
  s.Zeb().SetPauseAfterLastAttempt(false);
  CatchInterrupt();
  size_t done = 0;
  size_t found = 0;
  for (const uint32_t baud : plan.bauds) {
    s.Port().SetBaudRate(baud);
    s.Port().Close();
    if (!s.OpenPort()) break;
    for (const auto& p : plan.protocols) {
      s.SetTraceProtocol(p.modbus ? TWireProtocol::kModbus : TWireProtocol::k10x);
      for (uint32_t address = p.low; address <= p.high && !Interrupted(); ++address) {
        TIdentification r;
        if (p.modbus) {
          s.Ful().SetNetAddr(static_cast<uint8_t>(address));
          r = Identify(s.Ful());
        } else {
          s.Zeb().SetNetAddr(static_cast<uint8_t>(address));
          r = Identify10x(s.Zeb());
        }
        output.Progress(++done, total, "addresses");
        const bool answered = r.code == TOxaError::kOk || r.code == TOxaError::kDeviceException;
        if (s.Port().Lost()) break;
        if (!answered) continue;
        ++found;
        if (output.Json()) {
          // A refusal of the identification still finds the device: ok says whether it
          // identified itself.
          JsonObject j = CommonFields(r);
          j.Add("baud", baud).Add("address", address).Add("protocol", p.modbus ? "modbus" : "10x");
          if (r.Ok()) j.Add("id", r.id);
          output.Object(j);
        } else {
          output.ClearProgress();
          output.Line(std::to_string(baud) + " bit/s, address " + std::to_string(address) + ", " +
                      (p.modbus ? "Modbus" : "10x") + ": " +
                      (r.Ok() ? "ID = " + r.id : "answers (refuses identification)"));
        }
      }
    }
    s.ClosePort();
    if (Interrupted()) break;
  }
  if (!output.Json())
    output.Line(std::to_string(found) + " device" + (found == 1 ? "" : "s") + " found");
  if (output.Status() != kExitOk) return output.Status();
  return found > 0 ? kExitOk : kExitNoAnswer;
}

}  // namespace

TPrepared PrepareScan(const TArguments&, const TOptions& o) {
  TScanPlan plan;
  const std::string list = o.bauds.empty() ? std::to_string(o.baud) : o.bauds;
  for (size_t pos = 0; pos <= list.size();) {
    const size_t comma = std::min(list.find(',', pos), list.size());
    const auto baud = ParseNumber(list.substr(pos, comma - pos), 1, 4000000);
    if (!baud) return {{}, "'" + list + "' is not a list of speeds such as 9600,19200"};
    plan.bauds.push_back(static_cast<uint32_t>(*baud));
    pos = comma + 1;
  }
  for (const bool modbus : {true, false}) {
    if (o.protocol != "both" && (o.protocol == "modbus") != modbus) continue;
    TProtocolRange p{modbus, modbus ? 1u : 0u, 127};
    if (!o.addresses.empty() && !ParseRange(o.addresses, p.low, p.high)) {
      return {{}, "'" + o.addresses + "' is not an address range such as 1-127"};
    }
    plan.protocols.push_back(p);
  }
  return {[plan](TSession& s) { return Scan(s, plan); }, ""};
}

}  // namespace oxa::cli
