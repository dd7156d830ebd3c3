// What a serial device is, as the system describes it: driver, USB vendor and product,
// product name, serial number and its stable /dev/serial/by-id name. For the port list of the
// window and `fulctl ports`, so that a technician sees which adapter a COM number opens.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace oxa {

struct TPortInfo {
  std::string path;          // the device, e.g. /dev/ttyUSB0 (a link resolved)
  bool present = false;      // false when nothing is there
  std::string by_id;         // /dev/serial/by-id/... name that leads to it, if any
  std::string driver;        // ftdi_sio, cp210x, cdc_acm, serial8250, ...
  std::string usb_id;        // "0403:6001" for a USB adapter
  std::string manufacturer;  // USB strings, where the adapter has them
  std::string product;
  std::string serial_number;
};

// Where the system's descriptions are read from: the device folder and the sysfs root. Tests
// point them at a folder of their own.
struct TPortInfoRoots {
  std::string dev = "/dev";
  std::string sys = "/sys";
};

// The serial devices present: every /dev/ttyUSB* and /dev/ttyACM*, the /dev/ttyS* that have a
// UART behind them, and whatever /dev/serial/by-id names; sorted by path. Empty where the
// system does not describe its devices this way.
std::vector<TPortInfo> ListSerialPorts(const TPortInfoRoots& roots = {});

// What `path` opens (a by-id or other link is followed); `present` false when it is absent.
TPortInfo DescribePort(const std::string& path, const TPortInfoRoots& roots = {});

// One line for people: "ftdi_sio, USB 0403:6001 FTDI FT232R USB UART, serial A50285BI,
// /dev/serial/by-id/usb-FTDI_...". Only what is known; "" when nothing is. The USB strings are
// the adapter's own: their control characters are shown escaped (VisibleText). The fields of
// TPortInfo keep them raw.
std::string PortInfoText(const TPortInfo& info);

// The process that holds `device`, for the reason a busy port gives: the one with an exclusive
// lock on it (the program that took the port, as this library and most serial programs take
// it), else one other than this process that merely has it open, else this process. Its id
// and program name (raw, as the system has it) go to `pid` and `name`; both are left alone
// where the system tells nothing.
void FindPortHolder(const std::string& device, int& pid, std::string& name);

// The id of the process that holds an exclusive lock (flock, or a POSIX or open-file write
// lock) on the file `inode` of the file system `dev_major`:`dev_minor`, from the text of
// Linux's /proc/locks; 0 when none does. A process waiting for a lock ("->") does not hold it;
// a line that is not as the kernel writes it is passed over.
int ExclusiveLockHolder(std::string_view proc_locks, uint32_t dev_major, uint32_t dev_minor,
                        uint64_t inode);

}  // namespace oxa
