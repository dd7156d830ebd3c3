// The window's own messages on its status line and in its message boxes, for every window
// that shows them, in the window's language (actions/TextCatalog.h).
#pragma once

#include <string>
#include <string_view>

#include "actions/TextCatalog.h"

namespace oxa {

// "Готов к работе:   COM1, 9600 bps"
std::string ReadyText(std::string_view port, std::string_view speed,
                      TLanguage language = TLanguage::kRussian);
// "Открытие порта COM1"
std::string OpeningPortText(std::string_view port, TLanguage language = TLanguage::kRussian);
// "Не удалось открыть порт COM1"
std::string PortNotOpenedText(std::string_view port, TLanguage language = TLanguage::kRussian);
// "Отправка запроса "
std::string SendingRequestText(TLanguage language = TLanguage::kRussian);
// "Закрытие порта COM1"
std::string ClosingPortText(std::string_view port, TLanguage language = TLanguage::kRussian);
// "Unable to write to /path"
std::string UnableToWriteText(std::string_view path, TLanguage language = TLanguage::kRussian);
// The caption while the window serves its own virtual device.
std::string VirtualDeviceCaption(std::string_view caption,
                                 TLanguage language = TLanguage::kRussian);
// The virtual device could not be started; `reason` says why.
std::string VirtualDeviceFailedText(std::string_view reason,
                                    TLanguage language = TLanguage::kRussian);

}  // namespace oxa
