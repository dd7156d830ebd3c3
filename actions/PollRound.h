// A round of reads: the integrators and a typed run of registers of each of several devices on
// the line, in turn, one value a column. A run longer than one exchange carries is read in
// several, each a whole number of values. The monitor reads one round a tick.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "actions/PollCsv.h"
#include "actions/RegisterFormat.h"
#include "actions/TextCatalog.h"
#include "devices/oxaFul0508.h"

namespace oxa {

// What is read of one device: its address, integrators (positions in kIntegrators, in the
// order shown) and a run of registers holding values of one format.
struct TPollDevice {
  uint8_t address = 1;
  std::vector<size_t> integrators = {};
  uint16_t first_register = 0;
  uint16_t register_count = 0;  // registers, not values; 0: none
  TRegisterFormat format = TRegisterFormat::kU16;
};

// Registers read in one exchange at most: a longer run takes several.
inline constexpr uint16_t kRegistersPerExchange = 125;

// Why a round cannot be read, or nothing: an address outside 1..247, an integrator outside
// the table, a register run past 65535, or a run that is no whole number of its values.
enum class TPollRoundProblem { kNone, kNothing, kAddress, kIntegrator, kRegisters, kTypeCount };
TPollRoundProblem CheckPollRound(std::span<const TPollDevice> devices);

// One column a value, device after device: its integrators, then a value of its registers at
// each value's first register. With `name_address` each name and header leads with the
// device's address ("2:V1", header "2:V1, m3"), so that several devices' values stay apart.
std::vector<TPollColumn> PollRoundColumns(std::span<const TPollDevice> devices, TLanguage language,
                                          bool name_address);

struct TPollRoundEvents {
  std::function<void()> exchanged;  // after every exchange
  std::function<bool()> stop;       // asked between exchanges: true ends the round there
};

struct TPollRoundRead {
  std::vector<std::optional<double>> values;  // one per column; none where its exchange failed
  std::optional<TOxaError> failure;           // the first failed exchange's outcome
  uint8_t exception = 0;                      // of that failure, when the device refused
  size_t exchanges = 0;
  bool stopped = false;  // ended by `stop` before its last exchange
};

// Reads the round through `ful` (its network address set to each device's in turn).
TPollRoundRead ReadPollRound(ToxaFul0508& ful, std::span<const TPollDevice> devices,
                             TLanguage language, const TPollRoundEvents& events = {});

}  // namespace oxa
