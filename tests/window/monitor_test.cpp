// The monitor's model against the device's model on the scripted port: what it refuses before
// anything is sent, the values, failures and CSV rows of a run, a lost adapter and its return,
// and the bounded history.
#include "window/Monitor.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "actions/Integrator.h"
#include "actions/OxaActions.h"
#include "sim/FulDevice.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa {
namespace {

using testing::TFakeAnswer;
using testing::TFakePort;
namespace fs = std::filesystem;

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> CsvLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

class Monitor : public ::testing::Test {
 protected:
  Monitor() : device(1), second(2) {
    fp.port.Close();
    fp.io->SetResponder([this](const std::vector<uint8_t>& request) -> std::optional<TFakeAnswer> {
      std::lock_guard lock(device_mutex);
      if (unplugged) return std::nullopt;
      auto answer = device.Feed(request);
      if (answer.empty()) answer = second.Feed(request);
      if (answer.empty()) return std::nullopt;
      // A late device answers each first attempt 700 ms late and each second 560 ms late.
      const uint32_t delay = !late ? 5 : ++answered % 2 == 1 ? 700 : 560;
      return TFakeAnswer{std::move(answer), delay};
    });
    ConfigureMasters(fp.port, ful, zeb);
    ful.SetNetAddr(1);
    folder = fs::temp_directory_path() /
             ("monitor_test_" +
              std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(folder);
  }
  ~Monitor() override { fs::remove_all(folder); }

  TPortLease Port() {
    TPortLease p;
    p.begin = [this](std::function<void()> stop) {
      ++begins;
      stop_work = std::move(stop);
      return !busy;
    };
    p.end = [this] {
      ++ends;
      fp.port.Close();
    };
    p.open = [this] { return !unplugged && fp.port.Open(); };
    p.close = [this] { fp.port.Close(); };
    p.after_exchange = [this] { ++exchanges; };
    p.lost = [this] { return unplugged.load(); };
    p.ful = &ful;
    p.port_name = [] { return std::string("COM3"); };
    return p;
  }
  void Edit(const std::function<void(sim::TFulDevice&)>& change) {
    std::lock_guard lock(device_mutex);
    change(device);
  }
  // Waits (at most 10 s) until the monitor's snapshot satisfies `done`.
  static bool WaitFor(const TMonitor& monitor,
                      const std::function<bool(const TMonitorSnapshot&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done(monitor.Snapshot())) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  TFakePort fp;
  std::mutex device_mutex;
  sim::TFulDevice device;
  sim::TFulDevice second;  // at address 2
  ToxaFul0508 ful;
  ToxaZeb106 zeb;
  std::atomic<bool> unplugged{false};
  std::atomic<bool> late{false};
  int answered = 0;  // under device_mutex
  bool busy = false;
  int begins = 0;
  int ends = 0;
  std::atomic<int> exchanges{0};
  std::function<void()> stop_work;
  fs::path folder;
};

TEST_F(Monitor, RefusesWhatCannotRunAndSendsNothing) {
  const std::string kept = (folder / "kept.csv").string();
  std::ofstream(kept) << "old";
  const std::string planted = (folder / "planted.csv").string();
  std::ofstream(planted) << "forged";
  struct TRow {
    TMonitorChoice choice;
    bool busy;
    std::string said;
  };
  std::vector<TRow> rows = {
      {{.integrators = {0}, .interval_ms = 99, .csv_path = kept},
       false,
       "The interval must be at least 100 ms"},
      {{.interval_ms = 1000}, false, "Choose integrators or registers to poll"},
      {{.integrators = {32}, .interval_ms = 1000},
       false,
       "Choose integrators or registers to poll"},
      {{.integrators = {0}, .interval_ms = 1000, .csv_path = kept},
       true,
       "The port is busy with other work"},
      {{.integrators = {0}, .interval_ms = 1000, .csv_path = kept},
       false,
       "The log file exists already and was left as it is: " + kept},
      {{.integrators = {0}, .interval_ms = 1000, .csv_path = folder.string()},
       false,
       "Cannot write the log " + folder.string() + ": a folder, not a regular file"},
      {{.integrators = {0}, .interval_ms = 1000, .csv_path = (folder / "no/such.csv").string()},
       false,
       "Cannot write the log " + (folder / "no/such.csv").string() + ": "},
      {{.addresses = "1,0", .integrators = {0}, .interval_ms = 1000},
       false,
       "Device addresses: numbers from 1 to 247"},
      {{.addresses = "248", .integrators = {0}, .interval_ms = 1000},
       false,
       "Device addresses: numbers from 1 to 247"},
      {{.addresses = "1,,3", .integrators = {0}, .interval_ms = 1000},
       false,
       "Device addresses: numbers from 1 to 247"},
      {{.register_count = 3,
        .register_format = TRegisterFormat::kFloatSwapped,
        .interval_ms = 1000},
       false,
       "The register count must be even: two registers a value of type float-swapped"},
      {{.addresses = "1-3", .interval_ms = 1000}, false, "Choose integrators or registers to poll"},
  };
#ifndef _WIN32  // owners and permissions as POSIX has them
  // A log someone made for everyone to write (another user, where the test runs as root).
  ::chmod(planted.c_str(), 0666);
  if (::geteuid() == 0) {
    EXPECT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
  }
  rows.push_back(
      {{.integrators = {0}, .interval_ms = 1000, .csv_path = planted, .replace_csv = true},
       false,
       "Cannot write the log " + planted + ": " +
           (::geteuid() == 0 ? "a file of another user" : "a file other users may write") +
           ": others could add rows to it; remove it, or choose another name"});
#endif
  for (const TRow& row : rows) {
    TMonitor monitor(Port(), TLanguage::kEnglish);
    busy = row.busy;
    begins = ends = 0;
    EXPECT_EQ(monitor.Start(row.choice).rfind(row.said, 0), 0u) << row.said;
    EXPECT_FALSE(monitor.Running());
    EXPECT_EQ(begins, ends + (row.busy ? 1 : 0)) << "the port is given back: " << row.said;
  }
  EXPECT_TRUE(fp.io->Requests().empty());
  EXPECT_EQ(fp.io->Opens(), 1u) << "only the fixture's own open";
  EXPECT_EQ(FileText(kept), "old");
  EXPECT_EQ(FileText(planted), "forged");
}

TEST_F(Monitor, PollsTheChoiceCountsFailuresAndWritesARowPerRead) {
  Edit([](sim::TFulDevice& d) {
    d.SetRegisterFloat(2160, 0.5f);  // P1
    d.SetHoldingRegister(2201, 150);
  });
  const std::string csv = (folder / "log.csv").string();
  TMonitor monitor(Port(), TLanguage::kEnglish);
  ASSERT_EQ(monitor.Start({.integrators = {30, 15},
                           .first_register = 2200,
                           .register_count = 2,
                           .interval_ms = 100,
                           .csv_path = csv}),
            "");
  EXPECT_TRUE(monitor.Running());
  ASSERT_TRUE(WaitFor(monitor, [](const TMonitorSnapshot& s) { return s.reads >= 2; }));
  // One exchange of the next read goes unanswered: that read fails, the rest of it stands.
  Edit([](sim::TFulDevice& d) { d.NoAnswerToNext(3); });
  ASSERT_TRUE(WaitFor(monitor, [](const TMonitorSnapshot& s) { return s.reads >= 5; }));
  monitor.Stop();
  EXPECT_FALSE(monitor.Running());
  EXPECT_EQ(ends, 1);

  const TMonitorSnapshot s = monitor.Snapshot();
  EXPECT_EQ(s.failures, 1u);
  EXPECT_EQ(s.problem, "");
  ASSERT_EQ(s.values.size(), 4u);
  EXPECT_EQ(s.values[0].column.name, "P1");
  EXPECT_EQ(s.values[0].column.unit, "MPa");
  EXPECT_EQ(s.values[0].value, 0.5);
  EXPECT_EQ(s.values[3].column.name, "2201");
  EXPECT_EQ(s.values[3].value, 150);
  // The table's time reads as a clock does; the CSV keeps ISO 8601.
  ASSERT_EQ(s.values[3].time.size(), 8u) << s.values[3].time;
  EXPECT_EQ(s.values[3].time.find_first_not_of("0123456789:"), std::string::npos);
  EXPECT_EQ(s.values[3].time[2], ':');
  // Three exchanges a read, each told to the exchange log.
  EXPECT_EQ(exchanges, static_cast<int>(3 * s.reads));

  const std::vector<std::string> lines = CsvLines(FileText(csv));
  ASSERT_EQ(lines.size(), s.reads + 1);
  EXPECT_EQ(lines[0], "time,\"P1, MPa\",\"Tall, s\",2200,2201,outcome");
  size_t failed = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string values = lines[i].substr(29);
    if (values.ends_with(",OK")) {
      EXPECT_EQ(values.substr(0, 4), ",0.5") << values;
      EXPECT_TRUE(values.ends_with(",0,150,OK")) << values;
    } else {
      ++failed;
      // P1's exchange failed; the others' values stand.
      EXPECT_EQ(values.substr(0, 2), ",,") << values;
      EXPECT_TRUE(values.ends_with(",0,150,Error reading from the serial port")) << values;
    }
  }
  EXPECT_EQ(failed, 1u);
}

TEST_F(Monitor, ReadsTypedRegistersOfSeveralDevicesNamedByAddress) {
  Edit([this](sim::TFulDevice& d) {
    d.SetRegisterFloat(2160, 0.5f);  // P1
    second.SetRegisterFloat(2160, 2.5f);
    // Floats with their low word first, the last of the first exchange and the first of the
    // second one.
    d.SetHoldingRegister(2122, 0x0000);
    d.SetHoldingRegister(2123, 0x4049);  // 3.140625
    second.SetHoldingRegister(2124, 0x0000);
    second.SetHoldingRegister(2125, 0xC020);  // -2.5
  });
  TMonitor monitor(Port(), TLanguage::kEnglish);
  ASSERT_EQ(monitor.Start({.addresses = " 1, 2 ",
                           .integrators = {30},
                           .first_register = 2000,
                           .register_count = 130,
                           .register_format = TRegisterFormat::kFloatSwapped,
                           .interval_ms = 100}),
            "");
  ASSERT_TRUE(WaitFor(monitor, [](const TMonitorSnapshot& s) { return s.reads >= 2; }));
  monitor.Stop();
  const TMonitorSnapshot s = monitor.Snapshot();
  EXPECT_EQ(s.failures, 0u) << s.problem;
  // Per device P1, then 65 floats from 2000 on, in two exchanges of 124 and 6 registers.
  ASSERT_EQ(s.values.size(), 2u * 66);
  EXPECT_EQ(exchanges, static_cast<int>(6 * s.reads));
  EXPECT_EQ(s.values[0].column.name, "1:P1");
  EXPECT_EQ(s.values[0].column.header, "1:P1, MPa");
  EXPECT_EQ(s.values[0].value, 0.5);
  EXPECT_EQ(s.values[62].column.name, "1:2122");
  EXPECT_EQ(s.values[62].value, 3.140625);
  EXPECT_EQ(s.values[66].column.name, "2:P1");
  EXPECT_EQ(s.values[66].value, 2.5);
  EXPECT_EQ(s.values[66 + 63].column.name, "2:2124");
  EXPECT_EQ(s.values[66 + 63].value, -2.5);
  EXPECT_EQ(monitor.Columns().size(), s.values.size());
  EXPECT_EQ(PollRoundColumns(std::vector<TPollDevice>{{.address = 2,
                                                       .first_register = 7,
                                                       .register_count = 4,
                                                       .format = TRegisterFormat::kS32}},
                             TLanguage::kEnglish, true)
                .back()
                .name,
            "2:9");
  // Two registers as one signed number, as fulctl's --format s32 reads them.
  const std::vector<uint16_t> words = {0xFFFF, 0xFFFE};
  EXPECT_EQ(RegisterFormatValue(TRegisterFormat::kS32, words), -2);
  EXPECT_EQ(RegisterFormatValue(TRegisterFormat::kS32Swapped, words), -65537);
}

TEST_F(Monitor, ADeviceSlowerThanTheTimeOutNeverHasItsValuesSwapped) {
  // An attempt gives up after 520 ms; the first attempt's answer comes 700 ms late, during the
  // second attempt, and the second's 560 ms late, after the read has ended: it would meet the
  // next read's request. All three reads of a round are two registers long: a swapped answer
  // would pass the check of its length and show another value's.
  late = true;
  Edit([](sim::TFulDevice& d) {
    d.SetRegisterFloat(2160, 0.5f);                              // P1
    d.SetRegisterU32(ToxaFul0508::kIntegratorRegs[15], 123456);  // Tall
    d.SetHoldingRegister(2201, 150);
  });
  TMonitor monitor(Port(), TLanguage::kEnglish);
  ASSERT_EQ(monitor.Start({.integrators = {30, 15},
                           .first_register = 2200,
                           .register_count = 2,
                           .interval_ms = 100}),
            "");
  ASSERT_TRUE(WaitFor(monitor, [](const TMonitorSnapshot& s) { return s.reads >= 4; }));
  monitor.Stop();
  const TMonitorSnapshot s = monitor.Snapshot();
  EXPECT_EQ(s.failures, 0u);
  ASSERT_EQ(s.values.size(), 4u);
  EXPECT_EQ(s.values[0].value, 0.5);
  EXPECT_EQ(s.values[1].value, 123456);
  EXPECT_EQ(s.values[2].value, 0);
  EXPECT_EQ(s.values[3].value, 150);
}

TEST_F(Monitor, APulledAdapterIsSaidAndPollingGoesOnWhenItIsBack) {
  TMonitor monitor(Port(), TLanguage::kEnglish);
  ASSERT_EQ(monitor.Start({.integrators = {0}, .interval_ms = 100}), "");
  ASSERT_TRUE(WaitFor(monitor, [](const TMonitorSnapshot& s) { return s.reads >= 1; }));
  unplugged = true;
  ASSERT_TRUE(WaitFor(monitor, [](const TMonitorSnapshot& s) {
    return s.problem.find("COM3") != std::string::npos && s.failures >= 2;
  })) << monitor.Snapshot().problem;
  const uint64_t failures = monitor.Snapshot().failures;
  unplugged = false;
  ASSERT_TRUE(WaitFor(monitor, [](const TMonitorSnapshot& s) { return s.problem.empty(); }));
  const uint64_t reads = monitor.Snapshot().reads;
  ASSERT_TRUE(WaitFor(monitor, [&](const TMonitorSnapshot& s) { return s.reads >= reads + 2; }));
  EXPECT_EQ(monitor.Snapshot().failures, failures) << "reads go well again";
  // The plot's line breaks where the adapter was gone: one gap, values on both sides.
  const std::vector<TPlotSeries> plot = monitor.PlotRange(0, monitor.RunTime(), 4000);
  ASSERT_EQ(plot.size(), 1u);
  EXPECT_EQ(plot[0].unit, "m3");
  EXPECT_EQ(std::count_if(plot[0].y.begin(), plot[0].y.end(), [](double y) { return y != y; }), 1);
  EXPECT_FALSE(plot[0].y.front() != plot[0].y.front());
  EXPECT_FALSE(plot[0].y.back() != plot[0].y.back());
  // The window closing ends the monitor through the stop it handed over.
  stop_work();
  EXPECT_FALSE(monitor.Running());
  EXPECT_EQ(ends, 1);
}

// Stop comes between two exchanges: on a silent line a round of 32 integrators would hold the
// window for 32 time-outs.
TEST_F(Monitor, StopEndsARoundBetweenTwoExchanges) {
  // Each request takes 20 ms of real time to go unanswered: the round outlasts the Stop.
  fp.io->SetResponder([](const std::vector<uint8_t>&) -> std::optional<TFakeAnswer> {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return std::nullopt;
  });
  TMonitor monitor(Port(), TLanguage::kEnglish);
  TMonitorChoice choice{.interval_ms = 1000};
  for (size_t i = 0; i < 32; ++i) choice.integrators.push_back(i);
  ASSERT_EQ(monitor.Start(choice), "");
  while (exchanges.load() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  monitor.Stop();
  EXPECT_LT(exchanges.load(), 32);
  EXPECT_EQ(monitor.Snapshot().reads, 0u) << "a round cut short is no read";
}

TEST_F(Monitor, KeepsABoundedHistoryAndAPlotOfFewPoints) {
  Edit([](sim::TFulDevice& d) { d.SetHoldingRegister(10, 7); });
  TMonitor monitor(Port(), TLanguage::kEnglish, {.min_interval_ms = 0, .history_reads = 50});
  ASSERT_EQ(monitor.Start({.first_register = 10, .register_count = 1, .interval_ms = 0}), "");
  ASSERT_TRUE(WaitFor(monitor, [](const TMonitorSnapshot& s) { return s.reads >= 200; }));
  monitor.Stop();
  EXPECT_EQ(monitor.HistorySize(), 50u);
  const std::vector<TPlotSeries> plot = monitor.Plot(3600, 6);
  ASSERT_EQ(plot.size(), 1u);
  EXPECT_EQ(plot[0].name, "10");
  // A flat value still makes a line.
  EXPECT_GE(plot[0].t.size(), 2u);
  EXPECT_LE(plot[0].t.size(), 6u);
  for (size_t i = 0; i < plot[0].t.size(); ++i) {
    EXPECT_EQ(plot[0].y[i], 7);
    EXPECT_GE(plot[0].t[i], 0);
  }
}

}  // namespace
}  // namespace oxa
