#include <gtest/gtest.h>

#include <cstring>

#include "serial/OxaUtils.h"

namespace oxa {
namespace {

TEST(Crc16, KnownVectors) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(UpdateCrc16(0xFFFF, digits, 9), 0x4B37);
  const uint8_t read_one[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(UpdateCrc16(0xFFFF, read_one, 6), 0x0A84);
  const uint8_t read_ten[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
  EXPECT_EQ(UpdateCrc16(0xFFFF, read_ten, 6), 0xCDC5);
}

TEST(Crc16, NothingToRunOverLeavesTheCrc) {
  const uint8_t b = 0x55;
  EXPECT_EQ(UpdateCrc16(0x1234, &b, 0), 0x1234);
  EXPECT_EQ(UpdateCrc16(0x1234, &b, -5), 0x1234);
  EXPECT_EQ(UpdateCrc16(0x1234, nullptr, 10), 0x1234);
}

TEST(Crc16, TableStartsAsTheStandardOne) {
  const uint16_t head[] = {0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241};
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(kCrc16Table[i], head[i]) << i;
  EXPECT_EQ(kCrc16Table[255], 0x4040);
}

TEST(ByteOrder, SwapBytes32ReversesAndRestores) {
  uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
  SwapBytes32(std::span<uint8_t, 4>(bytes));
  EXPECT_EQ(bytes[0], 0x78);
  EXPECT_EQ(bytes[1], 0x56);
  EXPECT_EQ(bytes[2], 0x34);
  EXPECT_EQ(bytes[3], 0x12);
  uint32_t v = 0x12345678;
  SwapBytes32(v);
  EXPECT_EQ(v, 0x78563412u);
  SwapBytes32(v);
  EXPECT_EQ(v, 0x12345678u);
  float f = 1.0f;  // 3F 80 00 00
  SwapBytes32(f);
  SwapBytes32(f);
  EXPECT_EQ(f, 1.0f);
  const uint8_t be[] = {0x3F, 0x80, 0x00, 0x00};
  EXPECT_EQ(BigEndian32(be), 0x3F800000u);
}

TEST(ByteToBcd, TwoDigitsOrFF) {
  EXPECT_EQ(ByteToBcd(0), 0x00);
  EXPECT_EQ(ByteToBcd(9), 0x09);
  EXPECT_EQ(ByteToBcd(59), 0x59);
  EXPECT_EQ(ByteToBcd(99), 0x99);
  EXPECT_EQ(ByteToBcd(100), 0xFF);
  EXPECT_EQ(ByteToBcd(255), 0xFF);
}

TEST(CopyBytes, StopsAtTheEndOfEitherSide) {
  uint8_t dest[4] = {9, 9, 9, 9};
  const uint8_t src[6] = {1, 2, 3, 4, 5, 6};
  CopyBytes(dest, src, 0);
  EXPECT_EQ(dest[0], 9);
  CopyBytes(dest, src, 200);
  EXPECT_EQ(std::memcmp(dest, src, 4), 0);
  uint8_t big[8] = {};
  CopyBytes(big, std::span<const uint8_t>(src, 2), 8);
  EXPECT_EQ(big[1], 2);
  EXPECT_EQ(big[2], 0);
}

TEST(CodeTables, ErrorMessages) {
  EXPECT_EQ(ErrorMessages[0], "Операция выполнена успешно");
  EXPECT_EQ(ErrorMessages[1], "Ошибка записи в последовательный порт");
  EXPECT_EQ(ErrorMessages[2], "Ошибка чтения из последовательного порта");
  EXPECT_EQ(ErrorMessages[3], "Неверный размер пакета");
  EXPECT_EQ(ErrorMessages[4], "Неверный сетевой адрес прибора в ответе");
  EXPECT_EQ(ErrorMessages[5], "Неверная контрольная сумма пакета");
  EXPECT_EQ(ErrorMessages[6], "Последовательный порт недоступен или не существует");
  EXPECT_EQ(ErrorMessages[7], "Ошибка целостности пакета данных");
  for (size_t i = 8; i <= 10; ++i) EXPECT_TRUE(ErrorMessages[i].empty()) << i;
}

// Code page 1251 of a text, so that look-alike Latin letters cannot hide in a table.
std::string Cp(std::string_view utf8) {
  const auto bytes = Utf8ToCp1251(utf8);
  return HexBytes(bytes);
}

TEST(CodeTables, DeviceTypeNamesUseTheRightAlphabet) {
  ASSERT_EQ(DeviceTypeNamesCyr.size(), 12u);
  ASSERT_EQ(DeviceTypeNamesLat.size(), 12u);
  // Cyrillic Es (0xD1 in code page 1251) ends entries 3, 5 and 8, not the Latin C.
  EXPECT_EQ(Cp(DeviceTypeNamesCyr[3]), "D4 D3 CB 2D 30 35 2E 30 35 D1 ");
  EXPECT_EQ(Cp(DeviceTypeNamesCyr[5]), "D4 D3 CB 2D 30 35 2E 30 37 D1 ");
  EXPECT_EQ(Cp(DeviceTypeNamesCyr[8]), "D4 D3 CB 2D 30 35 2E 30 33 D1 ");
  EXPECT_EQ(Cp(DeviceTypeNamesCyr[6]), "C7 C5 C1 2D 31 30 34 CA ");
  EXPECT_EQ(DeviceTypeNamesCyr[11], "ЗЕБ-05М4");
  EXPECT_EQ(DeviceTypeNamesCyr[10], "ГНБ-ЗУФ");
  // Only entries 0, 2 and 6 of the Latin table are Cyrillic.
  for (size_t i = 0; i < 12; ++i) {
    const bool cyrillic = i == 0 || i == 2 || i == 6;
    bool has_high = false;
    for (uint8_t b : Utf8ToCp1251(DeviceTypeNamesLat[i])) has_high |= b >= 0x80;
    EXPECT_EQ(has_high, cyrillic) << i;
  }
  EXPECT_EQ(DeviceTypeNamesLat[3], "FUL-05.05.1");
  EXPECT_EQ(DeviceTypeNamesLat[5], "FUL-05.07.C");
  EXPECT_EQ(DeviceTypeNamesLat[6], "ЗЕБ-101");
  EXPECT_EQ(DeviceTypeNamesLat[8], "FUL0503-C");
  EXPECT_EQ(DeviceTypeNamesLat[11], "M4");
}

TEST(Cp1251, RoundTripsRussianAndMarksWhatItCannotHold) {
  const std::string text = "Прибор №5 ёЁ";
  const auto bytes = Utf8ToCp1251(text);
  EXPECT_EQ(HexBytes(bytes), "CF F0 E8 E1 EE F0 20 B9 35 20 B8 A8 ");
  EXPECT_EQ(Cp1251ToUtf8(bytes), text);
  EXPECT_EQ(HexBytes(Utf8ToCp1251("a\u4E2Db")), "61 3F 62 ");
  EXPECT_EQ(HexBytes(Utf8ToCp1251("\xD0")), "3F ");  // cut-off sequence
  EXPECT_EQ(Cp1251ToUtf8(uint8_t{0xC0}), "А");
}

// What a crafted process name, USB string or device identification would send to a terminal
// is shown, not obeyed.
TEST(VisibleText, ControlCharactersAndBrokenUtf8AreShownEscaped) {
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"FT232R USB UART", "FT232R USB UART"},
      {"Прибор №5 ёЁ → €", "Прибор №5 ёЁ → €"},
      {"\x1b]0;owned\x07\x1b[2J", "\\x1b]0;owned\\x07\\x1b[2J"},
      {std::string_view("a\0b\tc\nd\x7f", 8), "a\\x00b\\x09c\\x0ad\\x7f"},
      {"\xC2\x9B"
       "31m \xC2\x80\xC2\x9F \xC2\xA0",
       "\\u009b31m \\u0080\\u009f \xC2\xA0"},
      {"\xFF\xFE ok \x80", "\\xff\\xfe ok \\x80"},
      {"\xD0", "\\xd0"},                                        // cut short at the end
      {"\xD0x", "\\xd0x"},                                      // cut short by an ASCII byte
      {"\xC0\xAF \xE0\x80\xAF", "\\xc0\\xaf \\xe0\\x80\\xaf"},  // overlong '/'
      {"\xED\xA0\x80", "\\xed\\xa0\\x80"},                      // a surrogate
      {"\xF4\x90\x80\x80 \xF0\x9F\x98\x80", "\\xf4\\x90\\x80\\x80 \xF0\x9F\x98\x80"},
      {"C:\\ports\\COM3", "C:\\ports\\COM3"},  // a backslash of its own stays
      // Controls of the text's direction: a name that reads backwards, or as another.
      {"FUL \u202Eevil\u202C", "FUL \\u202eevil\\u202c"},
      {"\u202A\u202B\u202D \u2066\u2067\u2068\u2069 \u200E\u200F \u061C",
       "\\u202a\\u202b\\u202d \\u2066\\u2067\\u2068\\u2069 \\u200e\\u200f \\u061c"},
      {"\u200D\u2029\u202F\u2065\u206A\u061B",
       "\u200D\u2029\u202F\u2065\u206A\u061B"},  // neighbours
  };
  for (const auto& [raw, shown] : rows) {
    EXPECT_EQ(VisibleText(raw), shown) << shown;
  }
}

}  // namespace
}  // namespace oxa
