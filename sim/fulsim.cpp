// fulsim: the virtual FUL device on a pseudo-terminal or a TCP socket. Prints what a master
// should open (the device path, tcp://address:port or modbus-tcp://address:port) as its first
// line of output and serves until SIGINT or SIGTERM.
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serial/OxaUtils.h"
#include "sim/PtyDevice.h"
#include "sim/SimConfig.h"

namespace {

constexpr const char* kHelp = R"(Usage: fulsim [options]

Serves a virtual FUL meter with a doser on a pseudo-terminal, or on a TCP socket as a
serial device server passes a line through. It answers Modbus RTU (functions 3, 6, 16,
17 and 65) and the 10x protocol on the same line. The first line printed is what a
master opens: the device path, or tcp://address:port (usable as it is in [Ports]); the
program then serves until SIGINT or SIGTERM.

Options:
  --address N         network address, 0..247 (default 1); at 0 only the 10x protocol
                      is answered (0 is the Modbus broadcast address)
  --baud N            pace answers at the character time of 8N1 at N baud (10 bits a byte),
                      1..4000000; default: answers leave at once
  --delay MS          wait MS milliseconds between a request and its answer (default 0);
                      each answer waits from its own request, also while others wait
  --link PATH         also make PATH a symlink to the device path (removed at exit); an
                      existing PATH is refused unless it is a link whose device has gone
  --tcp HOST:PORT     serve on TCP instead, listening at HOST:PORT (IPv6 as [::1]:PORT),
                      PORT 0..65535; 0 takes a free one, shown in the first line. One
                      master at a time: a new connection replaces the one before, which
                      is closed
  --modbus-tcp HOST:PORT  serve as a Modbus TCP server does, at HOST:PORT as --tcp
                      does: requests and answers carry the MBAP header instead of the
                      CRC, Modbus only; the first line is modbus-tcp://address:port.
                      Faults that damage an answer damage its header
  --echo              return every byte received before the answer, as a two-wire RS-485
                      adapter that hears itself does (map the port with the echo option)
  --config FILE       set contents from an INI file of at most 1 MiB (format below)
  --no-answer N       do not answer the next N requests
  --bad-checksum N    corrupt the CRC (Modbus) or checksum (10x) of the next N answers
  --stop-mid-frame N  send only the first half of the next N answers
  --garbage N         send garbage bytes before the next N answers
  --garbage-bytes HEX the garbage bytes, e.g. "00 13" (the default)
  --wrong-complement N  wrong address complement in the next N 10x answers
  --bad-echo N        with --echo: alter the last byte of the next N requests as they come
                      back, as when another station talks at the same time; the device
                      hears the same damaged frame and does not answer it
  --drop-connection N with --tcp or --modbus-tcp: close the connection instead of
                      answering the next N requests, as a device server that restarts does
  --delay-random P:MIN-MAX  P percent of the answers, chosen at random, wait MIN..MAX ms
                      (at random) instead of --delay: a device that is sometimes late
  --drop-random P     P percent of the requests, chosen at random, get no answer
  --damage-random P   P percent of the answers, chosen at random, have a wrong checksum
  --seed N            seed of the random choices above (default 1): a seed repeats a run
  --help              this text

Exit status:
  0  stopped by SIGINT or SIGTERM
  1  the line could not be opened (a TCP port in use, a link that leads to another device)
  2  usage: an unknown option, a value out of its range, a contents file refused or wrong

Contents:
  Modbus registers: G at 0 and 2, SFR at 107 and 105 (97 in the alternative map),
  Gmax at 299 and 301, device number at 315, version at 318, channel layout at 320,
  coefficients K and Obr at 189..229 (channel 2) and 338..372 (channel 1), the 32
  integrators from 2000 (volumes, masses and times grow while the device runs), the
  doser: 2201 dose in tenths of a litre, 2202 state (0 stopped, 1 running, 2 paused,
  3 error) and command (1 start, 2 pause, 0 stop), 2203 reset (write 1), 2204 volume
  dosed so far in tenths (1 litre a second). Registers 0..399 and 2000..2299 exist;
  others answer exception 02. Archive blocks 0..8191 (function 65) hold 128 fixed
  bytes each.
  10x: identification and version texts, the 2-Kbyte memory (device number at 338,
  stamp record at 1496, calibration block at 1504 with its checksum, signature record
  at 2016), RAM (SFR at 0 and 4, G at 160 and 164), the 128-byte clock area, the
  64-byte security block, commands 0x7777 (factory coefficients) and 0x7778 (factory
  coefficients, signature record erased).

Config file (INI; lines starting with ; or # are comments):
  [modbus]
  identification = FUL-05.08 on the bench
  [registers]
  2201 = 150            ; 16-bit value, decimal or 0x hex
  0 = float:12.5        ; a float in registers 0 and 1, most significant first
  315 = u32:123456      ; an unsigned 32-bit in registers 315 and 316
  [10x]
  identification = FUL-05.08
  soft_version = 1.08
  [memory]
  1496 = DE 2A 00 00 24 03 05 AD   ; hex bytes from address 1496
  338 = u32:123456
  [ram]
  160 = float:12.5
  (Comments go on their own lines.)
)";

bool ParseNumber(std::string_view text, uint32_t max, uint32_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value <= max;
}

// "P:MIN-MAX": a percentage and a range of milliseconds, MIN at most MAX.
bool ParseLate(std::string_view text, oxa::sim::TPtyOptions& options) {
  const size_t colon = text.find(':');
  const size_t dash = text.find('-', colon == std::string_view::npos ? 0 : colon);
  if (colon == std::string_view::npos || dash == std::string_view::npos) return false;
  return ParseNumber(text.substr(0, colon), 100, options.late_percent) &&
         ParseNumber(text.substr(colon + 1, dash - colon - 1), 60'000, options.late_min_ms) &&
         ParseNumber(text.substr(dash + 1), 60'000, options.late_max_ms) &&
         options.late_min_ms <= options.late_max_ms;
}

bool ParseHex(std::string_view text, std::vector<uint8_t>& bytes) {
  bytes.clear();
  while (!text.empty()) {
    if (text.front() == ' ') {
      text.remove_prefix(1);
      continue;
    }
    const size_t n = std::min<size_t>(
        2, text.find(' ') == std::string_view::npos ? text.size() : text.find(' '));
    uint8_t b = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + n, b, 16);
    if (ec != std::errc() || end != text.data() + n) return false;
    bytes.push_back(b);
    text.remove_prefix(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  oxa::sim::TPtyOptions options;
  std::string config;
  uint32_t no_answer = 0, bad_checksum = 0, stop_mid = 0, garbage = 0, wrong_complement = 0;
  uint32_t bad_echo = 0, drop_connection = 0;
  std::vector<uint8_t> garbage_bytes{0x00, 0x13};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--echo") {
      options.echo = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "fulsim: %s needs a value (see --help)\n",
                   oxa::VisibleText(argv[i]).c_str());
      return 2;
    }
    const std::string_view value = argv[++i];
    uint32_t n = 0;
    bool ok = true;
    const char* expected = "";  // what the option takes, for the message when it is refused
    // The faults armed for the next N requests or answers.
    const std::pair<std::string_view, uint32_t*> counts[] = {
        {"--no-answer", &no_answer},
        {"--bad-checksum", &bad_checksum},
        {"--stop-mid-frame", &stop_mid},
        {"--garbage", &garbage},
        {"--wrong-complement", &wrong_complement},
        {"--bad-echo", &bad_echo},
        {"--drop-connection", &drop_connection}};
    const auto count = std::find_if(std::begin(counts), std::end(counts),
                                    [&](const auto& c) { return c.first == arg; });
    if (count != std::end(counts)) {
      expected = "0..1000000";
      ok = ParseNumber(value, 1'000'000, *count->second);
    } else if (arg == "--address") {
      expected = "0..247";
      ok = ParseNumber(value, 247, n);
      options.address = static_cast<uint8_t>(n);
    } else if (arg == "--baud") {
      expected = "1..4000000";
      ok = ParseNumber(value, 4'000'000, n) && n > 0;
      options.baud = n;
    } else if (arg == "--delay") {
      expected = "0..60000 ms";
      ok = ParseNumber(value, 60'000, options.answer_delay_ms);
    } else if (arg == "--link") {
      expected = "a path";
      ok = !value.empty();
      options.link = value;
    } else if (arg == "--tcp" || arg == "--modbus-tcp") {
      std::string host, problem;
      uint16_t port = 0;
      if (!oxa::sim::SplitTcpAddress(std::string(value), host, port, problem)) {
        std::fprintf(stderr, "fulsim: %s: %s\n", argv[i - 1], problem.c_str());
        return 2;
      }
      if (!options.tcp.empty()) {
        std::fprintf(stderr, "fulsim: --tcp and --modbus-tcp name one socket: give one\n");
        return 2;
      }
      options.tcp = value;
      options.modbus_tcp = arg == "--modbus-tcp";
    } else if (arg == "--config") {
      expected = "a file";
      ok = !value.empty();
      config = value;
    } else if (arg == "--garbage-bytes") {
      expected = "hex bytes such as \"00 13\"";
      ok = ParseHex(value, garbage_bytes) && !garbage_bytes.empty();
    } else if (arg == "--delay-random") {
      expected = "P:MIN-MAX, P 0..100 percent, MIN..MAX within 0..60000 ms";
      ok = ParseLate(value, options);
    } else if (arg == "--drop-random") {
      expected = "0..100 percent";
      ok = ParseNumber(value, 100, options.drop_percent);
    } else if (arg == "--damage-random") {
      expected = "0..100 percent";
      ok = ParseNumber(value, 100, options.damage_percent);
    } else if (arg == "--seed") {
      expected = "0..18446744073709551615";
      const auto [end, ec] =
          std::from_chars(value.data(), value.data() + value.size(), options.seed);
      ok = ec == std::errc() && end == value.data() + value.size();
    } else {
      std::fprintf(stderr, "fulsim: unknown option %s (see --help)\n",
                   oxa::VisibleText(argv[i - 1]).c_str());
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "fulsim: bad value for %s: '%s' (expected %s)\n", argv[i - 1],
                   oxa::VisibleText(value).c_str(), expected);
      return 2;
    }
  }

  if (!options.tcp.empty() && !options.link.empty()) {
    std::fprintf(stderr,
                 "fulsim: --link names a pseudo-terminal; it does not go with --tcp or "
                 "--modbus-tcp\n");
    return 2;
  }
  if (bad_echo != 0 && !options.echo) {
    std::fprintf(stderr, "fulsim: --bad-echo alters the echo: it needs --echo\n");
    return 2;
  }
  if (drop_connection != 0 && options.tcp.empty()) {
    std::fprintf(stderr, "fulsim: --drop-connection needs --tcp or --modbus-tcp\n");
    return 2;
  }
  if (options.modbus_tcp && options.echo) {
    std::fprintf(stderr, "fulsim: --echo is of a line; it does not go with --modbus-tcp\n");
    return 2;
  }

  // SIGINT and SIGTERM are taken by sigwait below; the server thread inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  oxa::sim::TPtyDevice device(options);
  std::string error;
  bool loaded = true;
  device.Edit([&](oxa::sim::TFulDevice& d) {
    if (!config.empty()) loaded = oxa::sim::LoadConfigFile(config, d, error);
    d.NoAnswerToNext(static_cast<int>(no_answer));
    d.CorruptChecksumOfNext(static_cast<int>(bad_checksum));
    d.StopMidFrameOnNext(static_cast<int>(stop_mid));
    d.GarbageBeforeNext(static_cast<int>(garbage), garbage_bytes);
    d.WrongComplementOnNext(static_cast<int>(wrong_complement));
  });
  device.AlterEchoOfNext(static_cast<int>(bad_echo));
  device.DropConnectionOnNext(static_cast<int>(drop_connection));
  if (!loaded) {
    std::fprintf(stderr, "fulsim: --config %s: %s\n", oxa::VisibleText(config).c_str(),
                 error.c_str());
    return 2;
  }
  if (!device.Start()) {
    std::fprintf(stderr, "fulsim: %s\n", oxa::VisibleText(device.LastError()).c_str());
    return 1;
  }
  std::printf("%s\n", device.DevicePath().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "fulsim: address %u, %s%s%s%s; stop with Ctrl+C\n", options.address,
               options.baud == 0 ? "unpaced" : (std::to_string(options.baud) + " baud").c_str(),
               options.echo ? ", echo" : "", options.link.empty() ? "" : ", link ",
               options.link.c_str());
  int signal = 0;
  sigwait(&stop_signals, &signal);
  device.Stop();
  return 0;
}
