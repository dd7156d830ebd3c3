// The settings file's rules on any text: reading every section the window and the port use,
// the integer rule on every value, and a key written and read back. Input: the file's text.
// A write must read back as written, leave other sections as they were, and writing the same
// again must change nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "actions/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  oxa::TIniText ini(text);
  for (const char* section : {"Signature", "Ports"}) {
    for (const auto& [key, value] : ini.ReadSection(section)) {
      (void)oxa::TIniFile::ParseInteger(value);
      (void)oxa::ParseComName(key);
      (void)oxa::ParsePortAssignment(key + "=" + value);
    }
  }
  const auto ports = oxa::PortMap(ini.ReadSection("Ports"));

  // The text as written back is read as the original was.
  const oxa::TIniText again(ini.Text());
  if (again.ReadSection("Signature") != ini.ReadSection("Signature")) __builtin_trap();

  ini.WriteString("Signature", "Port", "5");
  const std::string written = ini.Text();
  const oxa::TIniText reread(written);
  if (reread.ReadString("signature", "PORT") != "5") __builtin_trap();
  if (oxa::PortMap(reread.ReadSection("Ports")) != ports) __builtin_trap();
  ini.WriteString("Signature", "Port", "5");
  if (ini.Text() != written) __builtin_trap();
  return 0;
}
