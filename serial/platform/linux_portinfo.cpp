// Serial devices as Linux describes them in sysfs (/sys/class/tty/<name>/device) and udev's
// /dev/serial/by-id links, and who holds one, from /proc.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "serial/OxaHost.h"
#include "serial/OxaPortInfo.h"

namespace oxa {

namespace fs = std::filesystem;

namespace {

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// The name of the tty a device path stands for, as sysfs knows it: "/dev/ttyUSB0" → "ttyUSB0".
std::string TtyName(const fs::path& device) {
  return device.filename().string();
}

// by-id link name for each device it leads to.
std::map<std::string, std::string> ByIdLinks(const TPortInfoRoots& roots) {
  std::map<std::string, std::string> links;
  std::error_code ec;
  const fs::path dir = fs::path(roots.dev) / "serial" / "by-id";
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path target = fs::weakly_canonical(it->path(), ec);
    if (!ec) links.emplace(target.string(), it->path().string());
  }
  return links;
}

void FillFromSysfs(TPortInfo& info, const TPortInfoRoots& roots) {
  std::error_code ec;
  const fs::path tty = fs::path(roots.sys) / "class" / "tty" / TtyName(info.path);
  const fs::path device = fs::canonical(tty / "device", ec);
  if (ec) return;
  const fs::path sys = fs::canonical(roots.sys, ec);
  if (ec) return;
  // The driver of the nearest device that has one, passing over the kernel's own serial port
  // layer (bus serial-base: "port", "ctrl") to the hardware's driver (serial8250, ftdi_sio).
  for (fs::path dir = device; dir != sys && dir.string().rfind(sys.string(), 0) == 0;
       dir = dir.parent_path()) {
    const fs::path driver = fs::canonical(dir / "driver", ec);
    if (ec || driver.parent_path().parent_path().filename() == "serial-base") continue;
    info.driver = driver.filename().string();
    break;
  }
  // The USB device is the nearest folder above the interface that names a vendor.
  for (fs::path dir = device; dir != sys && dir.string().rfind(sys.string(), 0) == 0;
       dir = dir.parent_path()) {
    if (fs::exists(dir / "idVendor", ec)) {
      info.usb_id = ReadLine(dir / "idVendor") + ":" + ReadLine(dir / "idProduct");
      info.manufacturer = ReadLine(dir / "manufacturer");
      info.product = ReadLine(dir / "product");
      info.serial_number = ReadLine(dir / "serial");
      break;
    }
  }
}

// The UART type sysfs gives a /dev/ttyS*: "0" when no UART is behind it (the kernel makes
// several in any case), "" where sysfs does not say.
std::string UartType(const std::string& name, const TPortInfoRoots& roots) {
  return ReadLine(fs::path(roots.sys) / "class" / "tty" / name / "type");
}

bool HasUart(const std::string& name, const TPortInfoRoots& roots) {
  const std::string type = UartType(name, roots);
  return !type.empty() && type != "0";
}

// True when process `pid` has the file `real_path` open.
bool HasOpen(int pid, const char* real_path) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(fds.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  char target[PATH_MAX];
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string link = fds + "/" + entry->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (std::strcmp(target, real_path) == 0) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

// A process that has `device` open, other than this one where another process has it; 0 when
// none is seen (an ordinary user sees only the open files of their own processes).
int AnyOpener(const std::string& device) {
  char real[PATH_MAX];
  if (::realpath(device.c_str(), real) == nullptr) return 0;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return 0;
  const int self = static_cast<int>(::getpid());
  int found = 0;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long candidate = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || candidate <= 0 || candidate > INT_MAX) continue;
    if (!HasOpen(static_cast<int>(candidate), real)) continue;
    found = static_cast<int>(candidate);
    if (found != self) break;  // another process: the one the user needs to know about
  }
  ::closedir(proc);
  return found;
}

// The program name of process `pid`; false when the process is gone.
bool ProgramName(int pid, std::string& name) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  return static_cast<bool>(std::getline(comm, name));
}

}  // namespace

void FindPortHolder(const std::string& device, int& pid, std::string& name) {
  // The lock names the program that took the port; others may have it open too (a virtual
  // device holds its own pseudo-terminal), and are named only when nobody holds the lock.
  struct stat st {};
  std::string locks;
  int holder = 0;
  if (::stat(device.c_str(), &st) == 0 &&
      ReadSmallFile("/proc/locks", size_t{16} << 20, locks) == TFileState::kReadable) {
    holder = ExclusiveLockHolder(locks, major(st.st_dev), minor(st.st_dev), st.st_ino);
  }
  std::string holder_name;
  if (holder == 0 || !ProgramName(holder, holder_name)) {
    holder = AnyOpener(device);
    if (holder == 0 || !ProgramName(holder, holder_name)) return;
  }
  pid = holder;
  name = std::move(holder_name);
}

TPortInfo DescribePort(const std::string& path, const TPortInfoRoots& roots) {
  TPortInfo info;
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  info.path = ec ? path : real.string();
  info.present = !ec;
  if (!info.present) return info;
  // A /dev/ttyS* node without its UART opens nothing.
  const std::string name = real.filename().string();
  if (name.rfind("ttyS", 0) == 0 && UartType(name, roots) == "0") {
    info.present = false;
    return info;
  }
  const auto links = ByIdLinks(roots);
  if (const auto it = links.find(info.path); it != links.end()) info.by_id = it->second;
  FillFromSysfs(info, roots);
  return info;
}

std::vector<TPortInfo> ListSerialPorts(const TPortInfoRoots& roots) {
  std::map<std::string, TPortInfo> found;
  std::error_code ec;
  for (fs::directory_iterator it(roots.dev, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const bool usb = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
    const bool uart = name.rfind("ttyS", 0) == 0 && HasUart(name, roots);
    if (usb || uart) found.emplace(it->path().string(), TPortInfo{});
  }
  for (const auto& [target, link] : ByIdLinks(roots)) found.emplace(target, TPortInfo{});
  std::vector<TPortInfo> ports;
  for (const auto& entry : found) ports.push_back(DescribePort(entry.first, roots));
  return ports;
}

}  // namespace oxa
