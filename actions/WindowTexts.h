// The window's own messages on its status line and in its message boxes, for every window
// that shows them.
#pragma once

#include <string>
#include <string_view>

namespace oxa {

std::string ReadyText(std::string_view port, std::string_view speed);  // "Готов к работе:   ..."
std::string OpeningPortText(std::string_view port);  // "Открытие порта COM1"
std::string PortNotOpenedText(std::string_view port);  // "Не удалось открыть порт COM1"
std::string SendingRequestText();                      // "Отправка запроса "
std::string ClosingPortText(std::string_view port);    // "Закрытие порта COM1"
std::string UnableToWriteText(std::string_view path);  // "Unable to write to /path"
// The caption while the window serves its own virtual device.
std::string VirtualDeviceCaption(std::string_view caption);
// The virtual device could not be started; `reason` says why.
std::string VirtualDeviceFailedText(std::string_view reason);

}  // namespace oxa
