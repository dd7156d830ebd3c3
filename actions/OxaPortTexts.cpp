#include "actions/OxaPortTexts.h"

#include <algorithm>

#include "actions/IniFile.h"
#include "serial/OxaPortInfo.h"
#include "serial/OxaUtils.h"

namespace oxa {

namespace {

std::string Str(std::string_view text) {
  return std::string(text);
}

// The device part of an address ("/dev/ttyUSB0 rs485" gives "/dev/ttyUSB0").
std::string Target(std::string_view address) {
  TPortAddress parsed;
  std::string problem;
  if (!ParsePortAddress(address, parsed, problem)) return Str(address);
  if (parsed.Socket()) {
    return (parsed.kind == TPortAddress::TKind::kTcp ? "tcp://" : "modbus-tcp://") + parsed.host +
           ":" + std::to_string(parsed.tcp_port);
  }
  return parsed.path;
}

// The reason as it is composed, with the texts from outside still raw.
std::string RawFailureText(const TOpenError& e, std::string_view port, std::string_view address,
                           std::string_view settings, TLanguage language, THostSystem system) {
  const bool ru = language == TLanguage::kRussian;
  const bool windows = system == THostSystem::kWindows;
  if (port.empty() || address.empty()) {
    return ru ? "Порт не выбран: выберите порт в списке." : "no port chosen";
  }
  const std::string device = Target(address);
  const std::string detail = e.detail;
  switch (e.failure) {
    case TOpenFailure::kNone:
      return {};
    case TOpenFailure::kNotPresent:
      if (windows) {
        // Windows gives an adapter the COM number it chooses; Device Manager shows which.
        const std::string look =
            ru ? " Подключите адаптер и посмотрите его номер в Диспетчере устройств (Порты COM "
                 "и LPT)"
               : ". Plug the adapter in and look up its number in Device Manager (Ports (COM & "
                 "LPT))";
        if (!ParseComName(port)) {
          return ru ? "Устройство " + device + " не найдено." + look + "."
                    : device + " is not there (" + detail + ")" + look;
        }
        return ru ? "Устройство " + device + " не найдено." + look + " или укажите для " +
                        Str(port) + " другой порт в разделе [Ports] файла " + Str(settings) +
                        ", например: " + Str(port) + "=\\\\.\\COM12"
                  : device + " is not there" + look + ", or map " + Str(port) +
                        " to another port in the [Ports] section of " + Str(settings) + ", e.g. " +
                        Str(port) + "=\\\\.\\COM12";
      }
      // A device named by its path, not by a COM number, has no [Ports] entry to change.
      if (!ParseComName(port)) {
        return ru ? "Устройство " + device + " не найдено. Подключите адаптер или проверьте путь."
                  : device + " is not there (" + detail +
                        "). Plug the adapter in, or check the path: fulctl ports lists the serial "
                        "devices present";
      }
      return ru ? "Устройство " + device + " не найдено. Подключите адаптер или укажите для " +
                      Str(port) + " другое устройство в разделе [Ports] файла " + Str(settings) +
                      ", например: " + Str(port) + "=/dev/ttyUSB0"
                : device + " is not there. Plug the adapter in, or map " + Str(port) +
                      " to another device in the [Ports] section of " + Str(settings) + ", e.g. " +
                      Str(port) + "=/dev/ttyUSB0";
    case TOpenFailure::kPermissionDenied:
      // Windows keeps no user rights on COM ports: there is no group to join.
      if (windows) {
        return ru ? "Нет доступа к " + device + ": " + detail + "."
                  : "permission denied on " + device + ": " + detail;
      }
      return ru ? "Нет доступа к " + device +
                      ". Пользователь должен входить в группу dialout: "
                      "sudo usermod -aG dialout $USER, затем войдите в систему заново."
                : "permission denied on " + device +
                      ". Add the user to the dialout group: sudo usermod -aG dialout $USER, then "
                      "log in again.";
    case TOpenFailure::kBusy: {
      std::string holder;
      if (e.holder_pid != 0) {
        holder = (e.holder_name.empty() ? std::string(ru ? "процесс" : "process") : e.holder_name) +
                 " (PID " + std::to_string(e.holder_pid) + ")";
      }
      // Windows answers "access denied" and does not tell who holds the port.
      if (ru) {
        return device + " занят" +
               (!holder.empty() ? ": его держит " + holder + "."
                : windows       ? " другой программой (Windows не сообщает, какой): закройте её."
                                : " другой программой.");
      }
      return device + " is busy" +
             (!holder.empty() ? ": held by " + holder
              : windows       ? ": another program holds it (Windows does not tell which); close it"
                              : ": another program holds it");
    }
    case TOpenFailure::kNotSerial:
      return ru ? device + " не является последовательным портом."
                : device + " is not a serial device";
    case TOpenFailure::kNoRs485:
      return ru ? "Драйвер " + device + " не поддерживает режим RS-485 (" + detail +
                      "). Уберите rs485 из записи " + Str(port) +
                      " в разделе [Ports] или возьмите адаптер с автоматическим управлением "
                      "направлением."
                : "the driver of " + device + " has no RS-485 mode (" + detail +
                      "); drop rs485, or use an adapter that switches direction by itself";
    case TOpenFailure::kUnreachable:
      return ru ? "Нет соединения с " + device + ": " + detail + "." : detail;
    case TOpenFailure::kBadAddress:
      return ru ? "Неверная запись " + Str(port) + "=" + Str(address) +
                      " в разделе [Ports] файла " + Str(settings) + ": " + detail + "."
                : "malformed port address '" + Str(address) + "' for " + Str(port) + ": " + detail;
    case TOpenFailure::kOther:
      break;
  }
  return ru ? "Ошибка открытия " + device + ": " + detail + "."
            : "cannot open " + device + ": " + detail;
}

// What a port of the list leads to, with the texts from outside still raw.
std::string RawTooltipText(std::string_view address, TLanguage language) {
  TPortAddress parsed;
  std::string problem;
  if (!ParsePortAddress(address, parsed, problem)) {
    return Str(address) + Str(Text(TText::kPortMalformed, language)) + problem + ")";
  }
  if (parsed.Socket()) {
    return Target(address) +
           Str(Text(parsed.kind == TPortAddress::TKind::kTcp ? TText::kPortTcpServer
                                                             : TText::kPortModbusTcpServer,
                    language));
  }
  const TPortInfo info = DescribePort(parsed.path);
  if (!info.present) return parsed.path + Str(Text(TText::kPortAbsent, language));
  std::string text = parsed.path;
  if (info.path != parsed.path) text += " → " + info.path;
  const std::string about = PortInfoText(info);
  if (!about.empty()) text += ": " + about;
  return text;
}

}  // namespace

std::string PortFailureText(const TOpenError& e, std::string_view port, std::string_view address,
                            std::string_view settings, TLanguage language, THostSystem system) {
  // The holder's program name, the address, the paths and the system's text all come from
  // outside: none of them may steer the terminal the reason is printed on.
  return VisibleText(RawFailureText(e, port, address, settings, language, system));
}

std::string_view PortFailureName(TOpenFailure failure) {
  switch (failure) {
    case TOpenFailure::kNone:
      return "";
    case TOpenFailure::kBadAddress:
      return "bad_address";
    case TOpenFailure::kNotPresent:
      return "not_present";
    case TOpenFailure::kPermissionDenied:
      return "permission_denied";
    case TOpenFailure::kBusy:
      return "busy";
    case TOpenFailure::kNotSerial:
      return "not_serial";
    case TOpenFailure::kNoRs485:
      return "no_rs485";
    case TOpenFailure::kUnreachable:
      return "unreachable";
    case TOpenFailure::kOther:
      break;
  }
  return "other";
}

std::string PortLostText(std::string_view port, TLanguage language) {
  const std::string shown = VisibleText(port);
  return language == TLanguage::kRussian
             ? "Порт " + shown +
                   " потерял устройство (адаптер отключён?). При следующей проверке порт будет "
                   "открыт заново."
             : shown +
                   " lost its device (adapter unplugged?); it is opened afresh for the "
                   "next exchange";
}

std::vector<std::string> WrapText(std::string_view text, size_t columns) {
  // Characters of UTF-8 text: every byte but the continuation bytes 10xxxxxx.
  const auto width = [](std::string_view s) {
    size_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
  };
  std::vector<std::string> lines;
  std::string line;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find(' ', pos), text.size());
    const std::string_view word = text.substr(pos, end - pos);
    pos = end + 1;
    if (word.empty()) continue;
    if (!line.empty() && width(line) + 1 + width(word) > columns) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + std::string(word);
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string PortTooltipText(std::string_view address, TLanguage language) {
  return VisibleText(RawTooltipText(address, language));
}

}  // namespace oxa
