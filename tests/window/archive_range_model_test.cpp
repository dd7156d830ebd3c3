// The archive range window's model with a fake window against the form's virtual device in
// memory: the fields it refuses, a download's progress and file, a cancel and its resume, and
// the port it shares with the form and lends the monitor alike.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/ArchiveFiles.h"
#include "window/ArchiveRangeModel.h"
#include "window/FormModel.h"
#include "window/Monitor.h"

namespace oxa {
namespace {

namespace fs = std::filesystem;

using namespace oxa::testing;

// The form's controls as far as the long work reads them: the lists and the numbers.
class TQuietView final : public IFormView {
 public:
  std::string Caption() const override { return ""; }
  void SetCaption(std::string_view) override {}
  std::string DecimalSeparator() const override { return ","; }
  void SetItems(TControl list, const std::vector<std::string>& texts) override {
    items[size_t(list)] = texts;
  }
  void SetItemIndex(TControl list, int i) override { index[size_t(list)] = i; }
  int ItemIndex(TControl list) const override { return index[size_t(list)]; }
  void SetItemHints(TControl, const std::vector<std::string>&) override {}
  void SetHint(TControl, std::string_view) override {}
  void SetNumberRange(TControl, const TNumberRange&) override {}
  void SetNumber(TControl field, long double value) override { numbers[size_t(field)] = value; }
  long double Number(TControl field) const override { return numbers[size_t(field)]; }
  void SetText(TControl, std::string_view) override {}
  void SetLines(TControl, const std::vector<std::string>&) override {}
  void SetDesignCaption(std::string_view, std::string_view) override {}
  void SetStatus(std::string_view, TStatusColour) override {}
  void SetEnabled(TControl control, bool on) override { enabled[size_t(control)] = on; }
  std::optional<TControl> FocusedControl() const override { return std::nullopt; }
  void SetFocus(TControl) override {}
  void ShowMessage(std::string_view) override {}
  void RunOnWorker(const std::function<void()>& work) override { std::thread(work).join(); }
  void Close() override {}
  void ShowExchangeLog() override {}
  void ShowMonitor() override {}
  void ShowArchiveRange() override {}

  std::array<std::vector<std::string>, kControlCount> items;
  std::array<int, kControlCount> index{};
  std::array<long double, kControlCount> numbers{};
  std::array<bool, kControlCount> enabled{};
};

class ArchiveRange : public ::testing::Test {
 protected:
  ArchiveRange() {
    folder = NewFolder("archive_range_");
    file = (fs::path(folder) / "range.bin").string();
    TWindowOptions options;
    options.virtual_device = true;
    form = std::make_unique<TFormModel>(view, (fs::path(folder) / "form.ini").string(), options);
    form->FormCreate();
    view.SetItemIndex(TControl::kCBBaud, 2);  // 57600 bit/s: a block in about 25 ms
    range = std::make_unique<TArchiveRangeModel>(*form);
  }
  ~ArchiveRange() override {
    range.reset();
    form.reset();
    fs::remove_all(folder);
  }

  uint64_t Requests() {
    uint64_t n = 0;
    form->VirtualDevice()->Edit([&](sim::TFulDevice& d) { n = d.RequestsAnswered(); });
    return n;
  }
  // The state once `done` says so, read as the window's timer reads it.
  TArchiveRangeState WaitFor(const std::function<bool(const TArchiveRangeState&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    TArchiveRangeState s = range->State();
    while (!done(s) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      s = range->State();
    }
    return s;
  }
  TArchiveRangeState WaitForEnd() {
    return WaitFor([](const TArchiveRangeState& s) { return !s.running; });
  }

  std::string folder;
  std::string file;
  TQuietView view;
  std::unique_ptr<TFormModel> form;
  std::unique_ptr<TArchiveRangeModel> range;
};

TEST_F(ArchiveRange, FieldsOutsideTheArchiveOrNoFileSendNothing) {
  const std::string bad_range = "Номера блоков от 0 до 8191, первый не больше последнего";
  struct TRow {
    const char* first;
    const char* last;
    std::string path;
    std::string said;
  };
  const TRow rows[] = {
      {"0", "8192", file, bad_range}, {"5", "4", file, bad_range},
      {"-1", "4", file, bad_range},   {"", "4", file, bad_range},
      {"1x", "4", file, bad_range},   {" 0 ", "1", "", "Не указан файл"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(std::string(row.first) + ".." + row.last);
    EXPECT_FALSE(range->Start(row.first, row.last, row.path, false));
    const TArchiveRangeState s = range->State();
    EXPECT_FALSE(s.running);
    EXPECT_EQ(s.outcome, row.said);
    EXPECT_FALSE(form->LongWorkRunning());
  }
  EXPECT_EQ(Requests(), 0u);
  EXPECT_FALSE(fs::exists(file + ".part"));
}

TEST_F(ArchiveRange, ADownloadHoldsThePortAndShowsItsProgress) {
  ASSERT_TRUE(range->Start("8187", " 8191", file, false));
  EXPECT_TRUE(form->LongWorkRunning());
  EXPECT_FALSE(view.enabled[size_t(TControl::kButton2)]);
  // A second start, or a test, waits for it.
  EXPECT_FALSE(range->Start("0", "1", file, false));
  const TArchiveRangeState s = WaitForEnd();
  EXPECT_TRUE(s.ok) << s.outcome;
  EXPECT_EQ(s.outcome, "Архив сохранён: " + file);
  EXPECT_EQ(s.done, 5u);
  EXPECT_EQ(s.total, 5u);
  EXPECT_EQ(s.progress.rfind("Блоков 5 из 5, ", 0), 0u) << s.progress;
  EXPECT_TRUE(Slurp(file) == Blocks(8187, 8191));
  EXPECT_FALSE(form->LongWorkRunning());
  EXPECT_FALSE(form->oxaComPort.Opened());
  EXPECT_TRUE(view.enabled[size_t(TControl::kButton2)]);
  // The exchange log shows the port opened, six requests answered, and the port closed.
  const TLogSnapshot log = form->ExchangeLog().Snapshot();
  EXPECT_EQ(log.counters.requests, 6u);
  EXPECT_EQ(log.counters.good_answers, 6u);
  EXPECT_EQ(log.rows.back().kind, TLogRowKind::kPortClosed);

  // Held by other long work: refused, the file left alone.
  ASSERT_TRUE(form->BeginLongWork([this] { form->EndLongWork(); }));
  EXPECT_FALSE(range->Start("0", "1", file, false));
  EXPECT_EQ(range->State().outcome, "Порт занят другой работой");
  EXPECT_FALSE(fs::exists(file + ".part"));
  EXPECT_TRUE(Slurp(file) == Blocks(8187, 8191));
  form->EndLongWork();
}

TEST_F(ArchiveRange, ACancelledDownloadResumesWithTheMissingBlocks) {
  ASSERT_TRUE(range->Start("0", "29", file, false));
  WaitFor([](const TArchiveRangeState& s) { return s.done >= 2; });
  range->Cancel();
  TArchiveRangeState s = WaitForEnd();
  EXPECT_FALSE(s.ok);
  const size_t kept = s.done;
  EXPECT_LT(kept, 30u);
  EXPECT_EQ(s.outcome, "Остановлено, блоков в файле: " + std::to_string(kept) + " из 30");
  EXPECT_TRUE(Slurp(file) == Blocks(0, static_cast<uint16_t>(kept - 1)));

  const uint64_t before = Requests();
  ASSERT_TRUE(range->Start("0", "29", file, true));
  EXPECT_EQ(range->State().done, kept);
  s = WaitForEnd();
  EXPECT_TRUE(s.ok) << s.outcome;
  EXPECT_EQ(Requests() - before, 1 + 30 - kept);
  EXPECT_TRUE(Slurp(file) == Blocks(0, 29));
  // Resumed once more, the whole file is done already, as fulctl says: nothing is sent.
  EXPECT_FALSE(range->Start("0", "29", file, true));
  s = range->State();
  EXPECT_TRUE(s.ok);
  EXPECT_EQ(s.done, 30u);
  EXPECT_EQ(s.outcome, "В файле уже весь диапазон: " + file);
  EXPECT_EQ(Requests() - before, 1 + 30 - kept);

  // The window closing ends a download under way; the whole blocks read stay.
  ASSERT_TRUE(range->Start("100", "199", file, false));
  WaitFor([](const TArchiveRangeState& s) { return s.done >= 1; });
  form->StopLongWork();
  EXPECT_FALSE(range->State().running);
  EXPECT_FALSE(form->oxaComPort.Opened());
  EXPECT_EQ(fs::file_size(file) % 128, 0u);
  EXPECT_LT(fs::file_size(file), 100u * 128u);
}

// The monitor and the archive window borrow the form's port one way, and a port that will not
// open is said by both in the same words: what it is, what the system said, what to do.
TEST(PortLease, APortThatWillNotOpenIsSaidAlikeByTheMonitorAndTheArchive) {
  const std::string folder = NewFolder("port_lease_");
  const std::string absent = (fs::path(folder) / "absent").string();
  std::ofstream(fs::path(folder) / "form.ini") << "[Ports]\nCOM2=" << absent << "\n";
  TQuietView view;
  {
    TFormModel form(view, (fs::path(folder) / "form.ini").string());
    form.FormCreate();
    view.SetItemIndex(TControl::kCBPort, 1);
    TArchiveRangeModel range(form);
    ASSERT_TRUE(range.Start("0", "1", (fs::path(folder) / "range.bin").string(), false));
    TArchiveRangeState archive = range.State();
    for (int i = 0; i < 2000 && archive.running; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      archive = range.State();
    }
    EXPECT_NE(archive.outcome.find(absent), std::string::npos) << archive.outcome;

    TMonitor monitor(form.LeasePort(), form.Language());
    ASSERT_EQ(monitor.Start({.integrators = {0}, .interval_ms = 100}), "");
    EXPECT_FALSE(view.enabled[size_t(TControl::kButton2)]);
    TMonitorSnapshot s = monitor.Snapshot();
    for (int i = 0; i < 2000 && s.reads == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      s = monitor.Snapshot();
    }
    monitor.Stop();
    EXPECT_EQ(s.problem, archive.outcome);
    EXPECT_TRUE(view.enabled[size_t(TControl::kButton2)]);
  }
  fs::remove_all(folder);
}

}  // namespace
}  // namespace oxa
