#include "actions/WindowTexts.h"

namespace oxa {

namespace {

std::string Joined(TText text, TLanguage language, std::string_view after) {
  return std::string(Text(text, language)) + std::string(after);
}

}  // namespace

std::string ReadyText(std::string_view port, std::string_view speed, TLanguage language) {
  return Joined(TText::kReady, language, port) + ", " + std::string(speed) + " bps";
}

std::string OpeningPortText(std::string_view port, TLanguage language) {
  return Joined(TText::kOpeningPort, language, port);
}

std::string PortNotOpenedText(std::string_view port, TLanguage language) {
  return Joined(TText::kPortNotOpened, language, port);
}

std::string SendingRequestText(TLanguage language) {
  return Joined(TText::kSendingRequest, language, "");
}

std::string ClosingPortText(std::string_view port, TLanguage language) {
  return Joined(TText::kClosingPort, language, port);
}

std::string UnableToWriteText(std::string_view path, TLanguage language) {
  return Joined(TText::kUnableToWrite, language, path);
}

std::string VirtualDeviceCaption(std::string_view caption, TLanguage language) {
  return std::string(caption) + std::string(Text(TText::kVirtualDeviceCaption, language));
}

std::string VirtualDeviceFailedText(std::string_view reason, TLanguage language) {
  return Joined(TText::kVirtualDeviceFailed, language, reason);
}

}  // namespace oxa
