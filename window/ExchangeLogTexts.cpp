#include "window/ExchangeLogTexts.h"

#include <array>
#include <cstddef>

namespace oxa {

namespace {

struct TEntry {
  TLogText id;
  std::string_view russian;
  std::string_view english;
};

// In the order of TLogText; checked at compile time below.
constexpr std::array<TEntry, static_cast<size_t>(TLogText::kCount)> kTexts{{
    {TLogText::kTitle, "Журнал обмена", "Exchange log"},
    {TLogText::kColumnTime, "Время, мс", "Time, ms"},
    {TLogText::kColumnDirection, "Направление", "Direction"},
    {TLogText::kColumnBytes, "Байты", "Bytes"},
    {TLogText::kColumnMeaning, "Значение", "Meaning"},
    {TLogText::kColumnVerdict, "Итог", "Verdict"},
    {TLogText::kColumnResponse, "Ответ, мс", "Response, ms"},
    {TLogText::kVerdictGood, "КС верна", "checksum good"},
    {TLogText::kVerdictBadChecksum, "КС неверна", "checksum bad"},
    {TLogText::kVerdictException, "исключение", "exception"},
    {TLogText::kVerdictIncomplete, "кадр не полон", "incomplete"},
    {TLogText::kVerdictMalformed, "не кадр", "not a frame"},
    {TLogText::kVerdictEcho, "эхо снято", "echo taken off"},
    {TLogText::kVerdictNoAnswer, "нет ответа", "no answer"},
    {TLogText::kPortOpened, "порт открыт", "port opened"},
    {TLogText::kPortFailed, "порт не открылся", "port failed to open"},
    {TLogText::kPortClosed, "порт закрыт", "port closed"},
    {TLogText::kRequests, "Запросов", "Requests"},
    {TLogText::kGoodAnswers, "Верных ответов", "Good answers"},
    {TLogText::kTimeouts, "Тайм-аутов", "Time-outs"},
    {TLogText::kChecksumErrors, "Ошибок КС", "Checksum errors"},
    {TLogText::kExceptions, "Исключений", "Exceptions"},
    {TLogText::kMedianResponse, "Медиана ответа, мс", "Median response, ms"},
    {TLogText::kGreatestResponse, "Наибольший ответ, мс", "Greatest response, ms"},
    {TLogText::kDropped, "Старых строк удалено", "Oldest rows dropped"},
    {TLogText::kClear, "Очистить", "Clear"},
    {TLogText::kCopy, "Копировать", "Copy"},
    {TLogText::kSaveText, "Сохранить как текст...", "Save as text..."},
    {TLogText::kSaveCsv, "Сохранить как CSV...", "Save as CSV..."},
}};

constexpr bool InOrder() {
  for (size_t i = 0; i < kTexts.size(); ++i) {
    if (static_cast<size_t>(kTexts[i].id) != i) return false;
  }
  return true;
}
static_assert(InOrder(), "kTexts must list every TLogText in its order");

}  // namespace

std::string_view LogText(TLogText text, TLanguage language) {
  const size_t i = static_cast<size_t>(text);
  if (i >= kTexts.size()) return {};
  return language == TLanguage::kRussian ? kTexts[i].russian : kTexts[i].english;
}

}  // namespace oxa
