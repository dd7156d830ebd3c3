// The properties both masters share: their values after construction and the silent rules of
// their setters, which must be the same in both.
#include <gtest/gtest.h>

#include "protocols/oxa10xProtocol.h"
#include "protocols/oxaModBusProtocol.h"
#include "tests/support/FakeComPortIo.h"

namespace oxa {
namespace {

using enum TOxaError;
using testing::ErrorOf;

template <typename Master>
class SharedProperties : public ::testing::Test {};

using Masters = ::testing::Types<ToxaModBusProtocol, Toxa10xProtocol>;
TYPED_TEST_SUITE(SharedProperties, Masters);

TYPED_TEST(SharedProperties, ConstructorValues) {
  TypeParam m;
  EXPECT_EQ(m.ComPort(), nullptr);
  EXPECT_EQ(m.NetAddr(), 0);
  EXPECT_EQ(m.PacketTimeout(), 300u);
  EXPECT_EQ(m.ByteTimeout(), 40u);
  EXPECT_EQ(m.RepeatCount(), 3);
  EXPECT_EQ(m.DeviceType(), 0u);
  EXPECT_FALSE(m.AutoOpenPort());
  EXPECT_FALSE(m.EWrite());
  EXPECT_EQ(ErrorOf(m), kOk);
}

TYPED_TEST(SharedProperties, SettersIgnoreRoundOrMapSilently) {
  TypeParam m;
  m.SetPacketTimeout(5);  // rounds to 0
  m.SetPacketTimeout(10000);
  m.SetPacketTimeout(10005);
  EXPECT_EQ(m.PacketTimeout(), 300u);
  m.SetPacketTimeout(1234);
  EXPECT_EQ(m.PacketTimeout(), 1230u);
  m.SetPacketTimeout(9999);
  EXPECT_EQ(m.PacketTimeout(), 9990u);
  m.SetPacketTimeout(19);
  EXPECT_EQ(m.PacketTimeout(), 10u);

  m.SetByteTimeout(3000);
  m.SetByteTimeout(9);
  EXPECT_EQ(m.ByteTimeout(), 40u);
  m.SetByteTimeout(2999);
  EXPECT_EQ(m.ByteTimeout(), 2990u);

  m.SetRepeatCount(0);
  m.SetRepeatCount(25);
  EXPECT_EQ(m.RepeatCount(), 3);
  m.SetRepeatCount(24);
  EXPECT_EQ(m.RepeatCount(), 24);
  m.SetRepeatCount(1);
  EXPECT_EQ(m.RepeatCount(), 1);

  m.SetNetAddr(127);
  m.SetNetAddr(200);
  m.SetNetAddr(128);
  EXPECT_EQ(m.NetAddr(), 127);

  m.SetDeviceType(11);
  EXPECT_EQ(m.DeviceType(), 11u);
  m.SetDeviceType(12);
  EXPECT_EQ(m.DeviceType(), 0u);

  // A null port does not unbind the one in place.
  testing::TFakePort fake;
  m.SetComPort(&fake.port);
  m.SetComPort(nullptr);
  EXPECT_EQ(m.ComPort(), &fake.port);
}

}  // namespace
}  // namespace oxa
