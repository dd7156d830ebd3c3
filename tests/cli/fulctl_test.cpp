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
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "devices/oxaFul0508.h"
#include "serial/OxaComPort.h"
#include "sim/PtyDevice.h"
#include "tests/interop/SlaveProcess.h"
#include "tests/support/EmptySettings.h"
#include "tests/support/LineBus.h"

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
  // `out_path`: the standard output goes to this file instead of being collected.
  explicit TProcess(std::vector<std::string> args, const char* out_path = nullptr) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      const int file = out_path != nullptr ? ::open(out_path, O_WRONLY | O_CLOEXEC) : -1;
      ::dup2(file >= 0 ? file : out[1], 1);
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
  pid_t Pid() const { return pid_; }
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
    // A program that hangs (on a FIFO, say) fails its test instead of holding it.
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
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

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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

// The lines of a trace file, which is removed.
std::vector<std::string> TraceLines(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::filesystem::remove(file);
  return lines;
}

// ---- The bench: a virtual device, a settings file that maps nothing -----------------------

class Fulctl : public ::testing::Test {
 protected:
  Fulctl() {
    EXPECT_TRUE(device.Start()) << device.LastError();
    device.Edit([](sim::TFulDevice& d) {
      d.SetModbusIdentification("FUL-05.08 bench");
      d.Set10xIdentification("FUL-05.08");
      d.SetStamp(9605, 2012, 5, 31);
      d.SetHoldingRegister(2201, 150);
    });
  }
  // fulctl with the device's port and `args`.
  TRunResult Run(std::vector<std::string> args) {
    args.insert(args.begin(),
                {"-p", device.DevicePath(), "--settings", testing::EmptySettingsFile()});
    return TProcess(args).Wait();
  }
  TProcess Start(std::vector<std::string> args) {
    args.insert(args.begin(),
                {"-p", device.DevicePath(), "--settings", testing::EmptySettingsFile()});
    return TProcess(args);
  }

  sim::TPtyDevice device;
};

TEST_F(Fulctl, EachCommandPrintsTheWindowsLines) {
  device.Edit([](sim::TFulDevice& d) {
    d.SetHoldingRegister(100, 0xFFFF);
    d.SetHoldingRegister(101, 0xFFFE);
    d.SetRegisterFloat(102, 1.5f);
    d.SetHoldingRegister(104, 0x0000);  // 1.5 with the low word first
    d.SetHoldingRegister(105, 0x3FC0);
    d.SetRegisterFloat(2140, 1.5f);
  });
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{"id"}, {"OK", "ID = FUL-05.08 bench"}},
      // The window's lines, then each value beside its register.
      {{"regs", "2201", "1"}, {"OK", "=Data=", "00 96 ", "2201: 150 (0x0096)"}},
      {{"regs", "100", "2", "--format", "s16"},
       {"OK", "=Data=", "FF FF FF FE ", "100: -1 (0xFFFF)", "101: -2 (0xFFFE)"}},
      {{"regs", "100", "2", "--format=u32"},
       {"OK", "=Data=", "FF FF FF FE ", "100: 4294967294 (0xFFFF 0xFFFE)"}},
      {{"regs", "100", "2", "--format", "s32-swapped"},
       {"OK", "=Data=", "FF FF FF FE ", "100: -65537 (0xFFFF 0xFFFE)"}},
      {{"regs", "102", "4", "--format", "float"},
       {"OK", "=Data=", "3F C0 00 00 00 00 3F C0 ", "102: 1.5 (0x3FC0 0x0000)",
        "104: 2.286919e-41 (0x0000 0x3FC0)"}},
      {{"regs", "104", "2", "--format", "float-swapped"},
       {"OK", "=Data=", "00 00 3F C0 ", "104: 1.5 (0x0000 0x3FC0)"}},
      {{"dose"}, {"OK", "=Data=", "00 96", "Dose = 15.0 l"}},
      {{"doser", "state"}, {"OK", "=Data=", "00 00", "Doser state: stopped"}},
      // The window's own texts when asked for.
      {{"--lang", "ru", "regs", "2201", "1"}, {"OK", "=Данные=", "00 96 ", "2201: 150 (0x0096)"}},
      {{"doser", "state", "--lang=ru"},
       {"OK", "=Данные=", "00 00", "Состояние дозатора: остановлен"}},
      {{"integrator", "\u04221"}, {"OK", "Raw: 3F C0 00 00 ", "T1 =     1.500000 degC"}},
      {{"integrator", "t1", "--lang", "ru"},
       {"OK", "Raw: 3F C0 00 00 ", "\u04221 =     1.500000 град."}},
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
  device.Edit([](sim::TFulDevice& d) {
    d.SetHoldingRegister(10, 0x1234);
    d.SetHoldingRegister(11, 7);
    d.SetRegisterFloat(2160, 1.0f);
  });
  TJson j = ParseJson(Run({"--json", "regs", "10", "2"}).out);
  EXPECT_EQ(std::get<bool>(j["ok"]), true);
  EXPECT_EQ(std::get<double>(j["error"]), 0);
  EXPECT_EQ(std::get<std::string>(j["error_text"]), "Operation completed successfully");
  EXPECT_EQ(std::get<std::string>(j["request"]), "01 03 00 0A 00 02 E4 09 ");
  EXPECT_EQ(std::get<std::vector<double>>(j["registers"]), (std::vector<double>{0x1234, 7}));

  // Several integrators: a result each, in the order named, every read; the summary counts
  // the reads and the exchanges apart.
  const auto lines = Lines(Run({"integrator", "p1", "Tnar1", "--json", "-n", "2", "-i", "0"}).out);
  ASSERT_EQ(lines.size(), 5u);
  j = ParseJson(lines[0]);
  EXPECT_EQ(std::get<std::string>(j["name"]), "P1");
  EXPECT_EQ(std::get<double>(j["register"]), 2160);
  EXPECT_EQ(std::get<double>(j["value"]), 1.0);
  EXPECT_EQ(std::get<std::string>(j["unit"]), "MPa");
  EXPECT_EQ(std::get<std::string>(j["raw"]), "3F 80 00 00 ");
  for (const size_t i : {1, 3})
    EXPECT_EQ(std::get<std::string>(ParseJson(lines[i])["name"]), "Tnar1");
  j = ParseJson(lines[4]);
  EXPECT_EQ(std::get<double>(j["count"]), 2);
  EXPECT_EQ(std::get<double>(j["exchanges"]), 4);
  EXPECT_EQ(std::get<double>(j["failures"]), 0);
  EXPECT_EQ(std::get<double>(j["late"]), 0);  // no period, nothing late
  // In Russian the texts for people change, and the unit scripts compare does not.
  j = ParseJson(Run({"integrator", "2140", "--json", "--lang", "ru"}).out);
  EXPECT_EQ(std::get<std::string>(j["name"]), "\u04221");
  EXPECT_EQ(std::get<std::string>(j["unit"]), "degC");
  EXPECT_EQ(std::get<std::string>(j["error_text"]), "Операция выполнена успешно");
  j = ParseJson(Run({"doser", "state", "--json", "--lang", "ru"}).out);
  EXPECT_EQ(std::get<double>(j["state"]), 0);
  EXPECT_EQ(std::get<std::string>(j["name"]), "остановлен");

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
  EXPECT_EQ(std::get<std::string>(j["error_text"]), "exception 02 (illegal data address)");
  j = ParseJson(Run({"--json", "--lang", "ru", "regs", "5000", "1"}).out);
  EXPECT_EQ(std::get<std::string>(j["error_text"]), "исключение 02 (недопустимый адрес данных)");
  EXPECT_EQ(std::get<std::string>(j["exception_name"]), "illegal data address");
}

TEST_F(Fulctl, WritesAreReadBackAndTheDoseRoundTrips) {
  TRunResult r = Run({"write", "100", "1", "2", "3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).back(), "Read back: 1 2 3 (match)");
  // The request is the write that changed the device; the read after it has its own field.
  TJson j = ParseJson(Run({"write", "100", "7", "--json"}).out);
  EXPECT_EQ(std::get<std::string>(j["request"]), "01 06 00 64 00 07 89 D7 ");
  EXPECT_EQ(std::get<std::string>(j["readback_request"]), "01 03 00 64 00 01 C5 D5 ");
  r = Run({"dose", "15.5", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  j = ParseJson(r.out);
  EXPECT_EQ(std::get<double>(j["tenths"]), 155);
  EXPECT_EQ(std::get<bool>(j["match"]), true);
  EXPECT_EQ(std::get<std::string>(j["request"]), "01 06 08 99 00 9B 1A 2E ");
  EXPECT_EQ(std::get<std::string>(j["readback_request"]), "01 03 08 99 00 01 56 45 ");

  // The device keeps tenths of a litre: more decimals are rounded to the nearest, and said so.
  struct Dose {
    std::string litres;
    double tenths;
    std::string said;
  };
  const Dose doses[] = {{"1.99", 20, "the dose 1.99 l is rounded to 2.0 l"},
                        {"1.949", 19, "the dose 1.949 l is rounded to 1.9 l"},
                        {"0,15", 2, "the dose 0,15 l is rounded to 0.2 l"},
                        {"6553.5", 65535, ""},
                        {"12.50", 125, ""}};
  for (const Dose& d : doses) {
    r = Run({"--json", "dose", d.litres});
    EXPECT_EQ(r.status, 0) << d.litres << ": " << r.err;
    EXPECT_EQ(std::get<double>(ParseJson(r.out)["written_tenths"]), d.tenths) << d.litres;
    if (d.said.empty()) {
      EXPECT_EQ(r.err, "") << d.litres;
    } else {
      EXPECT_NE(r.err.find(d.said), std::string::npos) << r.err;
    }
  }

  // The doser's reset register takes 1 and keeps 0: the write goes through and reads back
  // different, which is a failure in every form.
  r = Run({"write", "2203", "1"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"Failed", "Written from 2203: 1",
                                                    "Read back: 0 (MISMATCH)"}));
  j = ParseJson(Run({"write", "2203", "1", "--json"}).out);
  EXPECT_EQ(std::get<bool>(j["ok"]), false);
  EXPECT_EQ(std::get<double>(j["error"]), 0);
  EXPECT_EQ(std::get<bool>(j["match"]), false);
}

TEST_F(Fulctl, ExitStatusTellsWhatWentWrong) {
  // No answer: the device keeps silent for the 3 attempts.
  device.Edit([](sim::TFulDevice& d) { d.NoAnswerToNext(3); });
  TRunResult r = Run({"-t", "50", "id"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"Failed", "ErrCode=2"}));
  EXPECT_EQ(r.err,
            "fulctl: no answer from address 1 on " + device.DevicePath() + " at 9600 bit/s\n");
  // With no -p, the port fulctl took is said, and how to name another.
  const std::string settings = testing::EmptySettingsFile() + ".com1.ini";
  std::ofstream(settings) << "[Ports]\nCOM1=" << device.DevicePath() << "\n";
  device.Edit([](sim::TFulDevice& d) { d.NoAnswerToNext(3); });
  r = TProcess({"--settings", settings, "-t", "50", "id"}).Wait();
  std::filesystem::remove(settings);
  EXPECT_EQ(r.err, "fulctl: no answer from address 1 on COM1 at 9600 bit/s\nfulctl: COM1 is " +
                       device.DevicePath() + ", as [Ports] in " + settings +
                       " maps it; name another port with -p (fulctl ports lists them)\n");
  for (const auto& [language, text] :
       {std::pair{"en", "no answer from address 1"}, std::pair{"ru", "нет ответа от адреса 1"}}) {
    device.Edit([](sim::TFulDevice& d) { d.NoAnswerToNext(3); });
    TJson j = ParseJson(Run({"-t", "50", "--json", "--lang", language, "id"}).out);
    EXPECT_EQ(std::get<double>(j["error"]), 2);
    EXPECT_EQ(std::get<std::string>(j["error_text"]), text);
  }

  // A busy port names its holder.
  ToxaComPort holder;
  holder.SetDeviceMap({{1, device.DevicePath()}});
  ASSERT_TRUE(holder.Open());
  r = Run({"id"});
  EXPECT_EQ(r.status, 5);
  EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
  holder.Close();

  // A path that is no serial device is named once, with the system's reason.
  r = Run({"-p", "/tmp", "id"});
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, "fulctl: cannot open /tmp: Is a directory\n");

  // Output that could not be written whole fails the run, though the exchange went well: the
  // standard output, and a trace (a file that fails while written is the files' own test).
  r = TProcess({"-p", device.DevicePath(), "--settings", testing::EmptySettingsFile(), "id"},
               "/dev/full")
          .Wait();
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "fulctl: cannot write the standard output: No space left on device\n");
  r = TProcess({"--help"}, "/dev/full").Wait();
  EXPECT_EQ(r.status, 7);
  r = Run({"--trace=/dev/full", "id"});
  EXPECT_EQ(r.status, 7);
  EXPECT_NE(r.err.find("cannot write the trace to /dev/full: it is a character device, not a "
                       "regular file"),
            std::string::npos)
      << r.err;

  // Bad usage: one line saying what was wrong, once and in the words typed, then the usage.
  // Nothing goes out on the line.
  struct Usage {
    std::vector<std::string> args;
    std::string said;
  };
  const Usage usages[] = {
      {{"frobnicate"}, "unknown command 'frobnicate'\n"},
      // A command a letter or two away is suggested, as git does.
      {{"reg", "0", "1"}, "unknown command 'reg'; did you mean 'regs'?"},
      {{"dosr"}, "unknown command 'dosr'; did you mean 'dose' or 'doser'?"},
      {{"intgeratro", "V1"}, "unknown command 'intgeratro'; did you mean 'integrator'?"},
      {{"regs", "10"}, "regs needs START and COUNT"},
      {{"regs", "0", "10", "extra"}, "'extra' is one argument too many: regs takes START COUNT"},
      {{"id", "a", "b"}, "'a' 'b' are 2 arguments too many: id takes no arguments"},
      {{"regs", "x", "1"}, "START 'x' is not a register number from 0 to 65535"},
      {{"regs", "-5", "10"}, "START '-5' is not a register number from 0 to 65535"},
      {{"regs", "65535", "2"}, "regs 65535 2 would read past register 65535, the last"},
      {{"regs", "0", "3", "--format", "u32"},
       "--format u32 takes two registers a value: COUNT '3' must be even"},
      {{"--format", "double", "regs", "0", "2"},
       "'double' is not a format: u16, s16, u32, s32, float, u32-swapped, s32-swapped or "
       "float-swapped (--format)"},
      {{"-a", "300", "id"}, "'300' is not an address from 0 to 247, or a list"},
      {{"-a", "1,,3", "regs", "0", "1"}, "'1,,3' is not an address from 0 to 247, or a list"},
      {{"-a", "1,2", "write", "1", "1"}, "-a with several addresses goes only with the reads"},
      {{"-a", "0,1", "id"}, "-a: address 0 reaches every device and none answers it"},
      {{"-a", "200", "stamp"}, "-a: the 10x protocol's addresses are 0 to 127, not 200"},
      {{"write-coil", "5", "maybe"}, "'maybe' is not a coil state: on or off (1 or 0)"},
      {{"write", "1", "70000", "--format", "s16"},
       "VALUE '70000' is not a number from -32768 to 32767 (--format s16)"},
      {{"write", "1", "1e39", "--format", "float"}, "VALUE '1e39' is not a number a float holds"},
      {{"write", "1", "3.25"}, "VALUE '3.25' is not a number from 0 to 65535"},
      {{"coils", "0", "2001"}, "COUNT '2001' is not a number of coils from 1 to 2000"},
      {{"--lang", "de", "id"}, "'de' is not a language: en or ru (--lang)"},
      {{"--line", "8Q1", "id"},
       "'8Q1' is not a line format such as 8N1, 8E1, 7E1, 8N2 or 8O1 (--line)"},
      {{"integrator", "Q9"}, "unknown integrator 'Q9'"},
      {{"integrator", "V1", "Q9", "P1"}, "unknown integrator 'Q9'"},
      {{"integrator", "V1", "2000"}, "'V1' and '2000' name the same integrator"},
      {{"integrator", "V1", "all"}, "integrator all reads every integrator: name no others"},
      {{"-i", "-1", "regs", "0", "1"},
       "'-1' is not a period in ms from 0 to 86400000 (--interval)"},
      {{"--bogus", "id"}, "unknown option '--bogus'"},
      {{"dose", "1e1"}, "LITRES '1e1' is not a dose from 0 to 6553.5"},
      {{"dose", "6553.55"}, "LITRES '6553.55' is not a dose from 0 to 6553.5"},
      // Options that would be ignored are refused.
      {{"-o", "x.bin", "regs", "0", "1"}, "-o x.bin goes only with archive, not with regs"},
      {{"--resume", "regs", "0", "1"}, "--resume goes only with archive, not with regs"},
      {{"archive", "0", "9", "--resume"}, "--resume continues a file: it needs FIRST, LAST and -o"},
      {{"archive", "0", "-o", "x.bin", "--resume"}, "--resume continues a file: it needs FIRST"},
      {{"id", "--protocol=10x"}, "--protocol=10x goes only with scan, not with id"},
      {{"-n", "3", "write", "100", "1"}, "-n 3 goes only with the reads"},
      {{"--csv", "id"}, "--csv goes only with regs, integrator and doser state, not with id"},
      {{"--csv", "dose"}, "--csv goes only with regs, integrator and doser state, not with dose"},
      {{"--csv", "--json", "regs", "0", "1"},
       "--csv and --json are two forms of the output: give one"},
      {{"--format", "s16", "id"},
       "--format s16 goes only with regs, inputs, write and read-write, not with id"},
      {{"-p", "tcp://127.0.0.1", "id"}, "-p tcp://127.0.0.1: tcp:// needs a port: tcp://host:port"},
      {{"-p", "modbus-tcp://", "id"},
       "-p modbus-tcp://: modbus-tcp:// needs a host: modbus-tcp://host[:port]"},
      {{"-p", "modbus-tcp://gw:65536", "id"},
       "-p modbus-tcp://gw:65536: TCP port '65536' is not a number from 1 to 65535"},
      // A settings file named on purpose must be one.
      {{"--settings", "/nonexistent.ini", "id"}, "--settings /nonexistent.ini: no such file"},
      {{"--settings", "/tmp", "id"}, "--settings /tmp: not a regular file"},
  };
  for (const Usage& u : usages) {
    r = Run(u.args);
    EXPECT_EQ(r.status, 2) << u.said;
    const auto lines = Lines(r.err);
    ASSERT_GE(lines.size(), 2u) << u.said;
    EXPECT_EQ(r.err.rfind("fulctl: " + u.said, 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("Usage: fulctl", 0), 0u) << lines[1];
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(Fulctl, ADevicesTextReachesTheTerminalWithItsControlCharactersEscaped) {
  // An identification that would set the terminal's title and clear its screen.
  device.Edit([](sim::TFulDevice& d) { d.SetModbusIdentification("FUL\x1b]0;x\x1b\\\x1b[2J"); });
  TRunResult r = Run({"id"});
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"OK", "ID = FUL\\x1b]0;x\\x1b\\\\x1b[2J"}));
  r = Run({"--json", "id"});
  EXPECT_NE(r.out.find("\"id\":\"FUL\\u001B]0;x\\u001B\\\\\\u001B[2J\""), std::string::npos)
      << r.out;
}

TEST_F(Fulctl, AWriteToAddressZeroGoesToEveryDeviceOnlyWithBroadcast) {
  // Without --broadcast nothing goes out, and the user is told what address 0 means.
  for (const auto& [args, what] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-a", "0", "write", "2201", "77"}, "this write"},
           {{"-a", "0", "doser", "start"}, "this doser command"},
           {{"-a0", "dose", "1"}, "this dose"}}) {
    const TRunResult r = Run(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("address 0 is the broadcast address: every device on the line would "
                         "take " +
                         what + " and none would answer"),
              std::string::npos)
        << r.err;
  }
  // --broadcast goes with address 0 and with writes only.
  EXPECT_NE(Run({"--broadcast", "write", "2201", "77"}).err.find("it goes with -a 0"),
            std::string::npos);
  EXPECT_NE(Run({"-a", "0", "--broadcast", "regs", "0", "1"}).err.find("--broadcast goes only"),
            std::string::npos);
  int dose = 0;
  int state = 0;
  device.Edit([&](sim::TFulDevice& d) { dose = d.HoldingRegister(2201); });
  EXPECT_EQ(dose, 150);

  // With it the request goes out once, no answer is awaited, and the outcome says so.
  const std::string trace = std::filesystem::temp_directory_path() / "fulctl_broadcast.txt";
  TRunResult r = Run({"-a", "0", "--broadcast", "--trace=" + trace, "write", "2201", "77"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{"OK", "Sent to every device, no answer expected"}));
  const std::vector<std::string> sent = TraceLines(trace);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].find(" TX 00 06 08 99 00 4D "), std::string::npos) << sent[0];
  r = Run({"-a", "0", "--broadcast", "--json", "doser", "start"});
  EXPECT_EQ(r.status, 0) << r.err;
  TJson j = ParseJson(r.out);
  EXPECT_EQ(std::get<bool>(j["ok"]), true);
  EXPECT_EQ(std::get<bool>(j["broadcast"]), true);
  EXPECT_EQ(std::get<std::string>(j["command"]), "start");
  device.Edit([&](sim::TFulDevice& d) {
    dose = d.HoldingRegister(2201);
    state = d.HoldingRegister(2202);
  });
  EXPECT_EQ(dose, 77);
  EXPECT_EQ(state, 1);
  // Reads at address 0 are as they were: the virtual device answers none.
  EXPECT_EQ(Run({"-a", "0", "-t", "50", "-r", "1", "id"}).status, 1);
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
  sim::TPtyDevice line({.echo = true});
  ASSERT_TRUE(line.Start()) << line.LastError();
  const std::string trace = std::filesystem::temp_directory_path() / "fulctl_echo_trace.txt";
  const TRunResult r =
      TProcess({"-p", line.DevicePath(), "--settings", testing::EmptySettingsFile(), "--echo",
                "--trace=" + trace, "write", "100", "5"})
          .Wait();
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = TraceLines(trace);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines[1].find(" RX 01 06 00 64 00 05 "), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("echo of the request"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("fn 6 write single register, CRC ok"), std::string::npos) << lines[2];
}

TEST(FulctlEcho, ARequestThatDoesNotComeBackIntactIsABadAnswer) {
  // A collision on an echoing line, and a line without echo that the user said echoes: the
  // line garbled the exchange (status 3); the port is fine (not 5).
  sim::TPtyDevice echoing({.echo = true});
  sim::TPtyDevice plain;
  ASSERT_TRUE(echoing.Start()) << echoing.LastError();
  ASSERT_TRUE(plain.Start()) << plain.LastError();
  echoing.AlterEchoOfNext(6);
  for (const sim::TPtyDevice* line : {&echoing, &plain}) {
    const TRunResult r =
        TProcess({"-p", line->DevicePath(), "--settings", testing::EmptySettingsFile(), "--echo",
                  "-t", "50", "regs", "0", "1"})
            .Wait();
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"Failed", "ErrCode=1"}));
    EXPECT_NE(r.err.find("came back altered or not at all"), std::string::npos) << r.err;
    // Scripts get the same outcome, in the same words, not a failed write to the port.
    const TRunResult j =
        TProcess({"-p", line->DevicePath(), "--settings", testing::EmptySettingsFile(), "--echo",
                  "-t", "50", "--json", "id"})
            .Wait();
    EXPECT_EQ(j.status, 3) << j.err;
    EXPECT_EQ(std::get<double>(ParseJson(j.out)["error"]), 1);
    EXPECT_EQ(std::get<std::string>(ParseJson(j.out)["error_text"]), "echo altered or missing");
  }
  // A single-register write on the line without echo: its answer, which repeats the request,
  // is taken for the echo, and then no answer comes (code 2, status 1), as the README says.
  const TRunResult write =
      TProcess({"-p", plain.DevicePath(), "--settings", testing::EmptySettingsFile(), "--echo",
                "-t", "50", "write", "100", "5"})
          .Wait();
  EXPECT_EQ(write.status, 1) << write.err;
  EXPECT_EQ(Lines(write.out), (std::vector<std::string>{"Failed", "ErrCode=2"}));
}

TEST(FulctlTcp, AConnectionTheServerClosedIsSaidSo) {
  sim::TPtyDevice server({.tcp = "127.0.0.1:0"});
  ASSERT_TRUE(server.Start()) << server.LastError();
  server.DropConnectionOnNext(1);
  const TRunResult r =
      TProcess({"-p", server.DevicePath(), "--settings", testing::EmptySettingsFile(), "id"})
          .Wait();
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err,
            "fulctl: the server closed the connection; it is made afresh for the next exchange\n");
}

TEST(FulctlModbusTcp, ReadsRegistersTracesMbapAndRefusesThe10xProtocol) {
  sim::TPtyDevice server({.tcp = "127.0.0.1:0", .modbus_tcp = true});
  ASSERT_TRUE(server.Start()) << server.LastError();
  const std::string trace = std::filesystem::temp_directory_path() / "fulctl_mbap_trace.txt";
  const std::vector<std::string> port = {"-p", server.DevicePath(), "--settings",
                                         testing::EmptySettingsFile()};
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), port.begin(), port.end());
    return TProcess(args).Wait();
  };
  TRunResult r = run({"--trace=" + trace, "regs", "0", "10"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 14u) << r.out;
  std::vector<std::string> lines = TraceLines(trace);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" TX 00 01 00 00 00 06 01 03 00 00 00 0A  Modbus TCP transaction 1 "
                          "addr 1 fn 3 read holding registers, header ok"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" RX 00 01 00 00 00 17 01 03 14 "), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("header ok"), std::string::npos) << lines[1];

  // Nothing of the 10x protocol goes out to a Modbus TCP server.
  r = run({"--trace=" + trace, "stamp"});
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err,
            "fulctl: the 10x protocol is not possible over Modbus TCP: a Modbus TCP server takes "
            "Modbus requests only\n");
  EXPECT_TRUE(TraceLines(trace).empty());
}

TEST_F(Fulctl, RepeatedReadsEndCleanlyOnCtrlCWithASummary) {
  TProcess p = Start({"regs", "0", "1", "-n", "0", "-i", "20"});
  ASSERT_TRUE(p.WaitForLines(3 * 3));  // three results of three lines each
  p.Signal(SIGINT);
  const TRunResult r = p.Wait();
  EXPECT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_FALSE(lines.empty());
  // A read of one exchange each; how many were late depends on the machine.
  std::smatch m;
  const std::regex counts(
      R"(^(\d+) reads \((\d+) exchanges\), 0 failed, \d+ late; time per exchange min)");
  ASSERT_TRUE(std::regex_search(lines.back(), m, counts)) << lines.back();
  EXPECT_GE(std::stoi(m[1]), 3);
  EXPECT_EQ(m[1], m[2]);

  // Reads that found no port are failures, but no exchange: they have no time.
  const TRunResult missing =
      TProcess({"-p", "/nonexistent/tty", "--settings", testing::EmptySettingsFile(), "-n", "2",
                "-i", "0", "--json", "regs", "0", "1"})
          .Wait();
  EXPECT_EQ(missing.status, 5);
  TJson summary = ParseJson(Lines(missing.out).back());
  EXPECT_EQ(std::get<double>(summary["count"]), 2);
  EXPECT_EQ(std::get<double>(summary["exchanges"]), 0);
  EXPECT_EQ(std::get<double>(summary["failures"]), 2);
  EXPECT_EQ(std::get<double>(summary["max_ms"]), 0);
}

// The local time a repeated read's results carry, at the start of a line.
const std::regex kTimeAtStart(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");

// `line` without the time at its start and the space after it.
std::string WithoutTime(const std::string& line) {
  std::smatch m;
  if (!std::regex_search(line, m, kTimeAtStart)) return line;
  return line.substr(m.length() + 1);
}

TEST_F(Fulctl, RepeatedReadsCarryTheirTimeAndCsvHasAHeaderAndARowEach) {
  device.Edit([](sim::TFulDevice& d) {
    d.SetRegisterFloat(2160, 1.5f);
    d.SetRegisterFloat(2162, -0.1f);
  });
  // Text: every line of each result after its time; the summary without.
  TRunResult r = Run({"-n", "2", "-i", "0", "regs", "2201", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 9u) << r.out;
  for (size_t i = 0; i < 8; ++i) EXPECT_TRUE(std::regex_search(lines[i], kTimeAtStart)) << lines[i];
  EXPECT_EQ(lines[0].substr(0, 30), lines[3].substr(0, 30)) << "one time for a result's lines";
  EXPECT_EQ(WithoutTime(lines[7]), "2201: 150 (0x0096)");
  EXPECT_EQ(lines[8].rfind("2 reads (2 exchanges), 0 failed, 0 late", 0), 0u) << lines[8];
  // JSON: a "time" field.
  r = Run({"-n", "1", "--json", "doser", "state"});
  const std::string time = std::get<std::string>(ParseJson(Lines(r.out)[0])["time"]);
  EXPECT_TRUE(std::regex_search(time, kTimeAtStart) && time.size() == 29) << time;

  // CSV: the header, then a row per read with every value; the summary on the standard error.
  struct Case {
    std::vector<std::string> args;
    std::string header;
    std::string values;  // of each row, after the time
    std::string summary;
  };
  const Case cases[] = {
      {{"integrator", "P1"}, "time,\"P1, MPa\",outcome\r", ",1.5,OK\r", "3 reads (3 exchanges)"},
      // Several integrators: a column each, in the order named, in one row a read.
      {{"integrator", "P2", "2160"},
       "time,\"P2, MPa\",\"P1, MPa\",outcome\r",
       ",-0.1,1.5,OK\r",
       "3 reads (6 exchanges)"},
      {{"regs", "2160", "4", "--format", "float"},
       "time,2160,2162,outcome\r",
       ",1.5,-0.1,OK\r",
       "3 reads (3 exchanges)"},
      {{"regs", "2200", "2", "--format", "s16"},
       "time,2200,2201,outcome\r",
       ",0,150,OK\r",
       "3 reads (3 exchanges)"},
      {{"--lang", "ru", "integrator", "2160"},
       "time,\"P1, MPa\",outcome\r",
       ",1.5,OK\r",
       "3 reads (3 exchanges)"},
      {{"doser", "state"}, "time,doser state,outcome\r", ",0,OK\r", "3 reads (3 exchanges)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--csv", "-n", "3", "-i", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], c.header);
    for (size_t i = 1; i < 4; ++i) {
      EXPECT_TRUE(std::regex_search(lines[i], kTimeAtStart)) << lines[i];
      EXPECT_EQ(lines[i].substr(29), c.values);
    }
    EXPECT_NE(r.err.find(c.summary + ", 0 failed, 0 late"), std::string::npos) << r.err;
  }
  // A failed read is a row with its outcome and empty values; its reason on the standard error.
  device.Edit([](sim::TFulDevice& d) { d.NoAnswerToNext(3); });
  r = Run({"--csv", "-t", "50", "integrator", "P1"});
  EXPECT_EQ(r.status, 1);
  lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[1].substr(29), ",,no answer from address 1\r");
  EXPECT_NE(r.err.find("no answer from address 1"), std::string::npos) << r.err;
}

// Runs the shell command `command` as the user nobody when the tests run as root (as this user
// otherwise): what another user plants in a folder that every user may write.
bool AsNobody(const std::string& command) {
  const std::string as =
      ::geteuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
  return std::system((as + command).c_str()) == 0;
}

TEST_F(Fulctl, FilesAreWrittenOnlyWhereARegularFileIsOrNothing) {
  namespace fs = std::filesystem;
  std::string name = (fs::temp_directory_path() / "fulctl_files_XXXXXX").string();
  const fs::path folder = ::mkdtemp(name.data());
  fs::permissions(folder, fs::perms::all);  // shared, without the sticky bit
  const std::string victim = folder / "victim";
  std::ofstream(victim) << "precious";
  const std::string out = folder / "out.bin";
  const std::string trace = folder / "trace.txt";
  struct Case {
    std::string plant;  // a shell command, run as another user, that plants at `at`
    std::string at;
    std::vector<std::string> args;
    std::string said;
  };
  const std::string link = "ln -s " + victim;
  const Case cases[] = {
      {"mkfifo", out, {"archive", "0", "1", "-o", out}, "it is a FIFO, not a regular file"},
      {"mkdir", out, {"archive", "0", "1", "-o", out}, "it is a folder, not a regular file"},
      {link,
       out + ".part",
       {"archive", "0", "1", "-o", out},
       out + ".part is in the way (a symbolic link)"},
      {"mkfifo", out + ".part", {"archive", "0", "1", "-o", out}, "is in the way (a FIFO)"},
      {link,
       out + ".part",
       {"archive", "0", "1", "-o", out, "--resume"},
       out + ".part is in the way (a symbolic link)"},
      {link, out + ".info", {"archive", "0", "1", "-o", out}, "it is a symbolic link"},
      {link,
       out + ".info.part",
       {"archive", "0", "1", "-o", out},
       "cannot write " + out + ": " + out + ".info.part is in the way (a symbolic link)"},
      {link, out + ".lock", {"archive", "0", "1", "-o", out}, out + ".lock is in the way (a sym"},
      // Another user's regular files (only where the tests run as root, who can be another).
      {"touch", out + ".lock", {"archive", "0", "1", "-o", out}, "(a file of another user)"},
      {"touch",
       out + ".part",
       {"archive", "0", "1", "-o", out, "--resume"},
       out + ".part is in the way (a file of another user)"},
      {link, trace, {"--trace=" + trace, "id"}, "it is a symbolic link"},
      {"mkfifo", trace, {"--trace=" + trace, "id"}, "it is a FIFO"},
      // A file another user made for everyone to write, to add lines among ours.
      {"sh -c 'umask 0 && exec touch \"$0\"'",
       trace,
       {"--trace=" + trace, "id"},
       ", to which others could add lines; remove it, or write elsewhere"},
      // A device node, as /dev/null is (made by root only; skipped where it cannot be).
      {"mknod", out + " c 1 3", {"archive", "0", "1", "-o", out}, "it is a character device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plant + " " + c.at);
    if (c.plant == "touch" && ::geteuid() != 0) continue;
    if (!AsNobody(c.plant + " " + c.at)) {
      EXPECT_EQ(c.plant, "mknod") << "could not plant";
      continue;
    }
    const std::string at = c.at.substr(0, c.at.find(' '));
    const fs::file_type planted = fs::symlink_status(at).type();
    uint64_t before = 0;
    device.Edit([&](sim::TFulDevice& d) { before = d.RequestsAnswered(); });
    const TRunResult r = Run(c.args);
    EXPECT_EQ(r.status, 7) << r.err;
    uint64_t after = 0;
    device.Edit([&](sim::TFulDevice& d) { after = d.RequestsAnswered(); });
    EXPECT_EQ(after, before);  // found before anything is sent
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    // What was planted is there as it was, and nothing went through it.
    EXPECT_EQ(fs::symlink_status(at).type(), planted);
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
    for (const std::string& path :
         {out, out + ".part", out + ".info", out + ".info.part", out + ".lock", trace}) {
      fs::remove_all(path);
    }
  }
  fs::remove_all(folder);
}

TEST_F(Fulctl, ScanFindsEachDeviceOnceAndCtrlCEndsItWithItsOwnSummary) {
  // The virtual device answers both protocols: one device.
  TRunResult r = Run({"scan", "--addresses", "1-2", "-t", "50"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{
                "9600 bit/s, address 1, Modbus: ID = FUL-05.08 bench; 10x: ID = FUL-05.08",
                "1 device found"}));
  r = Run({"scan", "--addresses", "1-1", "--json"});
  ASSERT_EQ(Lines(r.out).size(), 1u) << r.out;
  TJson j = ParseJson(r.out);
  EXPECT_EQ(std::get<std::string>(j["protocol"]), "both");
  EXPECT_EQ(std::get<std::string>(j["id"]), "FUL-05.08 bench");
  EXPECT_EQ(std::get<bool>(j["ok_10x"]), true);
  EXPECT_EQ(std::get<std::string>(j["id_10x"]), "FUL-05.08");

  // Modbus addresses run to 247; the 10x protocol, which addresses up to 127, asks none there.
  sim::TPtyDevice highest({.address = 247});
  ASSERT_TRUE(highest.Start()) << highest.LastError();
  r = TProcess({"-p", highest.DevicePath(), "--settings", testing::EmptySettingsFile(), "scan",
                "--addresses", "240-247", "-t", "20"})
          .Wait();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).front().rfind("9600 bit/s, address 247, Modbus: ID = ", 0), 0u) << r.out;
  r = Run({"scan", "--protocol", "10x", "--addresses", "200-247"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("the 10x protocol addresses 0 to 127 only"), std::string::npos) << r.err;

  // Ctrl+C in the Modbus pass: status 8, the device found shown, and in JSON a summary that
  // says so.
  TProcess p = Start({"scan", "--json", "-t", "50"});
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // past address 1
  p.Signal(SIGINT);
  r = p.Wait();
  EXPECT_EQ(r.status, 8) << r.err;
  ASSERT_EQ(Lines(r.out).size(), 2u) << r.out;
  EXPECT_EQ(std::get<std::string>(ParseJson(Lines(r.out).front())["protocol"]), "modbus");
  j = ParseJson(Lines(r.out).back());
  EXPECT_EQ(std::get<bool>(j["summary"]), true);
  EXPECT_EQ(std::get<bool>(j["interrupted"]), true);
  EXPECT_EQ(std::get<double>(j["devices"]), 1);
  EXPECT_NE(r.err.find("interrupted after"), std::string::npos) << r.err;
}

TEST(FulctlReplug, PollingGoesOnAfterTheAdapterComesBack) {
  // The adapter is reached through a stable link, as /dev/serial/by-id names one; it is pulled
  // and plugged in again while fulctl polls.
  const std::string link = std::filesystem::temp_directory_path() / "fulctl_replug_link";
  sim::TPtyDevice adapter({.link = link});
  ASSERT_TRUE(adapter.Start()) << adapter.LastError();
  TProcess p({"-p", link, "--settings", testing::EmptySettingsFile(), "-t", "50", "-i", "50", "-n",
              "0", "regs", "0", "1"});
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
  EXPECT_EQ(WithoutTime(lines.front()), "OK");
  EXPECT_EQ(WithoutTime(lines[lines.size() - 5]), "OK") << r.out;
  EXPECT_EQ(lines.back().find(" 0 failed"), std::string::npos) << lines.back();
  EXPECT_NE(r.err.find(link + " is not there"), std::string::npos) << r.err;
  EXPECT_NE(r.status, 0);
}

TEST(FulctlArchive, AnInterruptedRunKeepsTheWholeBlocksWritten) {
  sim::TPtyDevice paced({.address = 1, .baud = 9600});  // a block takes about 140 ms
  ASSERT_TRUE(paced.Start()) << paced.LastError();
  const std::string file = std::filesystem::temp_directory_path() / "fulctl_archive_test.bin";
  TProcess p({"-p", paced.DevicePath(), "--settings", testing::EmptySettingsFile(), "--json",
              "archive", "0", "99", "-o", file});
  ASSERT_TRUE(p.WaitForLines(2));  // one JSON line per block written
  // A second run of the same file meanwhile is refused, told which program holds it.
  const TRunResult second =
      TProcess({"-p", paced.DevicePath(), "--settings", testing::EmptySettingsFile(), "archive",
                "0", "99", "-o", file, "--resume"})
          .Wait();
  EXPECT_EQ(second.status, 7) << second.err;
  EXPECT_EQ(second.err, "fulctl: the file is being downloaded already: " + file +
                            ", held by fulctl (PID " + std::to_string(p.Pid()) + ")\n");
  p.Signal(SIGINT);
  const TRunResult r = p.Wait();
  EXPECT_EQ(r.status, 8) << r.err;  // interrupted before the last block
  EXPECT_FALSE(std::filesystem::exists(file + ".part"));
  EXPECT_FALSE(std::filesystem::exists(file + ".lock"));
  const auto size = std::filesystem::file_size(file);
  EXPECT_GT(size, 0u);
  EXPECT_LT(size, 100u * 128u);
  EXPECT_EQ(size % 128, 0u);
  std::ifstream in(file, std::ios::binary);
  for (uint16_t block = 0; block < size / 128; ++block) {
    std::array<char, 128> bytes{};
    in.read(bytes.data(), bytes.size());
    const auto expected = sim::TFulDevice::ArchiveBlock(block);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin(),
                           [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }))
        << "block " << block;
  }
  EXPECT_NE(r.err.find("interrupted after"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" blocks; --resume continues it\n"), std::string::npos) << r.err;
  in.close();
  // The record beside it names the device and the range, for a resume.
  EXPECT_EQ(Slurp(file + ".info"), "id=FUL-05.08 virtual device\nfirst=0\nlast=99\n");

  // A run that reads blocks replaces the file, which keeps its mode.
  ::chmod(file.c_str(), 0600);
  const TRunResult two = TProcess({"-p", paced.DevicePath(), "--settings",
                                   testing::EmptySettingsFile(), "archive", "0", "1", "-o", file})
                             .Wait();
  EXPECT_EQ(two.status, 0) << two.err;
  EXPECT_EQ(std::filesystem::file_size(file), 256u);
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600));
  EXPECT_FALSE(std::filesystem::exists(file + ".info"));  // nothing left to resume

  // Without -o the blocks are printed under their numbers.
  const auto printed = Lines(TProcess({"-p", paced.DevicePath(), "--settings",
                                       testing::EmptySettingsFile(), "archive", "4", "5"})
                                 .Wait()
                                 .out);
  ASSERT_EQ(printed.size(), 24u);
  EXPECT_EQ(printed[0], "Block 4");
  EXPECT_EQ(printed[1], "OK");
  EXPECT_EQ(printed[12], "Block 5");

  // A run that reads no block leaves the file as it was.
  std::ofstream(file) << "kept";
  paced.Edit([](sim::TFulDevice& d) { d.NoAnswerToNext(3); });
  const TRunResult silent =
      TProcess({"-p", paced.DevicePath(), "--settings", testing::EmptySettingsFile(), "-t", "50",
                "archive", "0", "1", "-o", file})
          .Wait();
  EXPECT_EQ(silent.status, 1) << silent.err;
  EXPECT_EQ(std::filesystem::file_size(file), 4u);
  EXPECT_FALSE(std::filesystem::exists(file + ".part"));
  std::filesystem::remove(file);
}

TEST(FulctlLate, ADeviceSlowerThanTheTimeOutNeverHasItsAnswerTakenForAnother) {
  // Each answer comes 70 ms after its request; an attempt waits about 50 ms (-t 30), so every
  // read is answered during its second attempt (or, on a loaded machine, a later one of its
  // eight), and that attempt's answer is still on its way (about 0.3 s a read, listened out with
  // fulctl's byte time-out of 200 ms).
  sim::TPtyDevice late({.answer_delay_ms = 70});
  ASSERT_TRUE(late.Start()) << late.LastError();
  // Integrators far apart: a value taken from another integrator's answer is off by a thousand
  // and more; the volumes grow a little while the device runs.
  late.Edit([](sim::TFulDevice& d) {
    for (size_t i = 0; i < ToxaFul0508::kIntegratorCount; ++i) {
      if (ToxaFul0508::IsLongIntegrator(i)) {
        d.SetRegisterU32(ToxaFul0508::kIntegratorRegs[i], static_cast<uint32_t>(100000 * (i + 1)));
      } else {
        d.SetRegisterFloat(ToxaFul0508::kIntegratorRegs[i], static_cast<float>(1000 * (i + 1)));
      }
    }
  });
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", late.DevicePath(), "--settings", testing::EmptySettingsFile(),
                               "-t", "30", "-r", "8"});
    return TProcess(args).Wait();
  };
  // Polled values, as a CSV row: each of the 32 its own.
  TRunResult r = run({"--csv", "-n", "1", "integrator", "all"});
  EXPECT_EQ(r.status, 0) << r.err;
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  std::vector<std::string> cells;
  std::stringstream row(lines[1].substr(30));
  for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
  ASSERT_EQ(cells.size(), ToxaFul0508::kIntegratorCount + 1) << lines[1];
  for (size_t i = 0; i < ToxaFul0508::kIntegratorCount; ++i) {
    double own = ToxaFul0508::IsLongIntegrator(i) ? 100000.0 * (i + 1) : 1000.0 * (i + 1);
    if (i == 4) own = 1000.0 - 2000.0;  // Vd, which the device keeps as V1 - V2
    ASSERT_FALSE(cells[i].empty()) << "integrator " << i << ": " << lines[1];
    EXPECT_NEAR(std::stod(cells[i]), own, 400) << "integrator " << i;
  }
  // Successive runs: the first one's late answer is listened out before it closes the port.
  for (const char* name : {"V1", "V2", "V1"}) {
    r = run({"--json", "integrator", name});
    EXPECT_EQ(r.status, 0) << r.err;
    const double value = std::get<double>(ParseJson(Lines(r.out).at(0))["value"]);
    EXPECT_NEAR(value, name == std::string("V1") ? 1000 : 2000, 400) << name;
  }
  // An archive range: the identification, then each block where it belongs.
  const std::string file = std::filesystem::temp_directory_path() / "fulctl_late_test.bin";
  std::filesystem::remove(file);
  r = run({"archive", "0", "4", "-o", file});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string expected;
  for (uint16_t block = 0; block <= 4; ++block) {
    const auto bytes = sim::TFulDevice::ArchiveBlock(block);
    expected.append(bytes.begin(), bytes.end());
  }
  EXPECT_TRUE(Slurp(file) == expected);
  std::filesystem::remove(file);
}

TEST_F(Fulctl, ResumeReadsOnlyTheMissingBlocksOfTheSameDeviceAndRange) {
  const std::string file = std::filesystem::temp_directory_path() / "fulctl_resume_test.bin";
  std::string three;  // blocks 0 to 2, as an interrupted run left them
  for (uint16_t block = 0; block < 3; ++block) {
    const auto bytes = sim::TFulDevice::ArchiveBlock(block);
    three.append(bytes.begin(), bytes.end());
  }
  std::string ten;  // the whole range
  for (uint16_t block = 0; block < 10; ++block) {
    const auto bytes = sim::TFulDevice::ArchiveBlock(block);
    ten.append(bytes.begin(), bytes.end());
  }
  const std::string record = "id=FUL-05.08 bench\nfirst=0\nlast=9\n";
  struct Case {
    std::string what;
    std::string bytes;  // "" for no file
    std::string record;
    std::vector<std::string> args;
    int status;
    uint64_t requests;
    std::string said;                      // on the standard error
    std::optional<std::string> part = {};  // FILE.part, as a run killed early left it
  };
  const std::vector<std::string> resume = {"archive", "0", "9", "-o", file, "--resume"};
  const Case cases[] = {
      {"the same", three, record, resume, 0, 1 + 7, ""},
      // A run killed before its first block leaves an empty FILE.part: nothing to take over.
      {"an empty part beside", three, record, resume, 0, 1 + 7, "", ""},
      {"nothing but an empty part", "", "", resume, 0, 1 + 10, "", ""},
      // A run that ended complete: run again, nothing needs reading.
      {"whole already", ten, "", resume, 0, 0,
       "fulctl: the file holds the whole range already: " + file + "\n"},
      {"whole, an empty part beside", ten, "", resume, 0, 0, "holds the whole range", ""},
      // The recorded identification is shown, its controls of the text's direction escaped.
      {"another device", three, "id=FUL-05.08 \u202Eother\nfirst=0\nlast=9\n", resume, 7, 1,
       "it was begun from another device, FUL-05.08 \\u202eother\n"},
      {"other blocks",
       three,
       record,
       {"archive", "0", "8", "-o", file, "--resume"},
       7,
       0,
       "it was begun for blocks 0-9"},
      {"part of a block", three + "x", record, resume, 7, 0, "not whole blocks of this range"},
      {"no record", three, "", resume, 7, 0,
       "fulctl: the file cannot be resumed: there is no record of its start " + file + ".info"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(file);
    if (!c.bytes.empty()) std::ofstream(file, std::ios::binary) << c.bytes;
    std::filesystem::remove(file + ".info");
    if (!c.record.empty()) std::ofstream(file + ".info") << c.record;
    std::filesystem::remove(file + ".part");
    if (c.part) std::ofstream(file + ".part", std::ios::binary) << *c.part;
    uint64_t before = 0;
    device.Edit([&](sim::TFulDevice& d) { before = d.RequestsAnswered(); });
    const TRunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    uint64_t after = 0;
    device.Edit([&](sim::TFulDevice& d) { after = d.RequestsAnswered(); });
    EXPECT_EQ(after - before, c.requests);
    EXPECT_FALSE(std::filesystem::exists(file + ".part"));
    if (c.status != 0) {
      EXPECT_TRUE(Slurp(file) == c.bytes);
      continue;
    }
    EXPECT_EQ(std::filesystem::file_size(file), 10u * 128u);
    const auto last = sim::TFulDevice::ArchiveBlock(9);
    EXPECT_TRUE(Slurp(file).substr(9 * 128) == std::string(last.begin(), last.end()));
    EXPECT_FALSE(std::filesystem::exists(file + ".info"));
  }

  // Another user's FILE.part, planted in a folder that every user may write, is not taken
  // for this user's: the blocks in FILE and their record stay as they were.
  if (::geteuid() == 0) {
    std::ofstream(file, std::ios::binary) << three;
    std::ofstream(file + ".info") << record;
    ASSERT_TRUE(AsNobody("sh -c 'head -c 2560 /dev/zero > " + file + ".part'"));
    const TRunResult r = Run(resume);
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_NE(r.err.find(file + ".part is in the way (a file of another user)"), std::string::npos)
        << r.err;
    EXPECT_TRUE(Slurp(file) == three);
    EXPECT_EQ(Slurp(file + ".info"), record);
  }
  for (const char* suffix : {"", ".info", ".part"}) std::filesystem::remove(file + suffix);
}

// ---- The standard functions against a peer nobody here wrote ------------------------------

// How the pymodbus server is reached: its mode (a line format whose stop bits it checks, or
// Modbus TCP) and fulctl's options for it.
struct TPymodbusLine {
  const char* name;
  const char* mode;
  std::vector<std::string> options;
};

// A pymodbus server at address 5 (coil and input i on when i % 3 == 0, register i = i + 1000).
class FulctlPymodbus : public ::testing::TestWithParam<TPymodbusLine> {
 protected:
  TRunResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), options.begin(), options.end());
    args.insert(args.begin(),
                {"-p", peer.Device(), "--settings", testing::EmptySettingsFile(), "-t", "200"});
    return TProcess(args).Wait();
  }
  std::vector<std::string> options;
  interop::TSlaveProcess peer{PYMODBUS_PEER, 5, LineMode()};

 private:
  static std::string LineMode() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info != nullptr && info->value_param() != nullptr ? GetParam().mode : "";
  }
};

// Every table read and written as a technician would, over a serial line at 8N1, 8E1 and 8N2 and
// through a Modbus TCP server.
TEST_P(FulctlPymodbus, ReadsAndWritesCoilsInputsAndRegisters) {
  ASSERT_FALSE(peer.Device().empty()) << "the pymodbus peer did not start";
  options = GetParam().options;
  if (std::string(GetParam().mode) == "8N2") {
    // At one stop bit the device hears nothing: --line reaches the port.
    EXPECT_EQ(Run({"-a", "5", "-r", "1", "--line", "8N1", "coils", "0", "1"}).status, 1);
  }
  TRunResult r = Run({"-a", "5", "coils", "0", "5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"OK", "0: 1", "1: 0", "2: 0", "3: 1", "4: 0"}));
  EXPECT_EQ(Lines(Run({"-a", "5", "discretes", "2", "2"}).out),
            (std::vector<std::string>{"OK", "2: 0", "3: 1"}));
  EXPECT_EQ(Lines(Run({"-a", "5", "inputs", "0", "2", "--format", "u32"}).out).back(),
            "0: 65537001 (0x03E8 0x03E9)");

  EXPECT_EQ(Run({"-a", "5", "write-coils", "10", "1", "1", "0", "1"}).status, 0);
  EXPECT_EQ(Run({"-a", "5", "write-coil", "11", "off"}).status, 0);
  r = Run({"-a", "5", "--json", "coils", "10", "4"});
  EXPECT_NE(r.out.find("\"values\":[1,0,0,1]"), std::string::npos) << r.out;

  // Values in their format, read back as written.
  r = Run({"-a", "5", "write", "20", "-1.5", "--format", "float"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(Run({"-a", "5", "regs", "20", "2", "--format", "float"}).out).back(),
            "20: -1.5 (0xBFC0 0x0000)");
  EXPECT_EQ(Run({"-a", "5", "write", "30", "-2", "--format", "s16"}).status, 0);
  r = Run({"-a", "5", "read-write", "30", "1", "31", "7", "--format", "s16"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).back(), "30: -2 (0xFFFE)");
  EXPECT_EQ(Lines(Run({"-a", "5", "regs", "31", "1"}).out).back(), "31: 7 (0x0007)");

  // A refusal is named as for regs.
  r = Run({"-a", "5", "coils", "1000", "2"});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(Lines(r.out).back(), "Exception 02: illegal data address");
}

TEST_P(FulctlPymodbus, DeviceIdentificationGivesEveryObject) {
  ASSERT_FALSE(peer.Device().empty()) << "the pymodbus peer did not start";
  options = GetParam().options;
  const TRunResult r = Run({"-a", "5", "device-id"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{"OK", "VendorName = Pymodbus", "ProductCode = PM",
                                      "MajorMinorRevision = 3.0.0",
                                      "VendorUrl = https://github.com/pymodbus-dev/pymodbus/",
                                      "ProductName = Pymodbus Server"}));
  const std::string json = Run({"-a", "5", "--json", "device-id"}).out;
  EXPECT_NE(json.find("\"vendor\":\"Pymodbus\",\"product_code\":\"PM\",\"revision\":\"3.0.0\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("{\"id\":4,\"name\":\"ProductName\",\"value\":\"Pymodbus Server\""),
            std::string::npos)
      << json;
}

INSTANTIATE_TEST_SUITE_P(Lines, FulctlPymodbus,
                         ::testing::Values(TPymodbusLine{"Rtu8N1", "", {}},
                                           TPymodbusLine{"Rtu8E1", "8E1", {"--line", "8E1"}},
                                           TPymodbusLine{"Rtu8N2", "8N2", {"--line", "8N2"}},
                                           TPymodbusLine{"ModbusTcp", "tcp", {}}),
                         [](const ::testing::TestParamInfo<TPymodbusLine>& info) {
                           return info.param.name;
                         });

TEST_F(FulctlPymodbus, SeveralAddressesGiveOneResultEachWithItsAddress) {
  ASSERT_FALSE(peer.Device().empty()) << "the pymodbus peer did not start";
  TRunResult r = Run({"-a", "5,6", "-r", "1", "coils", "0", "1"});
  EXPECT_EQ(r.status, 1);  // address 6 is silent
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"address 5: OK", "address 5: 0: 1",
                                                    "address 6: Failed", "address 6: ErrCode=2"}));
  EXPECT_NE(r.err.find("no answer from address 6"), std::string::npos) << r.err;

  r = Run({"-a", "6,5", "-r", "1", "--csv", "-n", "2", "-i", "0", "coils", "0", "2"});
  const std::vector<std::string> rows = Lines(r.out);
  ASSERT_EQ(rows.size(), 5u) << r.out;
  EXPECT_EQ(rows[0], "time,address,0,1,outcome\r");
  EXPECT_NE(rows[1].find(",6,,,"), std::string::npos) << rows[1];
  EXPECT_NE(rows[2].find(",5,1,0,OK"), std::string::npos) << rows[2];
  EXPECT_NE(r.err.find("2 reads (4 exchanges), 2 failed"), std::string::npos) << r.err;
}

// One line at 9600 bit/s with the virtual device at address 3 and pymodbus servers at 1 and 4:
// the 10x probes are noise to the standard devices, which must still answer every Modbus
// probe, in every run, the first one of a run included.
TEST(FulctlMixedLine, ScanFindsEveryDeviceEveryTime) {
  interop::TSlaveProcess first{PYMODBUS_PEER, 1};
  interop::TSlaveProcess fourth{PYMODBUS_PEER, 4};
  ASSERT_FALSE(first.Device().empty() || fourth.Device().empty()) << "pymodbus did not start";
  sim::TPtyDevice ful({.address = 3});
  ASSERT_TRUE(ful.Start()) << ful.LastError();
  ful.Edit([](sim::TFulDevice& d) { d.SetModbusIdentification("FUL-05.08 bench"); });
  testing::TLineBus bus(9600);
  for (const std::string& end : {first.Device(), ful.DevicePath(), fourth.Device()}) {
    ASSERT_TRUE(bus.AddDevice(end)) << end;
  }
  ASSERT_TRUE(bus.Start());
  const auto scan = [&](const char* addresses, const char* timeout) {
    return TProcess({"-p", bus.MasterPath(), "--settings", testing::EmptySettingsFile(), "-b",
                     "9600", "-t", timeout, "--addresses", addresses, "scan"})
        .Wait();
  };
  const std::string standard = ": ID = Pymodbus-PM-3.0.0 (run on)";
  for (int run = 0; run < 10; ++run) {
    const TRunResult r = scan("1-4", "100");
    ASSERT_EQ(r.status, 0) << "run " << run << "\n" << r.out << r.err;
    ASSERT_EQ(Lines(r.out), (std::vector<std::string>{
                                "9600 bit/s, address 1, Modbus" + standard,
                                "9600 bit/s, address 3, Modbus: ID = FUL-05.08 bench; 10x: ID = "
                                "FUL-05.08 virtual device",
                                "9600 bit/s, address 4, Modbus" + standard, "3 devices found"}))
        << "run " << run;
  }
  // Wider, with the 10x address 0 and the silent addresses past the devices.
  const TRunResult r = scan("0-16", "50");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).back(), "3 devices found") << r.out;
}

}  // namespace
}  // namespace oxa
