#include "serial/OxaPortInfo.h"

#include "serial/OxaUtils.h"

namespace oxa {

std::string PortInfoText(const TPortInfo& info) {
  std::string text;
  const auto add = [&text](const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += ", ";
    text += part;
  };
  add(info.driver);
  if (!info.usb_id.empty()) {
    std::string usb = "USB " + info.usb_id;
    if (!info.manufacturer.empty()) usb += " " + info.manufacturer;
    if (!info.product.empty()) usb += " " + info.product;
    add(usb);
  }
  if (!info.serial_number.empty()) add("serial " + info.serial_number);
  add(info.by_id);
  return VisibleText(text);
}

}  // namespace oxa
