// Our master over the real termios port against a libmodbus RTU slave on a pseudo-terminal:
// reads of several sizes, writes read back, the exceptions libmodbus answers with, and what
// the two non-standard requests of this master draw from a slave that does not know them. The
// same over Modbus TCP against a libmodbus TCP server on loopback.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "devices/oxaFul0508.h"
#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"
#include "tests/interop/SlaveProcess.h"
#include "tests/support/ErrorNames.h"

namespace oxa {
namespace {

using enum TOxaError;
using testing::ErrorOf;

using interop::SlaveRegisterValue;

// A master on its own port, and the reads the tests check with.
class TMasterOnAPort : public ::testing::Test {
 protected:
  void TearDown() override { port.Close(); }

  // Registers start..start+count-1 as the slave holds them, high byte first.
  std::vector<uint8_t> Read(uint16_t start, uint16_t count) {
    std::vector<uint8_t> buf(2 * count);
    EXPECT_TRUE(master.ReadHoldingRegisters(start, count, buf)) << master.LastError();
    return buf;
  }
  static uint16_t Reg(const std::vector<uint8_t>& buf, size_t i) {
    return static_cast<uint16_t>(buf[2 * i] << 8 | buf[2 * i + 1]);
  }

  ToxaComPort port;
  ToxaFul0508 master;  // the device class is a complete master
};

class TLibmodbusSlave : public TMasterOnAPort {
 protected:
  void SetUp() override {
    ASSERT_FALSE(slave.Device().empty()) << "the libmodbus slave did not start";
    port.SetDeviceMap({{1, slave.Device()}});
    port.SetComPort(1);
    port.SetBaudRate(115200);
    ASSERT_TRUE(port.Open());
    master.SetComPort(&port);
    master.SetNetAddr(1);
  }

  interop::TSlaveProcess slave{MODBUS_RTU_SLAVE, 1};
};

TEST_F(TLibmodbusSlave, ReadsRegistersOfSeveralCounts) {
  const struct {
    uint16_t start, count;
  } reads[] = {{0, 1}, {7, 2}, {0, 10}, {200, 64}, {275, 125}, {0, 125}};
  for (const auto& r : reads) {
    SCOPED_TRACE(std::to_string(r.start) + "+" + std::to_string(r.count));
    const std::vector<uint8_t> buf = Read(r.start, r.count);
    for (uint16_t i = 0; i < r.count; ++i) ASSERT_EQ(Reg(buf, i), SlaveRegisterValue(r.start + i));
  }
  EXPECT_EQ(master.LastSent(), "01 03 00 00 00 7D 85 EB ");
}

TEST_F(TLibmodbusSlave, WritesAreReadBack) {
  EXPECT_TRUE(master.WriteSingleRegister(5, 0xBEEF));
  EXPECT_EQ(Reg(Read(5, 1), 0), 0xBEEF);

  std::vector<uint8_t> data;
  for (int i = 0; i < 123; ++i) {
    data.push_back(static_cast<uint8_t>(i));
    data.push_back(static_cast<uint8_t>(0xFF - i));
  }
  master.SetEWrite(false);  // gated: nothing reaches the slave
  EXPECT_TRUE(master.WriteMultipleRegisters(100, 123, data));
  EXPECT_EQ(Reg(Read(100, 1), 0), SlaveRegisterValue(100));

  master.SetEWrite(true);
  EXPECT_TRUE(master.WriteMultipleRegisters(100, 123, data));
  EXPECT_EQ(Read(100, 123), data);
  EXPECT_EQ(Reg(Read(99, 1), 0), SlaveRegisterValue(99));
  EXPECT_EQ(Reg(Read(223, 1), 0), SlaveRegisterValue(223));
}

TEST_F(TLibmodbusSlave, RefusalsFailWithTheSlavesExceptionCode) {
  std::vector<uint8_t> buf(256, 0xEE);
  EXPECT_FALSE(master.ReadHoldingRegisters(390, 20, buf));  // past its 400 registers
  EXPECT_EQ(ErrorOf(master), kDeviceException);
  EXPECT_EQ(master.LastException(), 2);
  EXPECT_EQ(ModbusExceptionName(master.LastException()), "illegal data address");
  EXPECT_EQ(buf, std::vector<uint8_t>(256, 0xEE));

  EXPECT_FALSE(master.ReadHoldingRegisters(0, 126, buf));  // more than one answer can carry
  EXPECT_EQ(ErrorOf(master), kDeviceException);
  EXPECT_EQ(master.LastException(), 3);

  EXPECT_FALSE(master.WriteSingleRegister(400, 1));
  EXPECT_EQ(master.LastException(), 2);
  master.SetEWrite(true);
  EXPECT_FALSE(master.WriteMultipleRegisters(399, 2, std::vector<uint8_t>(4, 0)));
  EXPECT_EQ(ErrorOf(master), kDeviceException);
  EXPECT_EQ(master.LastException(), 2);

  // The slave serves on normally.
  EXPECT_EQ(Reg(Read(399, 1), 0), SlaveRegisterValue(399));
  EXPECT_EQ(master.LastException(), 0);
}

TEST_F(TLibmodbusSlave, NonStandardRequestsFailCleanlyAndItsIdentificationIsRead) {
  // libmodbus cannot frame function 65 (it takes the request to end after the function code),
  // finds a wrong CRC, and stays silent: every attempt times out.
  std::vector<uint8_t> block(128, 0xEE);
  EXPECT_FALSE(master.ReadArchiveBlock(0, 1, block));
  EXPECT_EQ(ErrorOf(master), kNoAnswer);
  EXPECT_EQ(master.LastException(), 0);
  EXPECT_EQ(block, std::vector<uint8_t>(128, 0xEE));

  // Function 17 draws libmodbus's own server identification in the standard layout: a
  // one-byte server id, the run indicator, then "LMB" and its version.
  std::string id = "old";
  master.GetDevID(id);
  EXPECT_EQ(ErrorOf(master), kOk);
  EXPECT_EQ(id.rfind("0xB4 LMB", 0), 0u) << id;
  EXPECT_EQ(id.substr(id.size() - 9), " (run on)") << id;
  ASSERT_TRUE(master.StandardId().has_value());
  EXPECT_EQ(master.StandardId()->server_id, std::vector<uint8_t>{0xB4});

  EXPECT_EQ(Reg(Read(1, 1), 0), SlaveRegisterValue(1));
}

TEST_F(TLibmodbusSlave, DeviceClassRoundTripsCoefficients) {
  master.SetSignature("ABCD1234");  // writes allowed
  EXPECT_TRUE(master.ClbWriteK(1, 3, 0.0025f));
  EXPECT_TRUE(master.ClbWriteObr(2, 9, -7.5f));
  EXPECT_TRUE(master.ClbWriteK(2, 0, -300.9f));
  float v = 0;
  EXPECT_TRUE(master.ClbReadK(1, 3, v));
  EXPECT_EQ(v, 0.0025f);
  EXPECT_TRUE(master.ClbReadObr(2, 9, v));
  EXPECT_EQ(v, -7.5f);
  EXPECT_TRUE(master.ClbReadK(2, 0, v));
  EXPECT_EQ(v, -300.0f);
  std::string s;
  master.GetSoftVer(s);  // register 318 = 0x13BA
  EXPECT_EQ(s, "19.186");
}

// The master over modbus-tcp:// against libmodbus's TCP server.
class TLibmodbusTcpServer : public TMasterOnAPort {
 protected:
  void SetUp() override {
    ASSERT_EQ(server.Device().rfind("modbus-tcp://127.0.0.1:", 0), 0u) << server.Device();
    port.SetDeviceMap({{1, server.Device()}});
    port.SetComPort(1);
    ASSERT_TRUE(port.Open()) << port.OpenError().detail;
    ASSERT_TRUE(port.ModbusTcp());
    master.SetComPort(&port);
    master.SetNetAddr(1);
  }

  interop::TSlaveProcess server{MODBUS_TCP_SERVER, 1};
};

TEST_F(TLibmodbusTcpServer, ReadsWritesRefusalsAndIdentification) {
  for (const uint16_t count : {1, 10, 125}) {
    const std::vector<uint8_t> buf = Read(275, count);
    for (uint16_t i = 0; i < count; ++i) ASSERT_EQ(Reg(buf, i), SlaveRegisterValue(275 + i));
  }
  // Each request under the next transaction id.
  EXPECT_EQ(master.LastSent(), "00 03 00 00 00 06 01 03 01 13 00 7D ");

  EXPECT_TRUE(master.WriteSingleRegister(5, 0xBEEF));
  EXPECT_EQ(Reg(Read(5, 1), 0), 0xBEEF);
  std::vector<uint8_t> data;
  for (int i = 0; i < 123; ++i) {
    data.push_back(static_cast<uint8_t>(i));
    data.push_back(static_cast<uint8_t>(0xFF - i));
  }
  master.SetEWrite(true);
  EXPECT_TRUE(master.WriteMultipleRegisters(100, 123, data));
  EXPECT_EQ(Read(100, 123), data);

  std::vector<uint8_t> buf(40, 0xEE);
  EXPECT_FALSE(master.ReadHoldingRegisters(390, 20, buf));
  EXPECT_EQ(ErrorOf(master), kDeviceException);
  EXPECT_EQ(master.LastException(), 2);
  EXPECT_EQ(buf, std::vector<uint8_t>(40, 0xEE));
  // Over TCP libmodbus frames function 65 by the header and refuses it as unknown.
  std::vector<uint8_t> block(128, 0xEE);
  EXPECT_FALSE(master.ReadArchiveBlock(0, 1, block));
  EXPECT_EQ(ErrorOf(master), kDeviceException);
  EXPECT_EQ(master.LastException(), 1);

  std::string id;
  master.GetDevID(id);
  EXPECT_EQ(ErrorOf(master), kOk);
  EXPECT_EQ(id.rfind("0xB4 LMB", 0), 0u) << id;
}

}  // namespace
}  // namespace oxa
