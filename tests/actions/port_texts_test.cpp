// What the window and fulctl say about a port that would not open, or that lost its device.
#include <gtest/gtest.h>

#include "actions/OxaPortTexts.h"

namespace oxa {
namespace {

TEST(PortTexts, EachReasonSaysWhatToDoInBothLanguages) {
  struct Case {
    TOpenError error;
    std::string address;
    std::string russian;
    std::string english;
    THostSystem system = THostSystem::kPosix;
  };
  const Case cases[] = {
      {{TOpenFailure::kNotPresent, "No such file or directory", 0, {}},
       "/dev/ttyS2",
       "Устройство /dev/ttyS2 не найдено. Подключите адаптер или укажите для COM3 другое "
       "устройство в разделе [Ports] файла /opt/ful03test.ini, например: COM3=/dev/ttyUSB0",
       "/dev/ttyS2 is not there. Plug the adapter in, or map COM3 to another device in the "
       "[Ports] section of /opt/ful03test.ini, e.g. COM3=/dev/ttyUSB0"},
      {{TOpenFailure::kPermissionDenied, "Permission denied", 0, {}},
       "/dev/ttyUSB0 rs485",
       "Нет доступа к /dev/ttyUSB0. Пользователь должен входить в группу dialout: sudo usermod "
       "-aG dialout $USER, затем войдите в систему заново.",
       "permission denied on /dev/ttyUSB0. Add the user to the dialout group: sudo usermod -aG "
       "dialout $USER, then log in again."},
      {{TOpenFailure::kBusy, "Device or resource busy", 4242, "minicom"},
       "/dev/ttyUSB0",
       "/dev/ttyUSB0 занят: его держит minicom (PID 4242).",
       "/dev/ttyUSB0 is busy: held by minicom (PID 4242)"},
      // A program may name itself anything: its name cannot steer the terminal.
      {{TOpenFailure::kBusy, "Device or resource busy", 4243, "\x1b]0;owned\x07\x1b[2J"},
       "/dev/ttyUSB0",
       "/dev/ttyUSB0 занят: его держит \\x1b]0;owned\\x07\\x1b[2J (PID 4243).",
       "/dev/ttyUSB0 is busy: held by \\x1b]0;owned\\x07\\x1b[2J (PID 4243)"},
      {{TOpenFailure::kBusy, "Device or resource busy", 0, {}},
       "/dev/ttyUSB0",
       "/dev/ttyUSB0 занят другой программой.",
       "/dev/ttyUSB0 is busy: another program holds it"},
      {{TOpenFailure::kBadAddress, "tcp:// needs a port: tcp://host:port", 0, {}},
       "tcp://10.0.0.5",
       "Неверная запись COM3=tcp://10.0.0.5 в разделе [Ports] файла /opt/ful03test.ini: tcp:// "
       "needs a port: tcp://host:port.",
       "malformed port address 'tcp://10.0.0.5' for COM3: tcp:// needs a port: tcp://host:port"},
      {{TOpenFailure::kUnreachable, "connection refused", 0, {}},
       "tcp://10.0.0.5:4001 echo",
       "Нет соединения с tcp://10.0.0.5:4001: connection refused.",
       "connection refused"},
      // Windows: Device Manager and its COM numbers, no /dev paths, no groups, no holder.
      {{TOpenFailure::kNotPresent, "The system cannot find the file specified (error 2)", 0, {}},
       "\\\\.\\COM3",
       "Устройство \\\\.\\COM3 не найдено. Подключите адаптер и посмотрите его номер в "
       "Диспетчере устройств (Порты COM и LPT) или укажите для COM3 другой порт в разделе [Ports] "
       "файла /opt/ful03test.ini, например: COM3=\\\\.\\COM12",
       "\\\\.\\COM3 is not there. Plug the adapter in and look up its number in Device "
       "Manager (Ports (COM & LPT)), or map COM3 to another port in the [Ports] section of "
       "/opt/ful03test.ini, e.g. COM3=\\\\.\\COM12",
       THostSystem::kWindows},
      {{TOpenFailure::kPermissionDenied, "Access is denied (error 5)", 0, {}},
       "\\\\.\\COM3",
       "Нет доступа к \\\\.\\COM3: Access is denied (error 5).",
       "permission denied on \\\\.\\COM3: Access is denied (error 5)",
       THostSystem::kWindows},
      {{TOpenFailure::kBusy, "Access is denied (error 5)", 0, {}},
       "\\\\.\\COM3",
       "\\\\.\\COM3 занят другой программой (Windows не сообщает, какой): закройте её.",
       "\\\\.\\COM3 is busy: another program holds it (Windows does not tell which); close it",
       THostSystem::kWindows},
  };
  // A device named by its path gets no advice about [Ports].
  EXPECT_EQ(PortFailureText(cases[0].error, "/dev/ttyUSB3", "/dev/ttyUSB3", "/opt/ful03test.ini",
                            TLanguage::kEnglish, THostSystem::kPosix),
            "/dev/ttyUSB3 is not there (No such file or directory). Plug the adapter in, or "
            "check the path: fulctl ports lists the serial devices present");
  EXPECT_EQ(
      PortFailureText(cases[7].error, "\\\\.\\COM12", "\\\\.\\COM12", "/opt/ful03test.ini",
                      TLanguage::kEnglish, THostSystem::kWindows),
      "\\\\.\\COM12 is not there (The system cannot find the file specified (error 2)). Plug the "
      "adapter in and look up its number in Device Manager (Ports (COM & LPT))");
  for (const Case& c : cases) {
    EXPECT_EQ(PortFailureText(c.error, "COM3", c.address, "/opt/ful03test.ini", TLanguage::kRussian,
                              c.system),
              c.russian);
    EXPECT_EQ(PortFailureText(c.error, "COM3", c.address, "/opt/ful03test.ini", TLanguage::kEnglish,
                              c.system),
              c.english);
  }
}

TEST(PortTexts, WrappedForTheDataPaneAtBlanks) {
  EXPECT_EQ(WrapText("Нет доступа к /dev/ttyUSB0. Пользователь должен", 20),
            (std::vector<std::string>{"Нет доступа к", "/dev/ttyUSB0.", "Пользователь должен"}));
  EXPECT_EQ(WrapText("a /dev/serial/by-id/usb-FTDI_FT232R b", 10),
            (std::vector<std::string>{"a", "/dev/serial/by-id/usb-FTDI_FT232R", "b"}));
  EXPECT_EQ(WrapText("", 10), std::vector<std::string>{});
}

TEST(PortTexts, TooltipSaysWhereAPortLeads) {
  EXPECT_EQ(PortTooltipText("/dev/oxa_absent_port"),
            "/dev/oxa_absent_port: устройство отсутствует");
  EXPECT_EQ(PortTooltipText("tcp://10.0.0.5:4001"),
            "tcp://10.0.0.5:4001: сервер последовательных портов по TCP");
  EXPECT_EQ(PortTooltipText("/dev/ttyUSB0 rs458"),
            "/dev/ttyUSB0 rs458: неверная запись (unknown option 'rs458' (known: rs485, echo, a "
            "line format such as 8E1))");
  EXPECT_EQ(PortTooltipText("/dev/null").rfind("/dev/null", 0), 0u);
  EXPECT_EQ(PortTooltipText("/dev/oxa\x9b"
                            "2J\xff"),
            "/dev/oxa\\x9b2J\\xff: устройство отсутствует");
  EXPECT_EQ(PortTooltipText("/dev/oxa_absent_port", TLanguage::kEnglish),
            "/dev/oxa_absent_port: no device there");
  EXPECT_EQ(PortTooltipText("tcp://10.0.0.5:4001", TLanguage::kEnglish),
            "tcp://10.0.0.5:4001: serial device server over TCP");
}

}  // namespace
}  // namespace oxa
