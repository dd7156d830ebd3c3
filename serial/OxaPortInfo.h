// What a serial device is, as the system describes it: driver, USB vendor and product,
// product name, serial number and its stable /dev/serial/by-id name. For the port list of the
// window and `fulctl ports`, so that a technician sees which adapter a COM number opens.
#pragma once

#include <string>
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

}  // namespace oxa
