#include "serial/OxaUtils.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <thread>

namespace oxa {

void DelayMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SwapBytes32(uint32_t& value) {
  value = ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) |
          ((value & 0x00FF0000u) >> 8) | ((value & 0xFF000000u) >> 24);
}

void SwapBytes32(float& value) {
  auto bits = std::bit_cast<uint32_t>(value);
  SwapBytes32(bits);
  value = std::bit_cast<float>(bits);
}

void SwapBytes32(std::span<uint8_t, 4> bytes) {
  std::swap(bytes[0], bytes[3]);
  std::swap(bytes[1], bytes[2]);
}

uint32_t BigEndian32(std::span<const uint8_t> bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = (value << 8) | (i < bytes.size() ? bytes[i] : 0u);
  return value;
}

void PutBigEndian32(std::span<uint8_t> dest, uint32_t value) {
  for (size_t i = 0; i < 4 && i < dest.size(); ++i) {
    dest[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  }
}

void CopyBytes(std::span<uint8_t> dest, std::span<const uint8_t> src, uint8_t count) {
  const size_t n = std::min<size_t>({count, dest.size(), src.size()});
  std::copy_n(src.begin(), n, dest.begin());
}

uint8_t ByteToBcd(uint8_t value) {
  if (value / 10 > 9) return 0xFF;
  return static_cast<uint8_t>((value / 10) * 16 + value % 10);
}

namespace {
constexpr std::array<uint16_t, 256> MakeCrc16Table() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
    table[i] = static_cast<uint16_t>(crc);
  }
  return table;
}
}  // namespace

const std::array<uint16_t, 256> kCrc16Table = MakeCrc16Table();

uint16_t UpdateCrc16(uint16_t crc, const uint8_t* data, int32_t length) {
  if (data == nullptr || length <= 0) return crc;
  for (int32_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>((crc >> 8) ^ kCrc16Table[(crc ^ data[i]) & 0xFFu]);
  }
  return crc;
}

uint16_t UpdateCrc16(uint16_t crc, std::span<const uint8_t> data) {
  const auto length = static_cast<int32_t>(std::min<size_t>(data.size(), INT32_MAX));
  return UpdateCrc16(crc, data.data(), length);
}

const std::array<std::string_view, 11> ErrorMessages = {
    "Операция выполнена успешно",
    "Ошибка записи в последовательный порт",
    "Ошибка чтения из последовательного порта",
    "Неверный размер пакета",
    "Неверный сетевой адрес прибора в ответе",
    "Неверная контрольная сумма пакета",
    "Последовательный порт недоступен или не существует",
    "Ошибка целостности пакета данных",
    "",
    "",
    "",
};

// Entries 3, 5 and 8 of the Cyrillic table end in the Cyrillic letter Es; entries 0, 2 and 6
// of the Latin table are Cyrillic text.
const std::array<std::string_view, 12> DeviceTypeNamesCyr = {
    "Нет",      "ЗЕБ-104", "ФУЛ-05.05",  "ФУЛ-05.05С", "ФУЛ-05.07", "ФУЛ-05.07С",
    "ЗЕБ-104К", "ЗЕБ-106", "ФУЛ-05.03С", "ЗЕБ-104-1",  "ГНБ-ЗУФ",   "ЗЕБ-05М4",
};

const std::array<std::string_view, 12> DeviceTypeNamesLat = {
    "Нет",     "ZEB-104", "ФУЛ-05.05", "FUL-05.05.1", "FUL-05.07", "FUL-05.07.C",
    "ЗЕБ-101", "ZEB-106", "FUL0503-C", "ZEB-104-1",   "GNB-ZUF",   "M4",
};

namespace {

// Unicode code points of the bytes 0x80..0xFF of code page 1251 (0xFFFD where it has none),
// eight bytes a row.
// clang-format off
constexpr std::array<uint16_t, 128> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F
};
// clang-format on

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

uint8_t EncodeCp1251(uint32_t cp) {
  if (cp < 0x80) return static_cast<uint8_t>(cp);
  for (size_t i = 0; i < kCp1251High.size(); ++i) {
    if (kCp1251High[i] == cp && cp != 0xFFFD) return static_cast<uint8_t>(0x80 + i);
  }
  return '?';
}

}  // namespace

std::string Cp1251ToUtf8(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) AppendUtf8(out, b < 0x80 ? b : kCp1251High[b - 0x80]);
  return out;
}

std::string Cp1251ToUtf8(uint8_t byte) {
  return Cp1251ToUtf8(std::span<const uint8_t>(&byte, 1));
}

std::vector<uint8_t> Utf8ToCp1251(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t extra = 0;
    uint32_t cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      out.push_back('?');
      ++i;
      continue;
    }
    bool ok = i + extra < text.size();  // all continuation bytes are there
    for (size_t k = 1; ok && k <= extra; ++k) {
      const auto cont = static_cast<uint8_t>(text[i + k]);
      if ((cont & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cont & 0x3F);
    }
    if (!ok) {
      out.push_back('?');
      ++i;
      continue;
    }
    out.push_back(EncodeCp1251(cp));
    i += extra + 1;
  }
  return out;
}

std::string HexBytes(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
    out.push_back(' ');
  }
  return out;
}

namespace {

// The length of the valid UTF-8 sequence at the start of `text` (1 to 4), 0 when its first
// byte starts none: a stray continuation byte, an overlong form, a surrogate, a code point above
// U+10FFFF, or a sequence cut short.
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&text](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80;  // the range of the second byte
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates U+D800..U+DFFF
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// The code point of a valid UTF-8 sequence when it is one of the controls that change the
// direction of the text around them (U+061C, U+200E, U+200F, U+202A..U+202E, U+2066..U+2069);
// 0 for anything else. Shown as they are, they would make a name read as another one.
char32_t BidiControl(std::string_view sequence) {
  const auto byte = [&sequence](size_t i) { return static_cast<uint8_t>(sequence[i]); };
  char32_t c = 0;
  if (sequence.size() == 2) {
    c = (char32_t{byte(0)} & 0x1F) << 6 | (byte(1) & 0x3F);
  } else if (sequence.size() == 3) {
    c = (char32_t{byte(0)} & 0x0F) << 12 | (char32_t{byte(1)} & 0x3F) << 6 | (byte(2) & 0x3F);
  } else {
    return 0;
  }
  const bool bidi = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                    (c >= 0x2066 && c <= 0x2069);
  return bidi ? c : 0;
}

void AppendEscape(std::string& out, char kind, unsigned value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.push_back('\\');
  out.push_back(kind);
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out.push_back(kDigits[(value >> shift) & 0xF]);
}

}  // namespace

std::string VisibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t length = Utf8SequenceLength(text.substr(i));
    const auto lead = static_cast<uint8_t>(text[i]);
    if (length == 0 || (length == 1 && (lead < 0x20 || lead == 0x7F))) {
      AppendEscape(out, 'x', lead, 2);
      ++i;
      continue;
    }
    // U+0080..U+009F are C2 80..C2 9F.
    if (length == 2 && lead == 0xC2 && static_cast<uint8_t>(text[i + 1]) < 0xA0) {
      AppendEscape(out, 'u', static_cast<uint8_t>(text[i + 1]), 4);
    } else if (const char32_t bidi = BidiControl(text.substr(i, length)); bidi != 0) {
      AppendEscape(out, 'u', static_cast<unsigned>(bidi), 4);
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

}  // namespace oxa
