#include "actions/PollRound.h"

#include <algorithm>

#include "actions/Integrator.h"
#include "actions/OxaActions.h"

namespace oxa {

namespace {

TPollKind KindOf(TRegisterFormat format) {
  return IsFloatFormat(format) ? TPollKind::kFloat32 : TPollKind::kInteger;
}

TPollColumn WithAddress(TPollColumn column, uint8_t address) {
  const std::string lead = std::to_string(address) + ":";
  column.name = lead + column.name;
  column.header = lead + column.header;
  return column;
}

}  // namespace

TPollRoundProblem CheckPollRound(std::span<const TPollDevice> devices) {
  bool any = false;
  for (const TPollDevice& d : devices) {
    if (d.address < 1 || d.address > 247) return TPollRoundProblem::kAddress;
    if (std::any_of(d.integrators.begin(), d.integrators.end(),
                    [](size_t i) { return i >= kIntegrators.size(); })) {
      return TPollRoundProblem::kIntegrator;
    }
    if (uint32_t{d.first_register} + d.register_count > 65536) {
      return TPollRoundProblem::kRegisters;
    }
    if (d.register_count % RegisterFormatWidth(d.format) != 0) {
      return TPollRoundProblem::kTypeCount;
    }
    any = any || !d.integrators.empty() || d.register_count > 0;
  }
  return any ? TPollRoundProblem::kNone : TPollRoundProblem::kNothing;
}

std::vector<TPollColumn> PollRoundColumns(std::span<const TPollDevice> devices, TLanguage language,
                                          bool name_address) {
  std::vector<TPollColumn> columns;
  for (const TPollDevice& d : devices) {
    const size_t width = RegisterFormatWidth(d.format);
    std::vector<TPollColumn> own;
    for (const size_t i : d.integrators) own.push_back(IntegratorColumn(i, language));
    for (uint32_t r = 0; r + width <= d.register_count; r += width) {
      own.push_back(RegisterColumn(static_cast<uint16_t>(d.first_register + r), KindOf(d.format)));
    }
    for (TPollColumn& column : own) {
      columns.push_back(name_address ? WithAddress(std::move(column), d.address)
                                     : std::move(column));
    }
  }
  return columns;
}

TPollRoundRead ReadPollRound(ToxaFul0508& ful, std::span<const TPollDevice> devices,
                             TLanguage language, const TPollRoundEvents& events) {
  TPollRoundRead read;
  const auto failed = [&read](const TActionResult& r) {
    if (read.failure) return;
    read.failure = r.code;
    read.exception = r.exception;
  };
  // Between two exchanges, never after a whole round of them on a line that answers nothing.
  const auto after = [&] {
    ++read.exchanges;
    if (events.exchanged) events.exchanged();
    read.stopped = events.stop && events.stop();
    return read.stopped;
  };
  for (const TPollDevice& d : devices) {
    ful.SetNetAddr(d.address);
    for (const size_t index : d.integrators) {
      const TIntegratorRead r = ReadIntegrator(ful, index, ".", language);
      if (r.Ok()) {
        read.values.push_back(r.value);
      } else {
        read.values.push_back(std::nullopt);
        failed(r);
      }
      if (after()) return read;
    }
    // Each exchange a whole number of values, so that no value is split over two of them.
    const size_t width = RegisterFormatWidth(d.format);
    const uint32_t per_exchange = kRegistersPerExchange - kRegistersPerExchange % width;
    for (uint32_t done = 0; done + width <= d.register_count;) {
      const auto count = static_cast<uint16_t>(std::min(per_exchange, d.register_count - done));
      const TRegisterRead r =
          ReadRegisters(ful, static_cast<uint16_t>(d.first_register + done), count, language);
      const bool ok = r.Ok() && r.values.size() == count;
      for (size_t i = 0; i + width <= count; i += width) {
        read.values.push_back(ok ? std::optional<double>(RegisterFormatValue(
                                       d.format, std::span(r.values).subspan(i, width)))
                                 : std::nullopt);
      }
      if (!ok && !r.Ok()) failed(r);
      if (!ok && r.Ok() && !read.failure) read.failure = TOxaError::kWrongSize;
      done += count;
      if (after()) return read;
    }
  }
  return read;
}

}  // namespace oxa
