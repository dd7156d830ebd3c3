// Descriptions of serial devices read from a device folder and a sysfs tree made by the test,
// laid out as Linux lays them out for a USB adapter and two built-in UART slots.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "serial/OxaPortInfo.h"

namespace oxa {
namespace {

namespace fs = std::filesystem;

class TPortInfoTree : public ::testing::Test {
 protected:
  TPortInfoTree() {
    root = fs::temp_directory_path() / ("oxa_portinfo_" + std::to_string(::getpid()));
    fs::remove_all(root);
    roots.dev = (root / "dev").string();
    roots.sys = (root / "sys").string();
    Touch("dev/ttyUSB0", "");
    Touch("dev/ttyS0", "");
    Touch("dev/ttyS1", "");
    Link("dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0", "../../ttyUSB0");
    const std::string usb = "sys/devices/pci0/usb1/1-1";
    Touch(usb + "/idVendor", "0403\n");
    Touch(usb + "/idProduct", "6001\n");
    Touch(usb + "/manufacturer", "FTDI\n");
    Touch(usb + "/product", "FT232R USB UART\n");
    Touch(usb + "/serial", "A50285BI\n");
    fs::create_directories(root / usb / "1-1:1.0/ttyUSB0");
    fs::create_directories(root / "sys/bus/usb-serial/drivers/ftdi_sio");
    Link(usb + "/1-1:1.0/ttyUSB0/driver", "../../../../../../bus/usb-serial/drivers/ftdi_sio");
    Link("sys/class/tty/ttyUSB0/device", "../../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0");
    Touch("sys/class/tty/ttyS0/type", "4\n");
    Touch("sys/class/tty/ttyS1/type", "0\n");
  }
  ~TPortInfoTree() override { fs::remove_all(root); }

  void Touch(const std::string& name, const std::string& text) {
    fs::create_directories((root / name).parent_path());
    std::ofstream(root / name) << text;
  }
  void Link(const std::string& name, const std::string& target) {
    fs::create_directories((root / name).parent_path());
    fs::create_directory_symlink(target, root / name);
  }
  std::string Dev(const std::string& name) const { return (root / "dev" / name).string(); }

  fs::path root;
  TPortInfoRoots roots;
};

TEST_F(TPortInfoTree, ListsAdaptersAndUartsWithWhatTheSystemKnows) {
  const std::vector<TPortInfo> ports = ListSerialPorts(roots);
  ASSERT_EQ(ports.size(), 2u);  // ttyS1 has no UART behind it
  EXPECT_EQ(ports[0].path, Dev("ttyS0"));
  EXPECT_EQ(PortInfoText(ports[0]), "");
  const TPortInfo& usb = ports[1];
  EXPECT_EQ(usb.path, Dev("ttyUSB0"));
  EXPECT_EQ(usb.driver, "ftdi_sio");
  EXPECT_EQ(PortInfoText(usb), "ftdi_sio, USB 0403:6001 FTDI FT232R USB UART, serial A50285BI, " +
                                   Dev("serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0"));
  // The adapter's own strings are shown, never obeyed by the terminal.
  Touch("sys/devices/pci0/usb1/1-1/product", "FT232R\x1b]0;owned\x07\n");
  const TPortInfo crafted = DescribePort(Dev("ttyUSB0"), roots);
  EXPECT_EQ(crafted.product, "FT232R\x1b]0;owned\x07");
  EXPECT_EQ(PortInfoText(crafted),
            "ftdi_sio, USB 0403:6001 FTDI FT232R\\x1b]0;owned\\x07, serial A50285BI, " +
                Dev("serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0"));
}

TEST_F(TPortInfoTree, DescribesWhatALinkOpensAndSaysWhenNothingIsThere) {
  const TPortInfo linked =
      DescribePort(Dev("serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0"), roots);
  EXPECT_TRUE(linked.present);
  EXPECT_EQ(linked.path, Dev("ttyUSB0"));
  EXPECT_EQ(linked.usb_id, "0403:6001");
  const TPortInfo absent = DescribePort(Dev("ttyUSB7"), roots);
  EXPECT_FALSE(absent.present);
  EXPECT_EQ(absent.path, Dev("ttyUSB7"));
  EXPECT_FALSE(DescribePort(Dev("ttyS1"), roots).present);  // the node is there, the UART not
  EXPECT_TRUE(DescribePort(Dev("ttyS0"), roots).present);
}

// /proc/locks names who holds a lock on which file; the text is the kernel's, but read as
// hostile all the same.
TEST(PortHolder, TheExclusiveLockOnTheFileNamesItsHolder) {
  const std::pair<std::string_view, int> rows[] = {
      {"1: FLOCK  ADVISORY  WRITE 4242 00:1a:7 0 EOF\n", 4242},
      {"1: POSIX  ADVISORY  READ  11 00:1a:7 0 EOF\n2: OFDLCK ADVISORY  WRITE 12 00:1a:7 0 EOF",
       12},
      // A waiter, a shared lock, a lease, a process not seen from here, another file.
      {"1: FLOCK  ADVISORY  WRITE 1 00:1a:7 0 EOF\n1: -> FLOCK  ADVISORY  WRITE 2 00:1a:7 0 EOF",
       1},
      {"1: -> FLOCK  ADVISORY  WRITE 2 00:1a:7 0 EOF\n", 0},
      {"1: FLOCK  ADVISORY  READ 3 00:1a:7 0 EOF\n", 0},
      {"1: LEASE  ACTIVE    WRITE 4 00:1a:7 0 EOF\n", 0},
      {"1: FLOCK  ADVISORY  WRITE -1 00:1a:7 0 EOF\n1: FLOCK  ADVISORY  WRITE 0 00:1a:7 0 EOF", 0},
      {"1: FLOCK  ADVISORY  WRITE 5 00:1b:7 0 EOF\n1: FLOCK  ADVISORY  WRITE 6 01:1a:7 0 EOF\n"
       "1: FLOCK  ADVISORY  WRITE 7 00:1a:77 0 EOF\n",
       0},
      // Lines cut short or garbled.
      {"1: FLOCK  ADVISORY  WRITE 8\n1: FLOCK ADVISORY WRITE 9 00:1a\n1: FLOCK A WRITE x 00:1a:7",
       0},
      {"1: FLOCK  ADVISORY  WRITE 99999999999 00:1a:7 0 EOF\n", 0},
      {"1: FLOCK  ADVISORY  WRITE 10 00:1a:7x 0 EOF\nFLOCK ADVISORY WRITE 11 00:1a:7 0 EOF", 0},
      {"", 0},
  };
  for (const auto& [text, pid] : rows)
    EXPECT_EQ(ExclusiveLockHolder(text, 0, 0x1a, 7), pid) << text;
}

}  // namespace
}  // namespace oxa
