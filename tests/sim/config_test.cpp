// Device contents from an INI text.
#include <gtest/gtest.h>

#include "sim/SimConfig.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa::sim {
namespace {

using oxa::testing::Hex;

TEST(SimConfig, SetsRegistersTextsMemoryAndRam) {
  TFulDevice device;
  std::string error;
  ASSERT_TRUE(LoadConfig(R"(
; the case under test
[modbus]
identification = FUL-05.08 #7; bench
[registers]
2201 = 150
2202 = 0x0003
0 = float:-2.5
5000 = u32:0x12345678
[10x]
identification = FUL-107
soft_version = 3.01
[memory]
1496 = DE 07 00 00 19 12 31 AD
338 = u32:12345
[ram]
160 = float:1.0
)",
                         device, error))
      << error;
  EXPECT_EQ(device.ModbusIdentification(), "FUL-05.08 #7; bench");
  EXPECT_EQ(device.HoldingRegister(2201), 150);
  EXPECT_EQ(device.HoldingRegister(2202), 3);
  EXPECT_FLOAT_EQ(device.RegisterFloat(0), -2.5f);
  EXPECT_TRUE(device.RegisterExists(5001));
  EXPECT_EQ(device.RegisterU32(5000), 0x12345678u);
  EXPECT_EQ(device.Memory(1496, 8), Hex("DE 07 00 00 19 12 31 AD"));
  EXPECT_EQ(device.Memory(338, 4), Hex("00 00 30 39"));
  EXPECT_EQ(device.Ram(160, 4), Hex("3F 80 00 00"));
  const auto id = device.Feed(Hex("55 01 FE 00 00 00 AB"));
  EXPECT_EQ(std::string(id.begin() + 6, id.end() - 1), "FUL-107");
}

TEST(SimConfig, ErrorsNameTheLine) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"[registers]\n2201 = 70000\n", "line 2: bad register value 70000"},
      {"[registers]\n65535 = u32:1\n", "line 2: a 32-bit value needs two registers"},
      {"[memory]\n2046 = 01 02 03\n", "line 2: bytes run past the end of the area"},
      {"[memory]\n2048 = 01\n", "line 2: bad address 2048"},
      {"[ram]\n0 = 1 2 XYZ\n", "line 2: bad bytes 1 2 XYZ"},
      {"[coils]\n", "line 1: unknown section [coils]"},
      {"2201 = 1\n", "line 1: key outside a section"},
      {"[registers]\n\n2201\n", "line 3: expected key = value"},
      {"[10x]\nname = x\n", "line 2: unknown key name"},
  };
  for (const auto& c : cases) {
    TFulDevice device;
    std::string error;
    EXPECT_FALSE(LoadConfig(c.text, device, error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
  TFulDevice device;
  std::string error;
  EXPECT_FALSE(LoadConfigFile("/nonexistent/fulsim.ini", device, error));
}

}  // namespace
}  // namespace oxa::sim
