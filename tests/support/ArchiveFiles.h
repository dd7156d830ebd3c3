// Files of the archive range tests: a folder of a test's own, a file's bytes, and the virtual
// device's archive blocks as a file holds them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "sim/FulDevice.h"

namespace oxa::testing {

// A folder of this test's own under the system's temporary folder, as UTF-8.
inline std::string NewFolder(const std::string& stem) {
  namespace fs = std::filesystem;
  std::random_device random;
  for (;;) {
    const fs::path folder = fs::temp_directory_path() / (stem + std::to_string(random()));
    if (fs::create_directory(folder)) {
      const std::u8string text = folder.u8string();
      return std::string(text.begin(), text.end());
    }
  }
}

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The device's blocks `first`..`last` as a file holds them.
inline std::string Blocks(uint16_t first, uint16_t last) {
  std::string bytes;
  for (uint32_t b = first; b <= last; ++b) {
    const auto block = sim::TFulDevice::ArchiveBlock(static_cast<uint16_t>(b));
    bytes.append(block.begin(), block.end());
  }
  return bytes;
}

}  // namespace oxa::testing
