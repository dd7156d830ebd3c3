// Systems that do not describe their serial devices: a device is known by its path only.
#include <filesystem>
#include <system_error>

#include "serial/OxaPortInfo.h"

namespace oxa {

TPortInfo DescribePort(const std::string& path, const TPortInfoRoots& /*roots*/) {
  TPortInfo info;
  std::error_code ec;
  info.path = path;
  info.present = std::filesystem::exists(path, ec);
  return info;
}

std::vector<TPortInfo> ListSerialPorts(const TPortInfoRoots& /*roots*/) {
  return {};
}

void FindPortHolder(const std::string& /*device*/, int& /*pid*/, std::string& /*name*/) {}

}  // namespace oxa
