// The text catalog: every text in both languages, the Russian as the window has always shown
// it, and the texts built around a port or a reason.
#include <gtest/gtest.h>

#include "actions/OxaActions.h"
#include "actions/TextCatalog.h"
#include "actions/WindowTexts.h"

namespace oxa {
namespace {

using enum TText;

TEST(TextCatalog, EveryTextHasBothLanguages) {
  for (size_t i = 0; i < static_cast<size_t>(kCount); ++i) {
    EXPECT_FALSE(Text(TText(i), TLanguage::kRussian).empty()) << i;
    EXPECT_FALSE(Text(TText(i), TLanguage::kEnglish).empty()) << i;
  }
  EXPECT_TRUE(Text(kCount, TLanguage::kRussian).empty());
}

TEST(TextCatalog, TextsInEitherLanguage) {
  struct TRow {
    TText id;
    const char* russian;
    const char* english;
  };
  // The captions are held to the window's by its own tests; these are the texts around them.
  const TRow rows[] = {
      {kGroupBox6, " Тесты ", " Tests "},
      {kButton3, "Чтение регистров  (произв.) (команда 16)",
       "Reading registers (arbitrary) (command 16)"},
      {kDataLine, "=Данные=", "=Data="},
      {kDoserStateLine, "Состояние дозатора: ", "Doser state: "},
      {kDoserStopped, "остановлен", "stopped"},
      {kDoserRunning, "запущен", "running"},
      {kDoserPaused, "пауза", "paused"},
      {kDoserError, "ошибка", "error"},
      {kNoStampData, "Нет данных", "No data"},
      {kVirtualDevicePortHint, ": виртуальный прибор этой программы",
       ": the virtual device of this program"},
      {kError2, "Ошибка чтения из последовательного порта", "Error reading from the serial port"},
      {kUnitTonnesPerHourCyrillic, "\u0422/ч", "t/h"},
      {kLogBytesDropped, "байт отброшено, сохранено", "more bytes dropped, kept"},
      {kException02, "недопустимый адрес данных", "illegal data address"},
      {kFrameCrcOk, "CRC верна", "CRC ok"},
  };
  for (const TRow& row : rows) {
    EXPECT_EQ(Text(row.id, TLanguage::kRussian), row.russian) << row.english;
    EXPECT_EQ(Text(row.id, TLanguage::kEnglish), row.english) << row.english;
  }
  for (uint32_t code = 0; code < ErrorMessages.size(); ++code) {
    EXPECT_EQ(ErrorText(code, TLanguage::kRussian), ErrorMessages[code]) << code;
    EXPECT_EQ(ErrorText(code, TLanguage::kEnglish).empty(), ErrorMessages[code].empty()) << code;
  }
  EXPECT_TRUE(ErrorText(99, TLanguage::kEnglish).empty());
  // The exceptions' English is the protocol's own names; Russian has a name for each of them.
  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<uint8_t>(code);
    EXPECT_EQ(ExceptionName(c, TLanguage::kEnglish), ModbusExceptionName(c)) << code;
    EXPECT_EQ(ExceptionName(c, TLanguage::kRussian).empty(), ModbusExceptionName(c).empty())
        << code;
  }
}

TEST(TextCatalog, OutcomesInTheUsersTerms) {
  using enum TOxaError;
  struct TRow {
    TOxaError code;
    uint8_t exception;
    TOutcomeLine line;
    const char* russian;
    const char* english;
  };
  const TRow rows[] = {
      {kNoAnswer, 0, {.address = 7}, "нет ответа от адреса 7", "no answer from address 7"},
      {kDeviceException,
       2,
       {},
       "исключение 02 (недопустимый адрес данных)",
       "exception 02 (illegal data address)"},
      {kDeviceException, 0x42, {}, "исключение 42", "exception 42"},
      {kWrongChecksum, 0, {}, "неверная контрольная сумма", "checksum wrong"},
      {kWrongSize, 0, {}, "ответ неверной длины", "answer of the wrong length"},
      {kWrongAddress, 0, {}, "неверный адрес в ответе", "wrong address in the answer"},
      {kNoPortOrWriteFailed,
       0,
       {.echo_failed = true},
       "эхо запроса искажено или не пришло",
       "echo altered or missing"},
      {kNoPortOrWriteFailed,
       0,
       {.lost = true},
       "порт потерял устройство",
       "the port lost its device"},
      {kNoPortOrWriteFailed,
       0,
       {.lost = true, .tcp = true},
       "сервер закрыл соединение",
       "the server closed the connection"},
      {kNoPortOrWriteFailed, 0, {}, "запрос не отправлен", "the request could not be sent"},
      {kPortNotOpen, 0, {}, "порт не открылся", "the port could not be opened"},
      {kOk, 0, {}, "Операция выполнена успешно", "Operation completed successfully"},
  };
  for (const TRow& row : rows) {
    EXPECT_EQ(OutcomeText(row.code, row.exception, row.line, TLanguage::kRussian), row.russian);
    EXPECT_EQ(OutcomeText(row.code, row.exception, row.line, TLanguage::kEnglish), row.english);
  }
}

TEST(TextCatalog, WindowMessagesAroundTheirParts) {
  EXPECT_EQ(ReadyText("COM1", "9600"), "Готов к работе:   COM1, 9600 bps");
  EXPECT_EQ(ReadyText("COM1", "9600", TLanguage::kEnglish), "Ready:   COM1, 9600 bps");
  EXPECT_EQ(PortNotOpenedText("COM2"), "Не удалось открыть порт COM2");
  EXPECT_EQ(PortNotOpenedText("COM2", TLanguage::kEnglish), "Failed to open port COM2");
  EXPECT_EQ(SendingRequestText(TLanguage::kEnglish), "Sending request ");
  EXPECT_EQ(VirtualDeviceCaption("X", TLanguage::kEnglish), "X — virtual device");
  EXPECT_EQ(DoserStateName(7, TLanguage::kEnglish), "error");
}

TEST(TextCatalog, LanguageNames) {
  const std::pair<const char*, std::optional<TLanguage>> rows[] = {
      {"ru", TLanguage::kRussian}, {"EN", TLanguage::kEnglish}, {"En", TLanguage::kEnglish},
      {"de", std::nullopt},        {"", std::nullopt},          {"eng", std::nullopt},
      {"e", std::nullopt}};
  for (const auto& [text, language] : rows) EXPECT_EQ(ParseLanguage(text), language) << text;
  EXPECT_EQ(LanguageName(TLanguage::kEnglish), "en");
}

}  // namespace
}  // namespace oxa
