// fulctl end to end: the program run as a user runs it, against the virtual device on a
// pseudo-terminal, with what it prints, its JSON parsed field by field, and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "serial/OxaComPort.h"
#include "sim/PtyDevice.h"

namespace oxa {
namespace {

// ---- Running the program -----------------------------------------------------------------

struct TRunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

class TProcess {
 public:
  explicit TProcess(std::vector<std::string> args) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      std::vector<char*> argv;
      args.insert(args.begin(), FULCTL);
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(FULCTL, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~TProcess() {
    if (pid_ > 0 && !done_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  // Reads the standard output until it holds `lines` lines (at most 30 s); what it read is
  // kept for Wait. Signals sent after it meet a program that is surely at work.
  bool WaitForLines(size_t lines) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (static_cast<size_t>(std::count(early_out_.begin(), early_out_.end(), '\n')) < lines) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pollfd fd = {out_, POLLIN, 0};
      if (::poll(&fd, 1, 1000) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return false;
      early_out_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // Collects the output until the program ends (at most 30 s).
  TRunResult Wait() {
    TRunResult r;
    r.out = early_out_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (bool out_open = true, err_open = true;
         (out_open || err_open) && std::chrono::steady_clock::now() < deadline;) {
      pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
      if (::poll(fds, 2, 1000) <= 0) continue;
      char buf[4096];
      for (int k = 0; k < 2; ++k) {
        if (!(fds[k].revents & (POLLIN | POLLHUP))) continue;
        const ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
        if (n > 0) {
          (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
        } else {
          (k == 0 ? out_open : err_open) = false;
        }
      }
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    done_ = true;
    ::close(out_);
    ::close(err_);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool done_ = false;
  std::string early_out_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// ---- A flat JSON object, as fulctl writes them -------------------------------------------

using TJsonValue = std::variant<std::nullptr_t, bool, double, std::string, std::vector<double>>;
using TJson = std::map<std::string, TJsonValue>;

class TJsonReader {
 public:
  explicit TJsonReader(const std::string& text) : s_(text) {}
  bool Object(TJson& out) {
    if (!Eat('{')) return false;
    if (Eat('}')) return End();
    do {
      std::string key;
      TJsonValue value;
      if (!String(key) || !Eat(':') || !Value(value)) return false;
      out[key] = value;
    } while (Eat(','));
    return Eat('}') && End();
  }

 private:
  bool End() const { return i_ == s_.size(); }
  bool Eat(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool String(std::string& out) {
    if (!Eat('"')) return false;
    while (i_ < s_.size() && s_[i_] != '"') {
      if (s_[i_] == '\\') {
        ++i_;
        if (i_ >= s_.size()) return false;
        const char c = s_[i_];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
        if (c == 'u') return false;  // not used for the texts checked here
      } else {
        out += s_[i_];
      }
      ++i_;
    }
    return Eat('"');
  }
  bool Number(double& out) {
    const size_t start = i_;
    while (i_ < s_.size() && std::string("+-0123456789.eE").find(s_[i_]) != std::string::npos) {
      ++i_;
    }
    if (i_ == start) return false;
    out = std::strtod(s_.substr(start, i_ - start).c_str(), nullptr);
    return true;
  }
  bool Value(TJsonValue& out) {
    if (s_.compare(i_, 4, "null") == 0) {
      i_ += 4;
      out = nullptr;
    } else if (s_.compare(i_, 4, "true") == 0) {
      i_ += 4;
      out = true;
    } else if (s_.compare(i_, 5, "false") == 0) {
      i_ += 5;
      out = false;
    } else if (i_ < s_.size() && s_[i_] == '"') {
      std::string text;
      if (!String(text)) return false;
      out = text;
    } else if (Eat('[')) {
      std::vector<double> values;
      if (!Eat(']')) {
        do {
          double v = 0;
          if (!Number(v)) return false;
          values.push_back(v);
        } while (Eat(','));
        if (!Eat(']')) return false;
      }
      out = values;
    } else {
      double v = 0;
      if (!Number(v)) return false;
      out = v;
    }
    return true;
  }

  const std::string& s_;
  size_t i_ = 0;
};

TJson ParseJson(std::string line) {
  while (!line.empty() && line.back() == '\n') line.pop_back();
  TJson json;
  EXPECT_TRUE(TJsonReader(line).Object(json)) << "not a JSON object: " << line;
  return json;
}

// ---- The bench: a virtual device, a settings file that maps nothing -----------------------

class Fulctl : public ::testing::Test {
 protected:
  Fulctl() {
    EXPECT_TRUE(device.Start()) << device.LastError();
    device.Edit([](sim::FulDevice& d) {
      d.SetModbusIdentification("FUL-05.08 bench");
      d.Set10xIdentification("FUL-05.08");
      d.SetStamp(9605, 2012, 5, 31);
      d.SetHoldingRegister(2201, 150);
    });
  }
  // fulctl with the device's port and `args`.
  TRunResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", device.DevicePath(), "--settings", "/nonexistent.ini"});
    return TProcess(args).Wait();
  }
  TProcess Start(std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", device.DevicePath(), "--settings", "/nonexistent.ini"});
    return TProcess(args);
  }

  sim::PtyDevice device;
};

TEST_F(Fulctl, EachCommandPrintsTheWindowsLines) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{"id"}, {"OK", "ID = FUL-05.08 bench"}},
      {{"regs", "2201", "1"}, {"OK", "=Данные=", "00 96 "}},
      {{"doser", "state"}, {"OK", "=Данные=", "00 00", "Состояние дозатора: остановлен"}},
      {{"stamp"}, {"9605 2012.05.31"}},
      {{"info"}, {"OK", "ID = FUL-05.08", "Version = 1.08", "Number = 123456"}},
  };
  for (const Case& c : cases) {
    const TRunResult r = Run(c.args);
    EXPECT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
    EXPECT_EQ(Lines(r.out), c.lines) << c.args[0];
  }
}

TEST_F(Fulctl, JsonCarriesTheOutcomeAndTheValues) {
  device.Edit([](sim::FulDevice& d) {
    d.SetHoldingRegister(10, 0x1234);
    d.SetHoldingRegister(11, 7);
    d.SetRegisterFloat(2160, 1.0f);
  });
  TJson j = ParseJson(Run({"--json", "regs", "10", "2"}).out);
  EXPECT_EQ(std::get<bool>(j["ok"]), true);
  EXPECT_EQ(std::get<double>(j["error"]), 0);
  EXPECT_EQ(std::get<std::string>(j["error_text"]), "Операция выполнена успешно");
  EXPECT_EQ(std::get<std::string>(j["request"]), "01 03 00 0A 00 02 E4 09 ");
  EXPECT_EQ(std::get<std::vector<double>>(j["registers"]), (std::vector<double>{0x1234, 7}));

  j = ParseJson(Run({"integrator", "p1", "--json"}).out);
  EXPECT_EQ(std::get<std::string>(j["name"]), "P1");
  EXPECT_EQ(std::get<double>(j["register"]), 2160);
  EXPECT_EQ(std::get<double>(j["value"]), 1.0);
  EXPECT_EQ(std::get<std::string>(j["unit"]), "МПа");
  EXPECT_EQ(std::get<std::string>(j["raw"]), "3F 80 00 00 ");

  j = ParseJson(Run({"--json", "stamp"}).out);
  EXPECT_EQ(std::get<double>(j["number"]), 9605);
  EXPECT_EQ(std::get<std::string>(j["date"]), "2012-05-31");

  // A refusal names the exception.
  const TRunResult refused = Run({"--json", "regs", "5000", "1"});
  EXPECT_EQ(refused.status, 4);
  j = ParseJson(refused.out);
  EXPECT_EQ(std::get<bool>(j["ok"]), false);
  EXPECT_EQ(std::get<double>(j["error"]), 7);
  EXPECT_EQ(std::get<double>(j["exception"]), 2);
  EXPECT_EQ(std::get<std::string>(j["exception_name"]), "illegal data address");
}

TEST_F(Fulctl, WritesAreReadBackAndTheDoseRoundTrips) {
  TRunResult r = Run({"write", "100", "1", "2", "3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).back(), "Read back: 1 2 3 (match)");
  r = Run({"dose", "15.5", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  TJson j = ParseJson(r.out);
  EXPECT_EQ(std::get<double>(j["tenths"]), 155);
  EXPECT_EQ(std::get<bool>(j["match"]), true);

  // The doser's reset register takes 1 and keeps 0: the write goes through and reads back
  // different, which is a failure in every form.
  r = Run({"write", "2203", "1"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{"Failed", "Written from 2203: 1", "Read back: 0 (MISMATCH)"}));
  j = ParseJson(Run({"write", "2203", "1", "--json"}).out);
  EXPECT_EQ(std::get<bool>(j["ok"]), false);
  EXPECT_EQ(std::get<double>(j["error"]), 0);
  EXPECT_EQ(std::get<bool>(j["match"]), false);
}

TEST_F(Fulctl, ExitStatusTellsWhatWentWrong) {
  // No answer: the device keeps silent for the 3 attempts.
  device.Edit([](sim::FulDevice& d) { d.NoAnswerToNext(3); });
  TRunResult r = Run({"-t", "50", "id"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"Failed", "ErrCode=2"}));
  EXPECT_NE(r.err.find("no answer"), std::string::npos);

  // A busy port names its holder.
  ToxaComPort holder;
  holder.SetDeviceMap({{1, device.DevicePath()}});
  ASSERT_TRUE(holder.Open());
  r = Run({"id"});
  EXPECT_EQ(r.status, 5);
  EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
  holder.Close();

  // A trace that could not be written whole fails the run, though the exchange went well.
  r = Run({"--trace=/dev/full", "id"});
  EXPECT_EQ(r.status, 7);
  EXPECT_NE(r.err.find("writing the trace to /dev/full failed"), std::string::npos) << r.err;

  // Bad usage: one line saying what was wrong, then the usage.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"frobnicate"},
                                             {"regs", "10"},
                                             {"regs", "x", "1"},
                                             {"-a", "300", "id"},
                                             {"integrator", "Q9"},
                                             {"--bogus", "id"}}) {
    r = Run(args);
    EXPECT_EQ(r.status, 2) << args[0];
    const auto lines = Lines(r.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("fulctl: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("Usage: fulctl", 0), 0u) << lines[1];
    EXPECT_EQ(r.out, "");
  }
}

std::vector<std::string> TraceLines(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::filesystem::remove(file);
  return lines;
}

TEST_F(Fulctl, TraceShowsRequestAndAnswerInOrderWithRisingTimes) {
  const std::string trace = std::filesystem::temp_directory_path() / "fulctl_trace_test.txt";
  TRunResult r = Run({"regs", "0", "1", "--trace=" + trace});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = TraceLines(trace);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" TX 01 03 00 00 00 01 84 0A "), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("CRC ok"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" RX 01 03 02 "), std::string::npos) << lines[1];
  EXPECT_LT(std::stod(lines[0]), std::stod(lines[1]));

  // A function 6 answer repeats its request byte for byte: it is decoded as the answer, not
  // taken for an echo, on a line that does not echo.
  r = Run({"write", "100", "5", "--trace=" + trace});
  ASSERT_EQ(r.status, 0) << r.err;
  lines = TraceLines(trace);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[1].find(" RX 01 06 00 64 00 05 "), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("fn 6 write single register, CRC ok"), std::string::npos) << lines[1];
}

TEST(FulctlEcho, TheTraceSeparatesTheEchoFromTheAnswer) {
  sim::PtyDevice line({.echo = true});
  ASSERT_TRUE(line.Start()) << line.LastError();
  const std::string trace = std::filesystem::temp_directory_path() / "fulctl_echo_trace.txt";
  const TRunResult r = TProcess({"-p", line.DevicePath(), "--settings", "/nonexistent.ini",
                                 "--echo", "--trace=" + trace, "write", "100", "5"})
                           .Wait();
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = TraceLines(trace);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines[1].find(" RX 01 06 00 64 00 05 "), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("echo of the request"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("fn 6 write single register, CRC ok"), std::string::npos) << lines[2];
}

TEST_F(Fulctl, RepeatedReadsEndCleanlyOnCtrlCWithASummary) {
  TProcess p = Start({"regs", "0", "1", "-n", "0", "-i", "20"});
  ASSERT_TRUE(p.WaitForLines(3 * 3));  // three results of three lines each
  p.Signal(SIGINT);
  const TRunResult r = p.Wait();
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("exchanges, 0 failed; time per exchange min"), std::string::npos)
      << lines.back();
  EXPECT_GE(std::stoi(lines.back()), 3);
}

TEST(FulctlReplug, PollingGoesOnAfterTheAdapterComesBack) {
  // The adapter is reached through a stable link, as /dev/serial/by-id names one; it is pulled
  // and plugged in again while fulctl polls.
  const std::string link = std::filesystem::temp_directory_path() / "fulctl_replug_link";
  sim::PtyDevice adapter({.link = link});
  ASSERT_TRUE(adapter.Start()) << adapter.LastError();
  TProcess p({"-p", link, "--settings", "/nonexistent.ini", "-t", "50", "-i", "50", "-n", "0",
              "regs", "0", "1"});
  ASSERT_TRUE(p.WaitForLines(3));  // the first answer
  adapter.Stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(adapter.Start()) << adapter.LastError();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  p.Signal(SIGINT);
  const TRunResult r = p.Wait();
  const auto lines = Lines(r.out);
  ASSERT_GE(lines.size(), 4u);
  // Answers before and after; failures between, counted in the summary.
  EXPECT_EQ(lines.front(), "OK");
  EXPECT_EQ(lines[lines.size() - 4], "OK") << r.out;
  EXPECT_EQ(lines.back().find(" 0 failed"), std::string::npos) << lines.back();
  EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
  EXPECT_NE(r.status, 0);
}

TEST(FulctlArchive, AnInterruptedRunKeepsTheWholeBlocksWritten) {
  sim::PtyDevice paced({.address = 1, .baud = 9600});  // a block takes about 140 ms
  ASSERT_TRUE(paced.Start()) << paced.LastError();
  const std::string file = std::filesystem::temp_directory_path() / "fulctl_archive_test.bin";
  TProcess p({"-p", paced.DevicePath(), "--settings", "/nonexistent.ini", "--json", "archive",
              "0", "99", "-o", file});
  ASSERT_TRUE(p.WaitForLines(2));  // one JSON line per block written
  p.Signal(SIGINT);
  const TRunResult r = p.Wait();
  EXPECT_EQ(r.status, 8) << r.err;  // interrupted before the last block
  EXPECT_FALSE(std::filesystem::exists(file + ".part"));
  const auto size = std::filesystem::file_size(file);
  EXPECT_GT(size, 0u);
  EXPECT_LT(size, 100u * 128u);
  EXPECT_EQ(size % 128, 0u);
  std::ifstream in(file, std::ios::binary);
  for (uint16_t block = 0; block < size / 128; ++block) {
    std::array<char, 128> bytes{};
    in.read(bytes.data(), bytes.size());
    const auto expected = sim::FulDevice::ArchiveBlock(block);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin(),
                           [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }))
        << "block " << block;
  }
  EXPECT_NE(r.err.find("interrupted after"), std::string::npos) << r.err;
  in.close();

  // A run that reads no block leaves the file as it was.
  std::ofstream(file) << "kept";
  paced.Edit([](sim::FulDevice& d) { d.NoAnswerToNext(3); });
  const TRunResult silent = TProcess({"-p", paced.DevicePath(), "--settings", "/nonexistent.ini",
                                      "-t", "50", "archive", "0", "1", "-o", file})
                                .Wait();
  EXPECT_EQ(silent.status, 1) << silent.err;
  EXPECT_EQ(std::filesystem::file_size(file), 4u);
  EXPECT_FALSE(std::filesystem::exists(file + ".part"));
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace oxa
