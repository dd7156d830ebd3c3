// fulctl scan: every device that answers on the line, at each speed asked for, over Modbus,
// the 10x protocol or both; an intact answer, a refusal included, is a device. At each speed
// the whole Modbus range is asked before the first 10x probe: a 10x frame is noise to a
// standard device, and one that does not find frame starts by the silence before them (as
// pymodbus does not) takes the noise for the start of a frame and loses the request after it.
// Asked first, every Modbus probe follows only Modbus frames. A device answering both
// protocols at one address is one device: it is shown once its 10x probe has been made.
#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "actions/OxaActions.h"
#include "cli/Command.h"
#include "cli/Session.h"
#include "serial/OxaHost.h"

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

// What one protocol found at an address.
struct TFound {
  bool modbus;
  TIdentification r;
};

// Modbus addresses run to 247, the 10x protocol's to 127.
constexpr uint32_t kHighestModbus = 247;
constexpr uint32_t kHighest10x = 127;

bool ParseRange(const std::string& text, uint32_t& low, uint32_t& high) {
  const size_t dash = text.find('-');
  const auto a = ParseNumber(text.substr(0, dash), 0, kHighestModbus);
  const auto b =
      dash == std::string::npos ? a : ParseNumber(text.substr(dash + 1), 0, kHighestModbus);
  if (!a || !b || *a > *b) return false;
  low = static_cast<uint32_t>(*a);
  high = static_cast<uint32_t>(*b);
  return true;
}

const char* ProtocolName(bool modbus) {
  return modbus ? "modbus" : "10x";
}

// One device: a line "9600 bit/s, address 1, Modbus: ID = ...; 10x: ID = ...", or one JSON
// object, flat as every object fulctl writes. Its outcome, id and protocol are those of its
// first answer; with answers in both protocols `protocol` is "both", and ok_10x and id_10x
// tell the 10x identification.
void PrintDevice(TOutput& output, uint32_t baud, uint32_t address,
                 const std::vector<TFound>& found) {
  if (output.Json()) {
    const TFound& first = found.front();
    TLineState line;
    line.address = static_cast<uint8_t>(address);
    line.language = output.Language();
    TJsonObject j = CommonFields(first.r, line);
    j.Add("baud", baud).Add("address", address);
    j.Add("protocol", found.size() > 1 ? "both" : ProtocolName(first.modbus));
    // A refusal of the identification still finds the device: ok says whether it identified
    // itself.
    if (first.r.Ok()) j = IdentificationFields(std::move(j), first.r);
    if (found.size() > 1) {
      const TIdentification& r_10x = found.back().r;
      j.Add("ok_10x", r_10x.Ok());
      if (r_10x.Ok()) j.Add("id_10x", r_10x.id);
    }
    output.Object(j);
    return;
  }
  std::string line = std::to_string(baud) + " bit/s, address " + std::to_string(address);
  for (size_t i = 0; i < found.size(); ++i) {
    const TFound& f = found[i];
    line += (i == 0 ? ", " : "; ") + std::string(f.modbus ? "Modbus" : "10x") + ": " +
            (f.r.Ok() ? "ID = " + f.r.id : "answers (refuses identification)");
  }
  output.ClearProgress();
  output.Line(line);
}

int Scan(TSession& s, const TScanPlan& plan) {
  TOutput& output = s.Output();
  const TOptions& o = s.Options();
  size_t per_baud = 0;
  for (const auto& p : plan.protocols) per_baud += p.high - p.low + 1;
  const size_t total = per_baud * plan.bauds.size();
  // One attempt per address unless -r says otherwise: a scan asks each address once.
  s.Ful().SetRepeatCount(o.retries.value_or(1));
  s.Zeb().SetRepeatCount(o.retries.value_or(1));
  s.Zeb().SetPauseAfterLastAttempt(false);
  CatchInterrupt();
  size_t done = 0;
  size_t devices = 0;
  const auto stopped = [&] { return Interrupted() || s.Port().Lost() || output.Failed(); };
  for (const uint32_t baud : plan.bauds) {
    s.Port().SetBaudRate(baud);
    s.Port().Close();
    if (!s.OpenPort()) break;
    // What each address answered at this speed, until it is shown.
    std::map<uint32_t, std::vector<TFound>> found;
    // Shows the devices up to `address` (all of them by default), in the order of addresses.
    const auto show = [&](uint32_t address = kHighestModbus) {
      while (!found.empty() && found.begin()->first <= address) {
        ++devices;
        PrintDevice(output, baud, found.begin()->first, found.begin()->second);
        found.erase(found.begin());
      }
    };
    for (size_t pass = 0; pass < plan.protocols.size() && !stopped(); ++pass) {
      const TProtocolRange& p = plan.protocols[pass];
      s.SetTraceProtocol(p.modbus ? TWireProtocol::kModbus : TWireProtocol::k10x);
      for (uint32_t address = p.low; address <= p.high && !stopped(); ++address) {
        TIdentification r;
        if (p.modbus) {
          s.Ful().SetNetAddr(static_cast<uint8_t>(address));
          r = Identify(s.Ful());
        } else {
          s.Zeb().SetNetAddr(static_cast<uint8_t>(address));
          r = Identify10x(s.Zeb());
        }
        output.Progress(++done, total, "addresses");
        if (s.Port().Lost()) break;
        if (r.code == TOxaError::kOk || r.code == TOxaError::kDeviceException) {
          found[address].push_back({p.modbus, std::move(r)});
        }
        // In the last pass an address has been asked in every protocol.
        if (pass + 1 == plan.protocols.size()) show(address);
      }
    }
    // What was found is shown, also when Ctrl+C ended the passes early.
    show();
    s.ClosePort();
    if (Interrupted()) break;
  }
  const std::string summary =
      std::to_string(devices) + " device" + (devices == 1 ? "" : "s") + " found";
  if (Interrupted() && done < total) {
    // The bar, and the terminal's echo of Ctrl+C, end their line before anything else is said.
    output.EndLine();
    output.Message("interrupted after " + std::to_string(done) + " of " + std::to_string(total) +
                   " addresses");
    if (output.Json()) {
      TJsonObject j;
      j.Add("summary", true).Add("interrupted", true).Add("ok", false);
      j.Add("devices", static_cast<int64_t>(devices)).Add("asked", static_cast<int64_t>(done));
      j.Add("total", static_cast<int64_t>(total));
      output.Object(j);
    } else {
      output.Line(summary);
    }
    output.Note(kExitInterrupted);
    return output.Status();
  }
  if (!output.Json()) output.Line(summary);
  if (output.Status() != kExitOk) return output.Status();
  return devices > 0 ? kExitOk : kExitNoAnswer;
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
  // Modbus first: see the top of this file.
  for (const bool modbus : {true, false}) {
    if (o.protocol != "both" && (o.protocol == "modbus") != modbus) continue;
    TProtocolRange p{modbus, modbus ? 1u : 0u, modbus ? kHighestModbus : kHighest10x};
    if (!o.addresses.empty()) {
      if (!ParseRange(o.addresses, p.low, p.high)) {
        return {{}, "'" + o.addresses + "' is not an address range such as 1-247"};
      }
      // The 10x protocol asks the part of the range it can address.
      if (!modbus) p.high = std::min(p.high, kHighest10x);
      if (p.low > p.high) continue;
    }
    plan.protocols.push_back(p);
  }
  if (plan.protocols.empty()) {
    return {{}, "the 10x protocol addresses 0 to " + std::to_string(kHighest10x) + " only"};
  }
  return {[plan](TSession& s) { return Scan(s, plan); }, ""};
}

}  // namespace oxa::cli
