// The virtual device's request receiver and contents-file parser, in memory: whatever bytes a
// master or a file brings, the device answers at most one frame per byte, never more than a
// frame can hold, and never reads or writes outside its areas.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "sim/FulDevice.h"
#include "sim/SimConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  oxa::sim::FulDevice device;
  std::string error;
  oxa::sim::LoadConfig(std::string_view(reinterpret_cast<const char*>(data), size), device, error);

  oxa::sim::FulDevice line(1);
  const std::span<const uint8_t> bytes(data, size);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto answer = line.Feed(bytes.subspan(i, 1));
    if (answer.size() > 255) std::abort();
    if (line.PendingBytes() > 600) std::abort();
  }
  if (line.LineIdle().size() > 255) std::abort();
  // A whole input taken as one frame.
  if (device.Answer(bytes).size() > 255) std::abort();
  return 0;
}
