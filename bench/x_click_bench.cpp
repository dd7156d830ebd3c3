// The window's click to result as a technician meets it: the window program on its own X
// server (Xvfb), a mouse click on Button3 (10 registers) sent through XTest, and the time until
// the X server has the data pane repainted with the answer (XDamage), against the virtual device
// on a pseudo-terminal at 57600 baud (it takes the request at once and paces its answer).
// Everything between the click and the pixels counts: the X event's way into Qt, the port's
// open and close, the exchange, the repaint and its way back to the server. The figure is set
// against the wire time of the same frames; the in-process app_click_bench measures the
// handler alone.
//
// A click is pressed, left until the window has shown the button down, and released: the click
// is the release, as a hand gives it. Each click comes from an idle window, and the pane's last
// damage before the window has been quiet for a while is the click's result.
//
// The last line reads
//   click to result median X.XX ms p90 Y.YY ms, wire Z.ZZ ms, over the wire W.WW ms
// The exit status is 1 when the run could not be made (no Xvfb, no window, a click without
// result).
//
// Usage: x_click_bench [--runs N] [--quick]
//   --runs N   clicks measured (default 60)
//   --quick    a smoke run: 5 clicks
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "sim/PtyDevice.h"
#include "window/FormDesign.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kBaud = 57600;
// How long the window must stay unpainted before a click counts as idle, or its result as whole.
constexpr auto kQuiet = std::chrono::milliseconds(150);

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// A child process, killed and reaped when this ends.
class TChild {
 public:
  TChild() = default;
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;
  ~TChild() { Stop(); }

  // Starts `args` with `env` as its whole environment, its output thrown away. Descriptors
  // without FD_CLOEXEC stay open in it.
  bool Start(std::vector<std::string> args, std::vector<std::string> env) {
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) pid_ = -1;
    return spawned == 0;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// Starts Xvfb on a free display; its number, read from the descriptor Xvfb writes it to.
std::optional<int> StartXvfb(TChild& xvfb, const std::vector<std::string>& env) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  const bool started = xvfb.Start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                   "1024x768x24", "-nolisten", "tcp"},
                                  env);
  close(fds[1]);
  std::string text;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (started && text.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[32];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (text.find('\n') == std::string::npos) return std::nullopt;
  return std::atoi(text.c_str());
}

struct TRect {
  int x, y, w, h;
  bool Meets(const XRectangle& r) const {
    return r.x < x + w && x < r.x + r.width && r.y < y + h && y < r.y + r.height;
  }
};

TRect FormRectOf(std::string_view name) {
  const oxa::TDesignRect r = oxa::FormRect(*oxa::FindFormControl(name));
  return {r.x, r.y, r.width, r.height};
}

class TXSession {
 public:
  explicit TXSession(Display* display) : display_(display) {
    XDamageQueryExtension(display_, &damage_event_, &damage_error_);
  }

  // Waits for the form's top-level window to be mapped; 0 when it is not within 20 s.
  Window AwaitForm() {
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      if (!Wait(std::chrono::milliseconds(100))) continue;
      XEvent e;
      XNextEvent(display_, &e);
      if (e.type != MapNotify) continue;
      XWindowAttributes a;
      if (XGetWindowAttributes(display_, e.xmap.window, &a) && a.width == oxa::kFormWidth &&
          a.height == oxa::kFormHeight) {
        return e.xmap.window;
      }
    }
    return 0;
  }

  void Watch(Window window) {
    window_ = window;
    XDamageCreate(display_, window, XDamageReportRawRectangles);
    XSync(display_, False);
  }

  // The events until the window has been quiet for kQuiet (at most `bound`); the time of the
  // last damage that meets `area`, if any.
  std::optional<Clock::time_point> AwaitQuiet(const TRect& area, Clock::duration bound) {
    std::optional<Clock::time_point> last;
    Clock::time_point last_any = Clock::now();
    const auto deadline = last_any + bound;
    while (Clock::now() < deadline && Clock::now() - last_any < kQuiet) {
      if (!Wait(kQuiet - (Clock::now() - last_any))) continue;
      while (XPending(display_) > 0) {
        XEvent e;
        XNextEvent(display_, &e);
        if (e.type != damage_event_ + XDamageNotify) continue;
        const auto& d = reinterpret_cast<const XDamageNotifyEvent&>(e);
        last_any = Clock::now();
        if (area.Meets(d.area)) last = last_any;
      }
    }
    return last;
  }

  // A left click at (x, y) of the window, as a hand gives it: the button pressed, the window
  // left to show it pressed, then released. The time of the release, which is the click.
  Clock::time_point Click(int x, int y, const TRect& area) {
    int root_x = 0, root_y = 0;
    Window child;
    XTranslateCoordinates(display_, window_, DefaultRootWindow(display_), x, y, &root_x, &root_y,
                          &child);
    XTestFakeMotionEvent(display_, DefaultScreen(display_), root_x, root_y, CurrentTime);
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XFlush(display_);
    AwaitQuiet(area, std::chrono::seconds(1));
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XFlush(display_);
    return Clock::now();
  }

 private:
  // Whether the connection has input within `timeout`, without spinning.
  bool Wait(Clock::duration timeout) {
    if (XPending(display_) > 0) return true;
    const int ms = std::max<int>(
        1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(timeout).count()));
    pollfd p{ConnectionNumber(display_), POLLIN, 0};
    return poll(&p, 1, ms) > 0 && XPending(display_) > 0;
  }

  Display* display_;
  Window window_ = 0;
  int damage_event_ = 0;
  int damage_error_ = 0;
};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

}  // namespace

int main(int argc, char* argv[]) {
  int runs = 60;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      runs = 5;
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: x_click_bench [--runs N] [--quick]\n");
      return 2;
    }
  }

  std::vector<std::string> env;
  if (const char* path = std::getenv("PATH")) env.push_back(std::string("PATH=") + path);
  TChild xvfb;
  const std::optional<int> display_number = StartXvfb(xvfb, env);
  if (!display_number) {
    std::fprintf(stderr, "x_click_bench: Xvfb did not start\n");
    return 1;
  }
  const std::string display_name = ":" + std::to_string(*display_number);
  Display* display = XOpenDisplay(display_name.c_str());
  int ignored = 0;
  if (display == nullptr || !XTestQueryExtension(display, &ignored, &ignored, &ignored, &ignored) ||
      !XDamageQueryExtension(display, &ignored, &ignored)) {
    std::fprintf(stderr, "x_click_bench: no X server with XTest and DAMAGE at %s\n",
                 display_name.c_str());
    return 1;
  }

  oxa::sim::TPtyOptions options;
  options.baud = kBaud;
  oxa::sim::TPtyDevice device(options);
  if (!device.Start()) {
    std::fprintf(stderr, "x_click_bench: %s\n", device.LastError().c_str());
    return 1;
  }

  // The window keeps its settings beside itself: a copy of it in a folder of this run, with
  // a settings file for 57600 baud, address 1, COM1 leading to the virtual device.
  char folder_template[] = "/tmp/x_click_bench.XXXXXX";
  if (mkdtemp(folder_template) == nullptr) return 1;
  const std::filesystem::path folder = folder_template;
  std::error_code error;
  std::filesystem::copy_file(WINDOW_PROGRAM, folder / "ful03test", error);
  std::ofstream(folder / "ful03test.ini")
      << "[Signature]\nPort=1\nBaud=2\nNetAddr=1\n[Ports]\nCOM1=" << device.DevicePath() << "\n";

  TXSession x(display);
  TChild window;
  env.insert(env.end(), {"DISPLAY=" + display_name, "QT_QPA_PLATFORM=xcb",
                         "HOME=" + folder.string(), "LANG=C.UTF-8"});
  int status = 1;
  if (error || !window.Start({(folder / "ful03test").string()}, env)) {
    std::fprintf(stderr, "x_click_bench: the window did not start\n");
  } else if (const Window form = x.AwaitForm(); form == 0) {
    std::fprintf(stderr, "x_click_bench: the window did not show\n");
  } else {
    x.Watch(form);
    const TRect button = FormRectOf("Button3");
    const TRect pane = FormRectOf("MDebug");
    x.AwaitQuiet(pane, std::chrono::seconds(5));
    std::vector<double> samples;
    for (int i = 0; i < runs; ++i) {
      const auto clicked = x.Click(button.x + button.w / 2, button.y + button.h / 2, pane);
      const auto shown = x.AwaitQuiet(pane, std::chrono::seconds(5));
      if (!shown) {
        std::fprintf(stderr, "x_click_bench: click %d showed nothing in the data pane\n", i + 1);
        samples.clear();
        break;
      }
      samples.push_back(Ms(*shown - clicked));
    }
    if (!samples.empty()) {
      // Button3 at 10 registers: an 8-byte request, a 25-byte answer, 10 bits a byte.
      const double wire = (8 + 25) * 10.0 * 1000.0 / kBaud;
      const double median = Percentile(samples, 0.5);
      std::printf("Button3 (10 registers) at %u baud, %d X clicks against the virtual device\n",
                  kBaud, runs);
      std::printf(
          "click to result median %.2f ms p90 %.2f ms, wire %.2f ms, over the wire %.2f ms"
          "\n",
          median, Percentile(samples, 0.9), wire, median - wire);
      status = 0;
    }
  }
  window.Stop();
  XCloseDisplay(display);
  device.Stop();
  std::filesystem::remove_all(folder, error);
  return status;
}
