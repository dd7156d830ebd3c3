// Archive ranges read into a file against the virtual device's model on the scripted port: the
// file's bytes, the record beside it, the requests a resume sends, and what a refusal leaves.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "actions/ArchiveDownload.h"
#include "sim/FulDevice.h"
#include "tests/support/ArchiveFiles.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa {
namespace {

namespace fs = std::filesystem;

using namespace oxa::testing;
using enum TArchiveOutcome;

class ArchiveDownload : public ::testing::Test {
 protected:
  ArchiveDownload() : dev(1) {
    fp.io->SetResponder([this](const std::vector<uint8_t>& request) -> std::optional<TFakeAnswer> {
      ++requests;
      auto answer = dev.Feed(request);
      if (answer.empty()) return std::nullopt;
      return testing::TFakeAnswer{std::move(answer)};
    });
    ful.SetComPort(&fp.port);
    ful.SetNetAddr(1);
    folder = NewFolder("archive_download_");
    file = (fs::path(folder) / "a.bin").string();
  }
  ~ArchiveDownload() override { fs::remove_all(folder); }

  using TFakeAnswer = testing::TFakeAnswer;

  // Prepares and runs `job`; its result.
  TArchiveResult Download(TArchiveJob job, const TArchiveEvents& events = {}) {
    TArchiveDownload download(std::move(job), TLanguage::kEnglish);
    if (!download.Prepare()) return download.Result();
    return download.Run(ful, events);
  }

  testing::TFakePort fp;
  sim::TFulDevice dev;
  ToxaFul0508 ful;
  size_t requests = 0;
  std::string folder;
  std::string file;
};

TEST_F(ArchiveDownload, AWholeRangeIsTheBlocksInOrderAndLeavesNothingBeside) {
  std::vector<size_t> progress;
  const TArchiveResult r =
      Download({.path = file, .first = 8182, .last = 8191},
               {.progress = [&](const TArchiveProgress& p) { progress.push_back(p.done); }});
  EXPECT_EQ(r.outcome, kComplete) << r.text;
  EXPECT_EQ(r.text, "Archive saved: " + file);
  EXPECT_EQ(r.id, "FUL-05.08 virtual device");
  EXPECT_TRUE(Slurp(file) == Blocks(8182, 8191));
  EXPECT_EQ(requests, 11u);  // the identification and ten blocks
  EXPECT_EQ(progress, (std::vector<size_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_FALSE(fs::exists(file + ".part"));
  EXPECT_FALSE(fs::exists(file + ".info"));
}

TEST_F(ArchiveDownload, AResumeReadsOnlyTheMissingBlocks) {
  // Stopped after four blocks: FILE holds them, and its record the device and the range.
  TArchiveResult r = Download(
      {.path = file, .first = 10, .last = 19},
      {.progress = [](const TArchiveProgress&) {}, .stop = [this] { return requests == 5; }});
  EXPECT_EQ(r.outcome, kStopped);
  EXPECT_EQ(r.text, "Stopped, blocks in the file: 4 of 10");
  EXPECT_TRUE(Slurp(file) == Blocks(10, 13));
  EXPECT_EQ(Slurp(file + ".info"), "id=FUL-05.08 virtual device\nfirst=10\nlast=19\n");

  // Taken over from FILE, or from FILE.part when a run ended before it replaced FILE.
  for (const bool from_part : {false, true}) {
    SCOPED_TRACE(from_part ? "from FILE.part" : "from FILE");
    Put(file, Blocks(10, 13));
    if (from_part) {
      Put(file + ".part", Blocks(10, 16));
      Put(file, "an older file");
    }
    Put(file + ".info", "id=FUL-05.08 virtual device\nfirst=10\nlast=19\n");
    requests = 0;
    r = Download({.path = file, .first = 10, .last = 19, .resume = true});
    EXPECT_EQ(r.outcome, kComplete) << r.text;
    EXPECT_EQ(r.resumed_from, from_part ? 7u : 4u);
    EXPECT_EQ(requests, 1 + 10 - r.resumed_from);
    EXPECT_TRUE(Slurp(file) == Blocks(10, 19));
    EXPECT_FALSE(fs::exists(file + ".part"));
    EXPECT_FALSE(fs::exists(file + ".info"));
  }

  // A resume with nothing begun is a new download.
  fs::remove(file);
  r = Download({.path = file, .first = 0, .last = 1, .resume = true});
  EXPECT_EQ(r.outcome, kComplete) << r.text;
  EXPECT_TRUE(Slurp(file) == Blocks(0, 1));
}

TEST_F(ArchiveDownload, AFailedBlockKeepsTheBlocksBeforeItAndAFailedStartNothing) {
  Put(file, "kept");
  Put(file + ".info", "id=x\nfirst=0\nlast=0\n");  // another download's, of this name
  dev.NoAnswerToNext(10);
  TArchiveResult r = Download({.path = file, .first = 0, .last = 4});
  EXPECT_EQ(r.outcome, kExchangeFailed);
  EXPECT_EQ(r.exchange.code, TOxaError::kNoAnswer);
  EXPECT_EQ(r.text, "The identification was not read: " +
                        std::string(ErrorText(TOxaError::kNoAnswer, TLanguage::kEnglish)));
  EXPECT_EQ(Slurp(file), "kept");
  // The earlier record goes with a new download: FILE is no longer what it describes.
  EXPECT_FALSE(fs::exists(file + ".info"));
  EXPECT_FALSE(fs::exists(file + ".part"));

  dev.NoAnswerToNext(0);
  r = Download({.path = file, .first = 0, .last = 4}, {.block = [this](const TArchiveRead& b) {
                 if (b.block == 1) dev.NoAnswerToNext(10);
               }});
  EXPECT_EQ(r.outcome, kExchangeFailed);
  EXPECT_EQ(r.text, "Block 2 was not read: " +
                        std::string(ErrorText(TOxaError::kNoAnswer, TLanguage::kEnglish)));
  EXPECT_TRUE(Slurp(file) == Blocks(0, 1));
  EXPECT_EQ(Slurp(file + ".info"), "id=FUL-05.08 virtual device\nfirst=0\nlast=4\n");
}

// A full disk (here a limit on the size of the files written): FILE.part keeps whole blocks
// only, which a resume continues; a run that wrote no block leaves no record of itself, so
// that a resume never takes an older FILE for the blocks of this range.
TEST_F(ArchiveDownload, AFailedWriteLeavesWholeBlocksAndATrueRecord) {
#if defined(_WIN32)
  GTEST_SKIP() << "the file size limit is POSIX's";
#else
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const auto download_within = [&](rlim_t bytes, TArchiveJob job) {
    rlimit small = old;
    small.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const TArchiveResult r = Download(std::move(job));
    ::setrlimit(RLIMIT_FSIZE, &old);
    return r;
  };
  Put(file, Blocks(100, 101));
  Put(file + ".info", "id=FUL-05.08 virtual device\nfirst=100\nlast=109\n");
  EXPECT_EQ(download_within(100, {.path = file, .first = 0, .last = 9}).outcome, kWriteFailed);
  EXPECT_TRUE(Slurp(file) == Blocks(100, 101));
  EXPECT_FALSE(fs::exists(file + ".info"));
  EXPECT_EQ(Download({.path = file, .first = 0, .last = 9, .resume = true}).outcome, kNoRecord);

  fs::remove(file);
  EXPECT_EQ(download_within(300, {.path = file, .first = 0, .last = 9}).outcome, kWriteFailed);
  EXPECT_TRUE(Slurp(file + ".part") == Blocks(0, 1));
  // A resume that cannot even write them again keeps them, as FILE.
  EXPECT_EQ(download_within(100, {.path = file, .first = 0, .last = 9, .resume = true}).outcome,
            kWriteFailed);
  EXPECT_TRUE(Slurp(file) == Blocks(0, 1));
  const TArchiveResult r = Download({.path = file, .first = 0, .last = 9, .resume = true});
  EXPECT_EQ(r.outcome, kComplete) << r.text;
  EXPECT_EQ(r.resumed_from, 2u);
  EXPECT_TRUE(Slurp(file) == Blocks(0, 9));
#endif
}

TEST_F(ArchiveDownload, RefusalsSendNothingAndChangeNothing) {
  struct TRow {
    const char* what;
    TArchiveJob job;
    std::string file_bytes;  // "" for no FILE
    std::string record;      // "" for no record
    TArchiveOutcome outcome;
    size_t requests;
    std::string text;
  };
  const std::string record = "id=FUL-05.08 virtual device\nfirst=0\nlast=9\n";
  const TRow rows[] = {
      {"reversed",
       {.path = file, .first = 5, .last = 4},
       "",
       "",
       kBadRange,
       0,
       "Block numbers run from 0 to 8191, the first not above the last"},
      {"beyond the archive", {.path = file, .first = 0, .last = 8192}, "", "", kBadRange, 0, ""},
      {"no file", {.path = "", .first = 0, .last = 1}, "", "", kNoPath, 0, "No file named"},
      {"no record",
       {.path = file, .first = 0, .last = 9, .resume = true},
       Blocks(0, 1),
       "",
       kNoRecord,
       0,
       "The file cannot be resumed: there is no record of its start " + file + ".info"},
      {"damaged record",
       {.path = file, .first = 0, .last = 9, .resume = true},
       Blocks(0, 1),
       "id=FUL\nfirst=0\n",
       kBadRecord,
       0,
       ""},
      {"other range",
       {.path = file, .first = 0, .last = 8, .resume = true},
       Blocks(0, 1),
       record,
       kOtherRange,
       0,
       "The file cannot be resumed: it was begun for blocks 0-9"},
      {"part of a block",
       {.path = file, .first = 0, .last = 9, .resume = true},
       Blocks(0, 1) + "x",
       record,
       kNotWholeBlocks,
       0,
       ""},
      {"more than the range",
       {.path = file, .first = 0, .last = 9, .resume = true},
       Blocks(0, 10),
       record,
       kNotWholeBlocks,
       0,
       ""},
      {"another device",
       {.path = file, .first = 0, .last = 9, .resume = true},
       Blocks(0, 1),
       "id=FUL-05.08 \\x5C\\x0Aother\nfirst=0\nlast=9\n",
       kOtherDevice,
       1,
       "The file cannot be resumed: it was begun from another device, FUL-05.08 \\\\x0aother"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove(file);
    fs::remove(file + ".info");
    if (!row.file_bytes.empty()) Put(file, row.file_bytes);
    if (!row.record.empty()) Put(file + ".info", row.record);
    requests = 0;
    const TArchiveResult r = Download(row.job);
    EXPECT_EQ(r.outcome, row.outcome) << r.text;
    if (!row.text.empty()) {
      EXPECT_EQ(r.text, row.text);
    }
    EXPECT_EQ(requests, row.requests);
    EXPECT_EQ(fs::exists(file), !row.file_bytes.empty());
    if (!row.file_bytes.empty()) {
      EXPECT_TRUE(Slurp(file) == row.file_bytes);
    }
    if (!row.record.empty()) {
      EXPECT_EQ(Slurp(file + ".info"), row.record);
    }
    EXPECT_FALSE(fs::exists(file + ".part"));
  }

  // Something other than a regular file where FILE or its companions go.
  for (const std::string& at : {file, file + ".part", file + ".info"}) {
    SCOPED_TRACE(at);
    for (const std::string& old : {file, file + ".part", file + ".info"}) fs::remove(old);
    fs::create_directory(at);
    for (const bool resume : {false, true}) {
      requests = 0;
      const TArchiveResult r = Download({.path = file, .first = 0, .last = 1, .resume = resume});
      EXPECT_EQ(r.outcome, kFileRefused);
      EXPECT_EQ(r.file, at);
      EXPECT_EQ(r.file_error.detail, "a folder");
      EXPECT_EQ(requests, 0u);
      EXPECT_TRUE(fs::is_directory(at));
    }
    fs::remove(at);
  }
}

// Two runs of one file at once would each take the other's blocks for their own, and one would
// replace the file under the other: the second is refused while the first holds the file.
TEST_F(ArchiveDownload, ASecondRunOfAFileIsRefusedWhileTheFirstHoldsIt) {
  TArchiveDownload first({.path = file, .first = 0, .last = 4}, TLanguage::kEnglish);
  ASSERT_TRUE(first.Prepare());
  for (const bool resume : {false, true}) {
    SCOPED_TRACE(resume ? "a resume" : "a new download");
    const TArchiveResult r = Download({.path = file, .first = 0, .last = 4, .resume = resume});
    EXPECT_EQ(r.outcome, kInUse);
#if defined(__linux__)
    // This program holds it: its name, as the system keeps it, and its id.
    std::string name = Slurp("/proc/self/comm");
    name.pop_back();
    EXPECT_EQ(r.text, "The file is being downloaded already: " + file + ", held by " + name +
                          " (PID " + std::to_string(::getpid()) + ")");
#endif
  }
  EXPECT_EQ(requests, 0u);
  EXPECT_TRUE(fs::exists(file + ".part"));  // the first run's, left to it
  EXPECT_EQ(first.Run(ful).outcome, kComplete);
  EXPECT_FALSE(fs::exists(file + ".lock"));

  // Run again on the whole file, a resume has nothing to read and says so.
  requests = 0;
  const TArchiveResult r = Download({.path = file, .first = 0, .last = 4, .resume = true});
  EXPECT_EQ(r.outcome, kAlreadyWhole);
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.text, "The file holds the whole range already: " + file);
  EXPECT_EQ(requests, 0u);
  EXPECT_FALSE(fs::exists(file + ".lock"));
}

TEST(ArchiveRecord, ParsesOnlyWhatItWrites) {
  const TArchiveRecord record{"ID \\ \x01\x7F Дозатор", 7, 8191};
  const std::string text = ArchiveRecordText(record);
  EXPECT_EQ(text, "id=ID \\x5C \\x01\\x7F Дозатор\nfirst=7\nlast=8191\n");
  const auto parsed = ParseArchiveRecord(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->id, record.id);
  EXPECT_EQ(parsed->first, 7);
  EXPECT_EQ(parsed->last, 8191);
  for (const char* bad :
       {"", "id=a\nfirst=1\n", "id=a\nfirst=1\nlast=2", "id=a\\x4\nfirst=1\nlast=2\n",
        "id=a\nfirst=-1\nlast=2\n", "id=a\nfirst=1\nlast=65536\n", "id=a\nid=b\nfirst=1\nlast=2\n",
        "id=a\nfirst=1\nlast=2\nmore\n"}) {
    EXPECT_FALSE(ParseArchiveRecord(bad)) << bad;
  }
}

TEST(ArchiveProgress, RateAndTimeLeft) {
  using std::chrono::seconds;
  EXPECT_EQ(ArchiveProgressText({50, 200, 25, seconds(2)}, TLanguage::kEnglish),
            "Blocks 50 of 200, 12.5 blocks/s, time left 0:12");
  EXPECT_EQ(ArchiveProgressText({1, 8192, 1, seconds(1)}, TLanguage::kRussian),
            "Блоков 1 из 8192, 1.0 блок/с, осталось 2:16:31");
  EXPECT_EQ(ArchiveProgressText({3, 10, 0, seconds(0)}, TLanguage::kEnglish), "Blocks 3 of 10");
}

}  // namespace
}  // namespace oxa
