#include "actions/OxaActions.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace oxa {

namespace {

using enum TOxaError;

constexpr std::string_view kDataLine = "=Данные=";

// The port is bound and open, so the master sends its request (and records it in LastSent);
// otherwise it ends before sending anything.
bool WillSend(const ToxaCustomProtocol& device) {
  return device.ComPort() != nullptr && device.ComPort()->Opened();
}

// Fills in the outcome of the Modbus exchange just made: its code, the device's exception,
// the request, and the failure lines or "OK" (the action adds its own lines after it).
template <class Result>
Result Outcome(const ToxaFul0508& device, bool sent) {
  Result r;
  r.code = static_cast<TOxaError>(device.LastError());
  r.exception = device.LastException();
  if (sent) r.request = device.LastSent();
  if (r.Ok()) {
    r.lines = {"OK"};
  } else {
    r.lines = FailureLines(r.code, r.exception);
  }
  return r;
}

// The two bytes of one register, separated by a blank: "08 99".
std::string RegisterLine(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%.2X %.2X", value >> 8, value & 0xFF);
  return text;
}

std::string Replaced(std::string text, char from, std::string_view to) {
  std::string out;
  for (char c : text) {
    if (c == from) {
      out += to;
    } else {
      out += c;
    }
  }
  return out;
}

// "%12.6f" without the C library's locale: six decimals, right-aligned in 12 characters.
std::string FixedText(double value) {
  char text[400];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  std::string s = ec == std::errc() ? std::string(text, end) : std::string();
  if (s.size() < 12) s.insert(0, 12 - s.size(), ' ');
  return s;
}

// One UTF-8 character of `text` at `pos` folded for comparing integrator names: Cyrillic
// letters that look like Latin ones become those, and every letter lower case.
std::string FoldedName(std::string_view text) {
  // Cyrillic capitals U+0410..U+042F and small letters U+0430..U+044F that look like Latin
  // letters in either case.
  struct Fold {
    char32_t cyrillic;
    char latin;
  };
  static constexpr Fold kLookAlikes[] = {{U'А', 'a'}, {U'В', 'b'}, {U'Е', 'e'}, {U'К', 'k'},
                                         {U'М', 'm'}, {U'Н', 'h'}, {U'О', 'o'}, {U'Р', 'p'},
                                         {U'С', 'c'}, {U'Т', 't'}, {U'Х', 'x'}, {U'У', 'y'}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    // Two-byte sequences D0 xx and D1 xx cover U+0400..U+047F.
    if ((c == 0xD0 || c == 0xD1) && i + 1 < text.size()) {
      const char32_t code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
      char32_t upper = code;
      if (code >= U'а' && code <= U'я') upper = code - 0x20;
      bool folded = false;
      for (const Fold& f : kLookAlikes) {
        if (f.cyrillic == upper) {
          out += f.latin;
          folded = true;
        }
      }
      if (!folded) {
        // Other Cyrillic letters compare in their small form.
        const char32_t lower = code >= U'А' && code <= U'Я' ? code + 0x20 : code;
        out += static_cast<char>(0xC0 | (lower >> 6));
        out += static_cast<char>(0x80 | (lower & 0x3F));
      }
      i += 2;
      continue;
    }
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    ++i;
  }
  return out;
}

}  // namespace

// clang-format off
const std::array<TIntegrator, ToxaFul0508::kIntegratorCount> kIntegrators = [] {
  constexpr std::string_view kNames[] = {
      "V1",    "V2",    "V1r",   "V2r",   "Vd",    "M1",    "M2",    "M1r",
      "M2r",   "V1dop", "V2dop", "M1dop", "M2dop", "M1r dop", "M2r dop", "Tall",
      "Tнар1", "Tнар2", "Tmin1", "Tmin2", "Tmax1", "Tmax2", "Terr1", "Terr2",
      "Gv1",   "Gv2",   "Gm1",   "Gm2",   "\u04221", "\u04222", "P1",  "P2"};
  constexpr std::string_view kUnits[] = {
      "M3",   "M3",   "M3",   "M3",   "M3",   "T",    "T",    "T",
      "T",    "M3",   "M3",   "T",    "T",    "T",    "T",    "сек",
      "сек",  "сек",  "сек",  "сек",  "сек",  "сек",  "сек",  "сек",
      "M3/ч", "M3/ч", "T/ч",  "\u0422/ч", "град.", "град.", "МПа", "МПа"};
  std::array<TIntegrator, ToxaFul0508::kIntegratorCount> table{};
  for (size_t i = 0; i < table.size(); ++i) {
    table[i] = {i, ToxaFul0508::kIntegratorRegs[i], kNames[i], kUnits[i],
                ToxaFul0508::IsLongIntegrator(i)};
  }
  return table;
}();
// clang-format on

// ---- Texts and conversions ---------------------------------------------------------------------

std::vector<std::string> HexLines(std::span<const uint8_t> bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < bytes.size(); ++i) {
    line += HexBytes(bytes.subspan(i, 1));
    if (i % 16 == 15) {
      lines.push_back(std::move(line));
      line.clear();
    }
  }
  lines.push_back(std::move(line));
  return lines;
}

std::string IntegratorValueText(size_t index, std::span<const uint8_t, 4> raw,
                                std::string_view separator) {
  const uint32_t word = BigEndian32(raw);
  if (ToxaFul0508::IsLongIntegrator(index)) return std::to_string(word);
  return Replaced(FixedText(static_cast<double>(std::bit_cast<float>(word))), '.', separator);
}

std::string StampText(std::span<const uint8_t, ToxaZeb106::kStampRecordSize> record) {
  const TStampRecord stamp = ToxaZeb106::DecodeStampRecord(record);
  if (!stamp.present) return "Нет данных";
  char text[32];
  std::snprintf(text, sizeof text, "%.4d 20%.2X.%.2X.%.2X", stamp.number, stamp.year, stamp.month,
                stamp.day);
  return text;
}

std::string_view DoserStateName(uint16_t state) {
  switch (static_cast<TDoserState>(state)) {
    case TDoserState::kStopped:
      return "остановлен";
    case TDoserState::kRunning:
      return "запущен";
    case TDoserState::kPaused:
      return "пауза";
  }
  return "ошибка";
}

uint16_t DoseTenths(long double litres) {
  const double tenths = std::trunc(static_cast<double>(litres * 10.0L));
  if (!(tenths > 0)) return 0;
  if (tenths > 65535) return 65535;
  return static_cast<uint16_t>(tenths);
}

long double DoseLitres(uint16_t tenths) {
  return tenths / 10.0L;
}

std::vector<std::string> FailureLines(TOxaError code, uint8_t exception) {
  std::vector<std::string> lines = {"Failed",
                                    "ErrCode=" + std::to_string(static_cast<uint32_t>(code))};
  // A refusal is named, so it never reads like a lost answer.
  if (exception != 0) {
    char text[16];
    std::snprintf(text, sizeof text, "Exception %.2X", exception);
    const std::string_view name = ModbusExceptionName(exception);
    lines.push_back(name.empty() ? std::string(text)
                                 : std::string(text) + ": " + std::string(name));
  }
  return lines;
}

std::string IntegratorListText(size_t index) {
  if (index >= kIntegrators.size()) return {};
  const TIntegrator& e = kIntegrators[index];
  return std::to_string(e.reg) + " (" + std::string(e.name) + ") " +
         (e.is_long ? "[long]" : "[float]");
}

std::optional<size_t> FindIntegrator(std::string_view key) {
  uint32_t reg = 0;
  const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), reg);
  if (!key.empty() && ec == std::errc() && end == key.data() + key.size()) {
    for (const TIntegrator& e : kIntegrators) {
      if (e.reg == reg) return e.index;
    }
    return std::nullopt;
  }
  const std::string folded = FoldedName(key);
  for (const TIntegrator& e : kIntegrators) {
    if (FoldedName(e.name) == folded) return e.index;
  }
  return std::nullopt;
}

// ---- Actions -----------------------------------------------------------------------------------

TIdentification Identify(ToxaFul0508& device) {
  const bool sent = WillSend(device);
  std::string id;
  device.GetDevID(id);
  auto r = Outcome<TIdentification>(device, sent);
  if (r.Ok()) {
    r.id = id;
    r.lines.push_back("ID = " + id);
  }
  return r;
}

TRegisterRead ReadRegisters(ToxaFul0508& device, uint16_t start, uint16_t count) {
  const bool sent = WillSend(device);
  std::vector<uint8_t> data(2 * size_t{count});
  device.ReadHoldingRegisters(start, count, data);
  auto r = Outcome<TRegisterRead>(device, sent);
  r.start = start;
  if (r.Ok()) {
    for (size_t i = 0; i < count; ++i) {
      r.values.push_back(static_cast<uint16_t>((data[2 * i] << 8) | data[2 * i + 1]));
    }
    r.lines.emplace_back(kDataLine);
    for (std::string& line : HexLines(data)) r.lines.push_back(std::move(line));
  }
  return r;
}

TIntegratorRead ReadIntegrator(ToxaFul0508& device, size_t index, std::string_view separator) {
  if (index >= kIntegrators.size()) {
    TIntegratorRead r;
    r.index = index;
    r.code = kWrongSize;
    r.lines = FailureLines(r.code, 0);
    return r;
  }
  const bool sent = WillSend(device);
  std::array<uint8_t, 4> raw{};
  device.ReadIntegrator(index, raw);
  auto r = Outcome<TIntegratorRead>(device, sent);
  const TIntegrator& e = kIntegrators[index];
  r.index = index;
  r.reg = e.reg;
  r.name = e.name;
  r.unit = e.unit;
  r.is_long = e.is_long;
  if (r.Ok()) {
    r.raw = raw;
    r.word = BigEndian32(raw);
    r.value =
        e.is_long ? static_cast<double>(r.word) : static_cast<double>(std::bit_cast<float>(r.word));
    r.value_text = IntegratorValueText(index, raw, separator);
    r.lines.push_back("Raw: " + HexBytes(raw));
    r.lines.push_back(r.name + " = " + r.value_text + " " + r.unit);
  }
  return r;
}

TArchiveRead ReadArchiveBlock(ToxaFul0508& device, uint16_t block) {
  const bool sent = WillSend(device);
  std::array<uint8_t, 128> bytes{};
  device.ReadArchiveBlock(block, 1, bytes);
  auto r = Outcome<TArchiveRead>(device, sent);
  r.block = block;
  if (r.Ok()) {
    r.bytes = bytes;
    r.lines.emplace_back(kDataLine);
    for (std::string& line : HexLines(bytes)) r.lines.push_back(std::move(line));
  }
  return r;
}

TDose ReadDose(ToxaFul0508& device) {
  const bool sent = WillSend(device);
  uint16_t tenths = 0;
  device.ReadDose(tenths);
  auto r = Outcome<TDose>(device, sent);
  if (r.Ok()) {
    r.tenths = tenths;
    r.litres = tenths / 10.0;
    r.lines.emplace_back(kDataLine);
    r.lines.push_back(RegisterLine(tenths));
  }
  return r;
}

TDose WriteDose(ToxaFul0508& device, uint16_t tenths) {
  const bool sent = WillSend(device);
  device.WriteDose(tenths);
  auto r = Outcome<TDose>(device, sent);
  r.tenths = tenths;
  r.litres = tenths / 10.0;
  return r;
}

TActionResult SendDoserCommand(ToxaFul0508& device, TDoserCommand command) {
  const bool sent = WillSend(device);
  device.SendDoserCommand(command);
  return Outcome<TActionResult>(device, sent);
}

TActionResult ResetDoser(ToxaFul0508& device) {
  const bool sent = WillSend(device);
  device.ResetDoser();
  return Outcome<TActionResult>(device, sent);
}

TDoserStateRead ReadDoserState(ToxaFul0508& device) {
  const bool sent = WillSend(device);
  uint16_t state = 0;
  device.ReadDoserState(state);
  auto r = Outcome<TDoserStateRead>(device, sent);
  if (r.Ok()) {
    r.state = state;
    r.name = DoserStateName(state);
    r.lines.emplace_back(kDataLine);
    r.lines.push_back(RegisterLine(state));
    r.lines.push_back("Состояние дозатора: " + r.name);
  }
  return r;
}

std::string Last10xRequest(const ToxaZeb106& device) {
  // The frame as it stands in the master's buffer; its length follows from its N.
  const auto tx = device.TxBuf();
  return HexBytes(tx.first(std::min(tx.size(), size_t{tx[5]} + k10xFrameOverhead)));
}

TIdentification Identify10x(ToxaZeb106& device) {
  TIdentification r;
  const bool sent = WillSend(device);
  std::string id;
  device.GetDevID(id);
  r.code = static_cast<TOxaError>(device.LastError());
  if (sent) r.request = Last10xRequest(device);
  if (r.Ok()) {
    r.id = id;
    r.lines = {"OK", "ID = " + id};
  } else {
    r.lines = FailureLines(r.code, 0);
  }
  return r;
}

TStampRead ReadStamp(ToxaZeb106& device) {
  TStampRead r;
  const bool sent = WillSend(device);
  device.GetDevID(r.id);
  if (device.LastError() == static_cast<uint32_t>(TOxaError::kOk) && ToxaZeb106::CarriesStamp(r.id)) {
    r.carries_stamp = true;
    device.ReadStampRecord(r.record);
  }
  r.code = static_cast<TOxaError>(device.LastError());
  if (sent) r.request = Last10xRequest(device);
  if (!r.Ok() || !r.carries_stamp) return r;
  const TStampRecord stamp = ToxaZeb106::DecodeStampRecord(r.record);
  r.present = stamp.present;
  r.text = StampText(r.record);
  if (stamp.present) {
    r.number = stamp.number;
    char date[16];
    std::snprintf(date, sizeof date, "20%.2X-%.2X-%.2X", stamp.year, stamp.month, stamp.day);
    r.date = date;
  }
  r.lines = {r.text};
  return r;
}

// ---- The window's own messages -----------------------------------------------------------------

std::string ReadyText(std::string_view port, std::string_view speed) {
  return "Готов к работе:   " + std::string(port) + ", " + std::string(speed) + " bps";
}

std::string OpeningPortText(std::string_view port) {
  return "Открытие порта " + std::string(port);
}

std::string PortNotOpenedText(std::string_view port) {
  return "Не удалось открыть порт " + std::string(port);
}

std::string SendingRequestText() {
  return "Отправка запроса ";
}

std::string ClosingPortText(std::string_view port) {
  return "Закрытие порта " + std::string(port);
}

std::string UnableToWriteText(std::string_view path) {
  return "Unable to write to " + std::string(path);
}

std::string VirtualDeviceCaption(std::string_view caption) {
  return std::string(caption) + " — виртуальный прибор";
}

std::string VirtualDeviceFailedText(std::string_view reason) {
  return "Виртуальный прибор не запущен: " + std::string(reason);
}

}  // namespace oxa
