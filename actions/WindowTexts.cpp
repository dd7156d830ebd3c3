#include "actions/WindowTexts.h"

namespace oxa {

std::string ReadyText(std::string_view port, std::string_view speed) {
  return "Готов к работе:   " + std::string(port) + ", " + std::string(speed) + " bps";
}

std::string OpeningPortText(std::string_view port) {
  return "Открытие порта " + std::string(port);
}

std::string PortNotOpenedText(std::string_view port) {
  return "Не удалось открыть порт " + std::string(port);
}

std::string SendingRequestText() {
  return "Отправка запроса ";
}

std::string ClosingPortText(std::string_view port) {
  return "Закрытие порта " + std::string(port);
}

std::string UnableToWriteText(std::string_view path) {
  return "Unable to write to " + std::string(path);
}

std::string VirtualDeviceCaption(std::string_view caption) {
  return std::string(caption) + " — виртуальный прибор";
}

std::string VirtualDeviceFailedText(std::string_view reason) {
  return "Виртуальный прибор не запущен: " + std::string(reason);
}

}  // namespace oxa
