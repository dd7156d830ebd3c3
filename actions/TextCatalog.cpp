#include "actions/TextCatalog.h"

#include <array>
#include <cstdio>

#include "protocols/oxaModBusProtocol.h"

namespace oxa {

namespace {

struct TEntry {
  TText id;
  std::string_view russian;
  std::string_view english;
};

using enum TText;

// Captions keep their blanks: a frame's caption has one on each side, and the Russian of
// Button3 two after its first word, as the window has always shown them. The outcome texts'
// Russian is ErrorMessages'; it is left empty here and taken from there.
constexpr TEntry kEntries[] = {
    {kGroupBox1, " Соединение ", " Connection "},
    {kLabel1, "Порт", "Port"},
    {kLabel2, "Скорость", "Speed"},
    {kLabel3, "Сетевой адрес прибора", "Device network address"},
    {kGroupBox6, " Тесты ", " Tests "},
    {kButton2, "Идентификация устройства (команда 17)", "Device identification (command 17)"},
    {kButton3, "Чтение регистров  (произв.) (команда 16)",
     "Reading registers (arbitrary) (command 16)"},
    {kLabel17, "Старт", "Start"},
    {kLabel18, "#", "#"},
    {kButton4, "Чтение интеграторов (команда 16 ***)", "Reading integrators (command 16 ***)"},
    {kButton5, "Чтение архива (команда 65)", "Reading the archive (command 65)"},
    {kLabel19, "Номер 128-байтного блока", "Number of the 128-byte block"},
    {kGroupBox7, " Данные ", " Data "},
    {kLabel20, "Запрос", "Request"},
    {kGroupBox8, " Управление дозатором ", " Doser control "},
    {kLabel21, "Значение дозы в литрах", "Dose value in litres"},
    {kButton6, "Прочитать", "Read"},
    {kButton7, "Записать", "Write"},
    {kButton8, "Старт", "Start"},
    {kButton9, "Пауза", "Pause"},
    {kButton10, "Стоп", "Stop"},
    {kButton12, "Прочитать состояние", "Read state"},
    {kButton11, "Сброс", "Reset"},
    {kButton1, "Выход", "Exit"},
    {kReady, "Готов к работе:   ", "Ready:   "},
    {kOpeningPort, "Открытие порта ", "Opening port "},
    {kPortNotOpened, "Не удалось открыть порт ", "Failed to open port "},
    {kSendingRequest, "Отправка запроса ", "Sending request "},
    {kClosingPort, "Закрытие порта ", "Closing port "},
    {kNoStampData, "Нет данных", "No data"},
    {kUnableToWrite, "Unable to write to ", "Unable to write to "},
    {kVirtualDeviceCaption, " — виртуальный прибор", " — virtual device"},
    {kVirtualDeviceFailed, "Виртуальный прибор не запущен: ", "The virtual device did not start: "},
    {kVirtualDevicePortHint, ": виртуальный прибор этой программы",
     ": the virtual device of this program"},
    // Each language is named in itself, so that whoever cannot read the other finds their own.
    {kLanguageMenuEnglish, "English", "English"},
    {kLanguageMenuRussian, "Русский", "Русский"},
    {kSettingsFile, "Файл настроек ", "The settings file "},
    {kSettingsNotRegular, " не является обычным файлом", " is not a regular file"},
    {kSettingsLargerThan, " больше ", " is larger than "},
    {kKilobytes, " КБ", " KB"},
    {kSettingsLeftAlone, ": программа работает с настройками по умолчанию и не изменяет этот файл.",
     ": the program runs with its default settings and leaves this file as it is."},
    {kPortMalformed, ": неверная запись (", ": malformed entry ("},
    {kPortTcpServer, ": сервер последовательных портов по TCP", ": serial device server over TCP"},
    {kPortModbusTcpServer, ": сервер или шлюз Modbus TCP", ": Modbus TCP server or gateway"},
    {kPortAbsent, ": устройство отсутствует", ": no device there"},
    {kDataLine, "=Данные=", "=Data="},
    {kDoserStateLine, "Состояние дозатора: ", "Doser state: "},
    {kDoserStopped, "остановлен", "stopped"},
    {kDoserRunning, "запущен", "running"},
    {kDoserPaused, "пауза", "paused"},
    {kDoserError, "ошибка", "error"},
    {kError0, "", "Operation completed successfully"},
    {kError1, "", "Error writing to the serial port"},
    {kError2, "", "Error reading from the serial port"},
    {kError3, "", "Wrong packet size"},
    {kError4, "", "Wrong network address of the device in the answer"},
    {kError5, "", "Wrong packet checksum"},
    {kError6, "", "The serial port is unavailable or does not exist"},
    {kError7, "", "Data packet integrity error"},
    {kOutcomeNotSent, "запрос не отправлен", "the request could not be sent"},
    {kOutcomeEchoAltered, "эхо запроса искажено или не пришло", "echo altered or missing"},
    {kOutcomeNot10xOverModbusTcp, "протокол 10x невозможен через Modbus TCP",
     "the 10x protocol is not possible over Modbus TCP"},
    {kOutcomePortLost, "порт потерял устройство", "the port lost its device"},
    {kOutcomeConnectionClosed, "сервер закрыл соединение", "the server closed the connection"},
    {kOutcomeNoAnswer, "нет ответа от адреса ", "no answer from address "},
    {kOutcomeWrongSize, "ответ неверной длины", "answer of the wrong length"},
    {kOutcomeWrongAddress, "неверный адрес в ответе", "wrong address in the answer"},
    {kOutcomeBadChecksum, "неверная контрольная сумма", "checksum wrong"},
    {kOutcomePortNotOpen, "порт не открылся", "the port could not be opened"},
    {kOutcomeException, "исключение ", "exception "},
    // The exceptions' English is protocols/' own; it is left empty here and taken from there.
    {kException, "Исключение", "Exception"},
    {kException01, "недопустимая функция", ""},
    {kException02, "недопустимый адрес данных", ""},
    {kException03, "недопустимое значение данных", ""},
    {kException04, "отказ устройства", ""},
    {kException05, "запрос принят, выполняется", ""},
    {kException06, "устройство занято", ""},
    {kException07, "отрицательное подтверждение", ""},
    {kException08, "ошибка чётности памяти", ""},
    {kException0A, "путь через шлюз недоступен", ""},
    {kException0B, "устройство за шлюзом не ответило", ""},
    // Russian as the device's documentation writes them, look-alike letters and all: "M3" and
    // the T of Gm1's unit are Latin, the Т of Gm2's unit and "ч" Cyrillic. English in ASCII.
    {kUnitCubicMetres, "M3", "m3"},
    {kUnitTonnes, "T", "t"},
    {kUnitSeconds, "сек", "s"},
    {kUnitCubicMetresPerHour, "M3/ч", "m3/h"},
    {kUnitTonnesPerHourLatin, "T/ч", "t/h"},
    {kUnitTonnesPerHourCyrillic, "\u0422/ч", "t/h"},
    {kUnitDegrees, "град.", "degC"},
    {kUnitMegapascals, "МПа", "MPa"},
    {kLogTitle, "Журнал обмена", "Exchange log"},
    {kLogColumnTime, "Время, мс", "Time, ms (first byte)"},
    {kLogColumnDirection, "Направление", "Direction"},
    {kLogColumnBytes, "Байты", "Bytes"},
    {kLogColumnMeaning, "Значение", "Meaning"},
    {kLogColumnVerdict, "Итог", "Verdict"},
    {kLogColumnResponse, "Ответ, мс", "Request to answer, ms"},
    {kLogColumnTimeHint, "Время первого байта кадра от начала журнала, мс",
     "Time of the frame's first byte since the log began, ms"},
    {kLogColumnResponseHint,
     "От первого байта запроса до первого байта ответа, мс (разность времён двух строк)",
     "From the request's first byte to the answer's first byte, ms (the two rows' times apart)"},
    {kLogVerdictGood, "КС верна", "checksum good"},
    {kLogVerdictBadChecksum, "КС неверна", "checksum bad"},
    {kLogVerdictException, "исключение", "exception"},
    {kLogVerdictIncomplete, "кадр не полон", "incomplete"},
    {kLogVerdictMalformed, "не кадр", "not a frame"},
    {kLogVerdictEcho, "эхо снято", "echo taken off"},
    {kLogVerdictNoAnswer, "нет ответа", "no answer"},
    {kLogBytesDropped, "байт отброшено, сохранено", "more bytes dropped, kept"},
    {kFrameTooShort, "короче кадра", "too short for a frame"},
    {kFrameAddress, "адрес", "addr"},
    {kFrameFunction, "функция", "fn"},
    {kFrameReadHoldingRegisters, "чтение регистров хранения", "read holding registers"},
    {kFrameWriteSingleRegister, "запись одного регистра", "write single register"},
    {kFrameWriteMultipleRegisters, "запись нескольких регистров", "write multiple registers"},
    {kFrameReportDeviceId, "идентификация устройства", "report device id"},
    {kFrameReadArchiveBlock, "чтение блока архива", "read archive block"},
    {kFrameException, "исключение", "exception"},
    {kFrameCrcOk, "CRC верна", "CRC ok"},
    {kFrameCrcBad, "CRC неверна", "CRC bad"},
    {kFrameIncomplete, "кадр не полон", "incomplete"},
    {kFrameOf, "из", "of"},
    {kFrameBytes, "байт", "bytes"},
    {kFrameStandardLayout, "стандартный формат", "standard layout"},
    {kFrameFulLayout, "формат FUL, текст из", "FUL layout, text of"},
    {kFrameBytesAfter, "байт после него", "bytes after it"},
    {kFrameRequest, "запрос", "request"},
    {kFrameAnswer, "ответ", "answer"},
    {kFrameComplementBad, "(дополнение неверно)", "(complement bad)"},
    {kFrameCommand, "команда", "cmd"},
    {kFrameLengthBad, "длина неверна", "length bad"},
    {kFrameChecksumOk, "КС верна", "checksum ok"},
    {kFrameChecksumBad, "КС неверна", "checksum bad"},
    {kFrameEcho, "эхо запроса", "echo of the request"},
    {kFrameTransaction, "транзакция", "transaction"},
    {kFrameHeaderOk, "заголовок верен", "header ok"},
    {kFrameProtocolIdBad, "идентификатор протокола не 0", "protocol id not 0"},
    {kLogPortOpened, "порт открыт", "port opened"},
    {kLogPortFailed, "порт не открылся", "port failed to open"},
    {kLogPortClosed, "порт закрыт", "port closed"},
    {kLogRequests, "Запросов", "Requests"},
    {kLogGoodAnswers, "Верных ответов", "Good answers"},
    {kLogTimeouts, "Тайм-аутов", "Time-outs"},
    {kLogChecksumErrors, "Ошибок КС", "Checksum errors"},
    {kLogExceptions, "Исключений", "Exceptions"},
    {kLogMedianResponse, "Медиана ответа, мс", "Median response, ms"},
    {kLogGreatestResponse, "Наибольший ответ, мс", "Greatest response, ms"},
    {kLogDropped, "Старых строк удалено", "Oldest rows dropped"},
    {kLogClear, "Очистить", "Clear"},
    {kLogCopy, "Копировать", "Copy"},
    {kSelectAll, "Выделить всё", "Select all"},
    {kLogSaveText, "Сохранить как текст...", "Save as text..."},
    {kLogSaveCsv, "Сохранить как CSV...", "Save as CSV..."},
    {kMonitorTitle, "Мониторинг", "Monitor"},
    {kArchiveRangeTitle, "Чтение архива", "Archive download"},
    // Archive ranges
    {kArchiveFirstBlock, "Первый блок", "First block"},
    {kArchiveLastBlock, "Последний блок", "Last block"},
    {kArchiveFileLabel, "Файл", "File"},
    {kArchiveBrowse, "Обзор...", "Browse..."},
    {kArchiveResume, "Продолжить прерванный файл", "Resume an interrupted file"},
    {kArchiveStart, "Читать", "Download"},
    {kArchiveStop, "Остановить", "Stop"},
    {kArchiveClose, "Закрыть", "Close"},
    {kArchiveFileFilter, "Блоки архива (*.bin)", "Archive blocks (*.bin)"},
    {kArchiveProgressBlocks, "Блоков ", "Blocks "},
    {kArchiveOf, " из ", " of "},
    {kArchivePerSecond, " блок/с", " blocks/s"},
    {kArchiveTimeLeft, ", осталось ", ", time left "},
    {kArchiveComplete, "Архив сохранён: ", "Archive saved: "},
    {kArchiveStopped, "Остановлено, блоков в файле: ", "Stopped, blocks in the file: "},
    {kArchiveIdentificationFailed,
     "Идентификация не прочитана: ", "The identification was not read: "},
    {kArchiveBlock, "Блок ", "Block "},
    {kArchiveNotRead, " не прочитан: ", " was not read: "},
    {kArchiveBadRange, "Номера блоков от 0 до ", "Block numbers run from 0 to "},
    {kArchiveBadRangeEnd, ", первый не больше последнего", ", the first not above the last"},
    {kArchiveNoPath, "Не указан файл", "No file named"},
    {kArchiveFileRefused, "Нельзя писать в ", "Cannot write "},
    {kArchiveNoRecord, "Файл не продолжить: нет записи о его начале ",
     "The file cannot be resumed: there is no record of its start "},
    {kArchiveBadRecord, "Файл не продолжить: запись о его начале испорчена ",
     "The file cannot be resumed: the record of its start is damaged "},
    {kArchiveOtherRange, "Файл не продолжить: он начат для блоков ",
     "The file cannot be resumed: it was begun for blocks "},
    {kArchiveNotWholeBlocks, "Файл не продолжить: в нём не целые блоки этого диапазона ",
     "The file cannot be resumed: it is not whole blocks of this range "},
    {kArchiveOtherDevice, "Файл не продолжить: он начат с другого прибора, ",
     "The file cannot be resumed: it was begun from another device, "},
    {kArchiveWriteFailed, "Ошибка записи ", "Writing failed: "},
    {kArchiveCommitFailed, "Не удалось заменить ", "Cannot replace "},
    {kArchiveInUse, "Файл уже загружается: ", "The file is being downloaded already: "},
    {kArchiveHeldBy, ", его держит ", ", held by "},
    {kArchiveWhole, "В файле уже весь диапазон: ", "The file holds the whole range already: "},
    {kArchivePortBusy, "Порт занят другой работой", "The port is busy with other work"},
    // Monitor
    {kPollTime, "время", "time"},
    {kPollOutcome, "результат", "outcome"},
    {kPollDoserState, "состояние дозатора", "doser state"},
    {kMonitorIntegrators, "Интеграторы", "Integrators"},
    {kMonitorFirstRegister, "Регистры с", "Registers from"},
    {kMonitorRegisterCount, "количество", "count"},
    {kMonitorInterval, "Интервал, мс", "Interval, ms"},
    {kMonitorLog, "Журнал CSV", "CSV log"},
    {kMonitorBrowse, "Обзор...", "Browse..."},
    {kMonitorStart, "Пуск", "Start"},
    {kMonitorStop, "Стоп", "Stop"},
    {kMonitorColumnName, "Величина", "Series"},
    {kMonitorColumnValue, "Значение", "Reading"},
    {kMonitorColumnUnit, "Ед. изм.", "Unit"},
    {kMonitorColumnTime, "Время чтения", "Read at"},
    {kMonitorReads, "Чтений", "Reads"},
    {kMonitorFailures, "Ошибок", "Failures"},
    {kMonitorCsvFilter, "Файлы CSV (*.csv)", "CSV files (*.csv)"},
    {kMonitorIntervalTooShort, "Интервал опроса должен быть не меньше 100 мс",
     "The interval must be at least 100 ms"},
    {kMonitorNothingChosen, "Выберите интеграторы или регистры для опроса",
     "Choose integrators or registers to poll"},
    {kMonitorLogUnwritable, "Не удалось записать журнал", "Cannot write the log"},
    {kMonitorLogFailed, "Запись журнала прервана", "Writing the log stopped"},
    {kMonitorNotRegular, "не обычный файл", "not a regular file"},
    {kMonitorNotOurs, "другие могли бы дописать в него строки; удалите его или выберите другое имя",
     "others could add rows to it; remove it, or choose another name"},
    {kMonitorLogExists, "Файл журнала уже есть, он оставлен как был:",
     "The log file exists already and was left as it is:"},
    {kMonitorReplaceLog, "Заменить файл журнала", "Replace the log file"},
    {kMonitorAddresses, "Адреса", "Addresses"},
    {kMonitorAddressesHint, "адрес формы; или 1,3,5-7", "the form's address; or 1,3,5-7"},
    {kMonitorRegisterType, "тип", "type"},
    {kMonitorBadAddresses,
     "Адреса приборов: числа от 1 до 247 или диапазоны через запятую (1,3,5-7)",
     "Device addresses: numbers from 1 to 247 or ranges, separated by commas (1,3,5-7)"},
    {kMonitorTypeCount, "Число регистров должно быть чётным: два регистра на значение типа",
     "The register count must be even: two registers a value of type"},
    {kPlotPause, "Пауза графика", "Pause the plot"},
    {kPlotFollow, "Следить за новыми значениями", "Follow the newest values"},
    {kPlotCopy, "Копировать рисунок", "Copy the picture"},
    {kPlotSave, "Сохранить рисунок PNG...", "Save the picture as PNG..."},
    {kPlotPngFilter, "Рисунки PNG (*.png)", "PNG pictures (*.png)"},
    {kPlotSaveFailed, "Не удалось сохранить рисунок", "The picture could not be saved"},
    {kPlotPaused, "Пауза: опрос продолжается", "Paused: polling goes on"},
};

constexpr size_t kErrorTexts = 8;

// The Modbus exception codes with a name, in the order of their texts.
constexpr uint8_t kExceptionCodes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x0A, 0x0B};
static_assert(std::size(kExceptionCodes) ==
              static_cast<size_t>(kException0B) - static_cast<size_t>(kException01) + 1);

uint8_t ExceptionCode(TText id) {
  return kExceptionCodes[static_cast<size_t>(id) - static_cast<size_t>(kException01)];
}

// Each entry at the place of its id, so Text() is one index.
constexpr bool InOrder() {
  for (size_t i = 0; i < std::size(kEntries); ++i) {
    if (static_cast<size_t>(kEntries[i].id) != i) return false;
  }
  return std::size(kEntries) == static_cast<size_t>(kCount);
}
static_assert(InOrder(), "every text once, in the order of TText");

}  // namespace

std::optional<TLanguage> ParseLanguage(std::string_view text) {
  const auto is = [text](std::string_view name) {
    if (text.size() != name.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
      const char c =
          text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
      if (c != name[i]) return false;
    }
    return true;
  };
  if (is("ru")) return TLanguage::kRussian;
  if (is("en")) return TLanguage::kEnglish;
  return std::nullopt;
}

std::string_view LanguageName(TLanguage language) {
  return language == TLanguage::kRussian ? "ru" : "en";
}

std::string_view Text(TText id, TLanguage language) {
  const auto i = static_cast<size_t>(id);
  if (i >= std::size(kEntries)) return {};
  if (id >= kError0 && id <= kError7 && language == TLanguage::kRussian) {
    return ErrorMessages[i - static_cast<size_t>(kError0)];
  }
  if (id >= kException01 && id <= kException0B && language == TLanguage::kEnglish) {
    return ModbusExceptionName(ExceptionCode(id));
  }
  return language == TLanguage::kRussian ? kEntries[i].russian : kEntries[i].english;
}

std::string_view ErrorText(uint32_t code, TLanguage language) {
  if (code >= kErrorTexts) return {};
  return Text(static_cast<TText>(static_cast<size_t>(kError0) + code), language);
}

std::string OutcomeText(TOxaError code, uint8_t exception, const TOutcomeLine& line,
                        TLanguage language) {
  const auto text = [language](TText id) { return std::string(Text(id, language)); };
  switch (code) {
    case TOxaError::kOk:
      return std::string(ErrorText(code, language));
    case TOxaError::kNoPortOrWriteFailed:
      if (line.lost) return text(line.tcp ? kOutcomeConnectionClosed : kOutcomePortLost);
      if (line.ten_x_over_modbus_tcp) return text(kOutcomeNot10xOverModbusTcp);
      return text(line.echo_failed ? kOutcomeEchoAltered : kOutcomeNotSent);
    case TOxaError::kNoAnswer:
      return text(kOutcomeNoAnswer) + std::to_string(line.address);
    case TOxaError::kWrongSize:
      return text(kOutcomeWrongSize);
    case TOxaError::kWrongAddress:
      return text(kOutcomeWrongAddress);
    case TOxaError::kWrongChecksum:
      return text(kOutcomeBadChecksum);
    case TOxaError::kPortNotOpen:
      return text(kOutcomePortNotOpen);
    case TOxaError::kDeviceException: {
      char number[8];
      std::snprintf(number, sizeof number, "%.2X", exception);
      const std::string_view name = ExceptionName(exception, language);
      return text(kOutcomeException) + number +
             (name.empty() ? std::string() : " (" + std::string(name) + ")");
    }
  }
  return std::string(ErrorText(code, language));
}

std::string_view ExceptionName(uint8_t code, TLanguage language) {
  for (size_t i = 0; i < std::size(kExceptionCodes); ++i) {
    if (kExceptionCodes[i] == code) {
      return Text(static_cast<TText>(static_cast<size_t>(kException01) + i), language);
    }
  }
  return {};
}

}  // namespace oxa
