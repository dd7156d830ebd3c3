#include "actions/OxaActions.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace oxa {

namespace {

using enum TOxaError;

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

// Writes `values` from `reg`: one with function 6, several with function 16, which goes out
// whatever EWrite says (the write was asked for as such). `values` holds 1 to 123 values.
// A write of no register, or of more than one request carries, is refused before anything
// is sent, with code 3.
bool WriteCountOk(std::span<const uint16_t> values) {
  return !values.empty() && values.size() <= kMaxWriteRegisters;
}

template <class TResult>
TResult WrongSize() {
  TResult r;
  r.code = kWrongSize;
  r.lines = FailureLines(r.code, 0);
  return r;
}

void SendRegisters(ToxaFul0508& device, uint16_t reg, std::span<const uint16_t> values) {
  if (values.size() == 1) {
    device.WriteSingleRegister(reg, values[0]);
    return;
  }
  std::vector<uint8_t> data;
  for (const uint16_t v : values) {
    data.push_back(static_cast<uint8_t>(v >> 8));
    data.push_back(static_cast<uint8_t>(v & 0xFF));
  }
  const bool gate = device.EWrite();
  device.SetEWrite(true);
  device.WriteMultipleRegisters(reg, static_cast<uint16_t>(values.size()), data);
  device.SetEWrite(gate);
}

// Runs `send` (one write of `device`, `frame_bytes` long on the line) to every device: to
// address 0, without awaiting an answer, then quiet on the line while the devices act on it.
template <class Send>
TActionResult ToEveryDevice(ToxaFul0508& device, size_t frame_bytes, Send send) {
  const uint8_t address = device.NetAddr();
  device.SetNetAddr(0);
  device.SetAnswerExpected(false);
  const bool sent = WillSend(device);
  send();
  device.SetAnswerExpected(true);
  device.SetNetAddr(address);
  auto r = Outcome<TActionResult>(device, sent);
  if (!r.Ok()) return r;
  r.lines.push_back("Sent to every device, no answer expected");
  // The request is out of the program but may still be on its way (an adapter's queue): it
  // must leave before the port is closed or purged, and the devices need a moment for it.
  const uint32_t baud = std::max<uint32_t>(device.ComPort()->BaudRate(), 300);
  const auto wire_ms = static_cast<uint32_t>((frame_bytes * 10 * 1000 + baud - 1) / baud);
  device.ComPort()->Delay(wire_ms + kBroadcastTurnaroundMs);
  return r;
}

// The two bytes of one register, separated by a blank: "08 99".
std::string RegisterLine(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%.2X %.2X", value >> 8, value & 0xFF);
  return text;
}

}  // namespace

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

std::string StampText(std::span<const uint8_t, ToxaZeb106::kStampRecordSize> record,
                      TLanguage language) {
  const TStampRecord stamp = ToxaZeb106::DecodeStampRecord(record);
  if (!stamp.present) return std::string(Text(TText::kNoStampData, language));
  char text[32];
  std::snprintf(text, sizeof text, "%.4d 20%.2X.%.2X.%.2X", stamp.number, stamp.year, stamp.month,
                stamp.day);
  return text;
}

std::string_view DoserStateName(uint16_t state, TLanguage language) {
  switch (static_cast<TDoserState>(state)) {
    case TDoserState::kStopped:
      return Text(TText::kDoserStopped, language);
    case TDoserState::kRunning:
      return Text(TText::kDoserRunning, language);
    case TDoserState::kPaused:
      return Text(TText::kDoserPaused, language);
  }
  return Text(TText::kDoserError, language);
}

std::optional<uint16_t> RoundDoseTenths(long double litres) {
  const double tenths = std::round(static_cast<double>(litres * 10.0L));
  if (!(tenths >= 0 && tenths <= 65535)) return std::nullopt;
  return static_cast<uint16_t>(tenths);
}

uint16_t DoseTenths(long double litres) {
  if (const auto tenths = RoundDoseTenths(litres)) return *tenths;
  return litres > 0 ? 65535 : 0;
}

long double DoseLitres(uint16_t tenths) {
  return tenths / 10.0L;
}

std::vector<std::string> FailureLines(TOxaError code, uint8_t exception, TLanguage language) {
  std::vector<std::string> lines = {"Failed",
                                    "ErrCode=" + std::to_string(static_cast<uint32_t>(code))};
  // A refusal is named, so it never reads like a lost answer.
  if (exception != 0) {
    char number[4];
    std::snprintf(number, sizeof number, "%.2X", exception);
    std::string line = std::string(Text(TText::kException, language)) + " " + number;
    const std::string_view name = ExceptionName(exception, language);
    if (!name.empty()) line += ": " + std::string(name);
    lines.push_back(std::move(line));
  }
  return lines;
}

// ---- The masters -------------------------------------------------------------------------------

void ConfigureMasters(ToxaCustomComPort& port, ToxaFul0508& ful, ToxaZeb106& zeb) {
  for (ToxaCustomProtocol* master :
       {static_cast<ToxaCustomProtocol*>(&ful), static_cast<ToxaCustomProtocol*>(&zeb)}) {
    master->SetComPort(&port);
    master->SetPacketTimeout(500);
    master->SetByteTimeout(200);
    master->SetEWrite(false);
    master->SetAutoOpenPort(false);
  }
  ful.SetRepeatCount(3);
  zeb.SetRepeatCount(7);
  ful.SetAltRegMapping(false);
}

// ---- Actions -----------------------------------------------------------------------------------

TIdentification Identify(ToxaFul0508& device) {
  const bool sent = WillSend(device);
  std::string id;
  device.GetDevID(id);
  auto r = Outcome<TIdentification>(device, sent);
  if (r.Ok()) {
    r.id = id;
    r.standard = device.StandardId();
    r.lines.push_back("ID = " + id);
  }
  return r;
}

namespace {

// The registers in `data`, after the exchange that read them: values and the window's lines.
TRegisterRead RegistersOf(const ToxaFul0508& device, bool sent, uint16_t start, uint16_t count,
                          std::span<const uint8_t> data, TLanguage language);

// Runs `send` with EWrite on: a write asked for as such goes out.
template <class Send>
void Ungated(ToxaFul0508& device, Send send) {
  const bool gate = device.EWrite();
  device.SetEWrite(true);
  send();
  device.SetEWrite(gate);
}

void SendCoils(ToxaFul0508& device, uint16_t start, const std::vector<bool>& values) {
  Ungated(device, [&] {
    if (values.size() == 1) {
      device.WriteSingleCoil(start, values[0]);
    } else {
      device.WriteMultipleCoils(start, static_cast<uint16_t>(values.size()), PackBits(values));
    }
  });
}

}  // namespace

TRegisterRead ReadRegisters(ToxaFul0508& device, uint16_t start, uint16_t count,
                            TLanguage language) {
  const bool sent = WillSend(device);
  std::vector<uint8_t> data(2 * size_t{count});
  device.ReadHoldingRegisters(start, count, data);
  return RegistersOf(device, sent, start, count, data, language);
}

TRegisterRead ReadInputRegisters(ToxaFul0508& device, uint16_t start, uint16_t count,
                                 TLanguage language) {
  const bool sent = WillSend(device);
  std::vector<uint8_t> data(2 * size_t{count});
  device.ReadInputRegisters(start, count, data);
  return RegistersOf(device, sent, start, count, data, language);
}

TRegisterRead ReadWriteRegisters(ToxaFul0508& device, uint16_t read_start, uint16_t read_count,
                                 uint16_t write_start, std::span<const uint16_t> values,
                                 TLanguage language) {
  const bool sent = WillSend(device);
  std::vector<uint8_t> out;
  for (const uint16_t v : values) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
  }
  std::vector<uint8_t> data(2 * size_t{read_count});
  Ungated(device, [&] {
    device.ReadWriteRegisters(read_start, read_count, write_start,
                              static_cast<uint16_t>(values.size()), out, data);
  });
  return RegistersOf(device, sent, read_start, read_count, data, language);
}

TBitRead ReadBits(ToxaFul0508& device, uint8_t function, uint16_t start, uint16_t count) {
  const bool sent = WillSend(device);
  std::vector<uint8_t> packed((size_t{count} + 7) / 8);
  if (function == kFnReadCoils) {
    device.ReadCoils(start, count, packed);
  } else {
    device.ReadDiscreteInputs(start, count, packed);
  }
  auto r = Outcome<TBitRead>(device, sent);
  r.start = start;
  if (r.Ok()) {
    r.values = UnpackBits(packed, count);
    for (size_t i = 0; i < r.values.size(); ++i) {
      r.lines.push_back(std::to_string(start + i) + ": " + (r.values[i] ? "1" : "0"));
    }
  }
  return r;
}

TCoilWrite WriteCoils(ToxaFul0508& device, uint16_t start, const std::vector<bool>& values) {
  if (values.empty() || values.size() > kMaxWriteBits) {
    auto r = WrongSize<TCoilWrite>();
    r.start = start;
    return r;
  }
  const bool sent = WillSend(device);
  SendCoils(device, start, values);
  auto r = Outcome<TCoilWrite>(device, sent);
  r.start = start;
  r.written = values;
  if (r.Ok()) {
    std::string line = "Written from " + std::to_string(start) + ":";
    for (const bool v : values) line += v ? " 1" : " 0";
    r.lines.push_back(line);
  }
  return r;
}

TActionResult BroadcastCoils(ToxaFul0508& device, uint16_t start, const std::vector<bool>& values) {
  if (values.empty() || values.size() > kMaxWriteBits) return WrongSize<TActionResult>();
  const size_t frame = values.size() == 1 ? 8 : 9 + (values.size() + 7) / 8;
  return ToEveryDevice(device, frame, [&] { SendCoils(device, start, values); });
}

std::string DeviceIdValueText(std::span<const uint8_t> value) {
  const bool text = std::all_of(value.begin(), value.end(),
                                [](uint8_t b) { return b >= 0x20 && b != 0x7F && b != 0x98; });
  if (text) return Cp1251ToUtf8(value);
  std::string hex = "0x";
  for (const uint8_t b : value) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%.2X", b);
    hex += digits;
  }
  return hex;
}

TDeviceIdentification ReadDeviceIdentification(ToxaFul0508& device) {
  constexpr uint8_t kBasic = 1;
  constexpr uint8_t kExtended = 3;
  const bool sent = WillSend(device);
  TDeviceIdentification all;
  uint8_t read_code = kExtended;
  uint8_t object = 0;
  TModbusDeviceIdPage page;
  for (size_t answers = 0; answers < kMaxDeviceIdAnswers;) {
    if (!device.ReadDeviceIdentification(read_code, object, page)) {
      // A device that knows fewer categories refuses the others: ask it for the next one down,
      // from the start.
      const bool refused = device.LastError() == static_cast<uint32_t>(kDeviceException) &&
                           (device.LastException() == 2 || device.LastException() == 3);
      if (refused && all.objects.empty() && read_code > kBasic) {
        --read_code;
        object = 0;
        continue;
      }
      break;
    }
    ++answers;
    all.conformity = page.conformity;
    for (TModbusDeviceIdObject& o : page.objects) all.objects.push_back(std::move(o));
    // Only on to a later object: a device that points back would have us ask for ever.
    if (!page.more || page.next_object <= object) break;
    object = page.next_object;
  }
  auto r = Outcome<TDeviceIdentification>(device, sent);
  if (!r.Ok()) return r;
  r.conformity = all.conformity;
  r.objects = std::move(all.objects);
  for (const TModbusDeviceIdObject& o : r.objects) {
    const std::string_view name = DeviceIdObjectName(o.id);
    char id[8];
    std::snprintf(id, sizeof id, "0x%.2X", o.id);
    r.lines.push_back((name.empty() ? std::string(id) : std::string(name)) + " = " +
                      DeviceIdValueText(o.value));
  }
  return r;
}

namespace {

TRegisterRead RegistersOf(const ToxaFul0508& device, bool sent, uint16_t start, uint16_t count,
                          std::span<const uint8_t> data, TLanguage language) {
  auto r = Outcome<TRegisterRead>(device, sent);
  r.start = start;
  if (r.Ok()) {
    for (size_t i = 0; i < count; ++i) {
      r.values.push_back(static_cast<uint16_t>((data[2 * i] << 8) | data[2 * i + 1]));
    }
    r.lines.emplace_back(Text(TText::kDataLine, language));
    for (std::string& line : HexLines(data)) r.lines.push_back(std::move(line));
  }
  return r;
}

}  // namespace

TIntegratorRead ReadIntegrator(ToxaFul0508& device, size_t index, std::string_view separator,
                               TLanguage language) {
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
  r.name = e.Name(language);
  r.unit = e.Unit(language);
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

TArchiveRead ReadArchiveBlock(ToxaFul0508& device, uint16_t block, TLanguage language) {
  const bool sent = WillSend(device);
  std::array<uint8_t, 128> bytes{};
  device.ReadArchiveBlock(block, 1, bytes);
  auto r = Outcome<TArchiveRead>(device, sent);
  r.block = block;
  if (r.Ok()) {
    r.bytes = bytes;
    r.lines.emplace_back(Text(TText::kDataLine, language));
    for (std::string& line : HexLines(bytes)) r.lines.push_back(std::move(line));
  }
  return r;
}

TDose ReadDose(ToxaFul0508& device, TLanguage language) {
  const bool sent = WillSend(device);
  uint16_t tenths = 0;
  device.ReadDose(tenths);
  auto r = Outcome<TDose>(device, sent);
  if (r.Ok()) {
    r.tenths = tenths;
    r.litres = tenths / 10.0;
    r.lines.emplace_back(Text(TText::kDataLine, language));
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

TRegisterWrite WriteRegistersVerified(ToxaFul0508& device, uint16_t reg,
                                      std::span<const uint16_t> values) {
  if (!WriteCountOk(values)) {
    auto r = WrongSize<TRegisterWrite>();
    r.reg = reg;
    r.written.assign(values.begin(), values.end());
    return r;
  }
  const auto count = static_cast<uint16_t>(values.size());
  const bool sent = WillSend(device);
  SendRegisters(device, reg, values);
  const std::string write_request = sent ? device.LastSent() : std::string();
  if (device.LastError() != static_cast<uint32_t>(kOk)) {
    auto r = Outcome<TRegisterWrite>(device, sent);
    r.write_request = write_request;
    r.reg = reg;
    r.written.assign(values.begin(), values.end());
    return r;
  }
  const TRegisterRead back = ReadRegisters(device, reg, count);
  TRegisterWrite r;
  static_cast<TActionResult&>(r) = back;
  r.write_request = write_request;
  r.reg = reg;
  r.written.assign(values.begin(), values.end());
  r.wrote = true;
  if (!back.Ok()) return r;
  r.values = back.values;
  r.match = r.values == r.written;
  std::string line = "Written from " + std::to_string(reg) + ":";
  std::string read = "Read back:";
  for (const uint16_t v : r.written) line += " " + std::to_string(v);
  for (const uint16_t v : r.values) read += " " + std::to_string(v);
  r.lines = {r.match ? "OK" : "Failed", line, read + (r.match ? " (match)" : " (MISMATCH)")};
  return r;
}

TDoseWrite WriteDoseVerified(ToxaFul0508& device, uint16_t tenths, TLanguage language) {
  TDoseWrite r;
  const TDose w = WriteDose(device, tenths);
  if (!w.Ok()) {
    static_cast<TDose&>(r) = w;
  } else {
    static_cast<TDose&>(r) = ReadDose(device, language);
    r.wrote = true;
    r.match = r.Ok() && r.tenths == tenths;
    if (r.Ok() && !r.match) r.lines.front() = "Failed";
  }
  r.write_request = w.request;
  r.written = tenths;
  return r;
}

TActionResult BroadcastRegisters(ToxaFul0508& device, uint16_t reg,
                                 std::span<const uint16_t> values) {
  if (!WriteCountOk(values)) return WrongSize<TActionResult>();
  const size_t frame = values.size() == 1 ? 8 : 9 + 2 * values.size();
  return ToEveryDevice(device, frame, [&] { SendRegisters(device, reg, values); });
}

TActionResult BroadcastDose(ToxaFul0508& device, uint16_t tenths) {
  return ToEveryDevice(device, 8, [&] { device.WriteDose(tenths); });
}

TActionResult BroadcastDoserCommand(ToxaFul0508& device, TDoserCommand command) {
  return ToEveryDevice(device, 8, [&] { device.SendDoserCommand(command); });
}

TActionResult BroadcastDoserReset(ToxaFul0508& device) {
  return ToEveryDevice(device, 8, [&] { device.ResetDoser(); });
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

TDoserStateRead ReadDoserState(ToxaFul0508& device, TLanguage language) {
  const bool sent = WillSend(device);
  uint16_t state = 0;
  device.ReadDoserState(state);
  auto r = Outcome<TDoserStateRead>(device, sent);
  if (r.Ok()) {
    r.state = state;
    r.name = DoserStateName(state, language);
    r.lines.emplace_back(Text(TText::kDataLine, language));
    r.lines.push_back(RegisterLine(state));
    r.lines.push_back(std::string(Text(TText::kDoserStateLine, language)) + r.name);
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

TInfo10x ReadInfo10x(ToxaZeb106& device) {
  TInfo10x r;
  const bool sent = WillSend(device);
  const auto ok = [&device] { return device.LastError() == static_cast<uint32_t>(kOk); };
  device.GetDevID(r.id);
  if (ok()) device.GetSoftVer(r.version);
  if (ok()) device.GetDeviceNumber(r.number);
  r.code = static_cast<TOxaError>(device.LastError());
  if (sent) r.request = Last10xRequest(device);
  if (r.Ok()) {
    r.lines = {"OK", "ID = " + r.id, "Version = " + r.version, "Number = " + r.number};
  } else {
    r.id.clear();
    r.version.clear();
    r.number.clear();
    r.lines = FailureLines(r.code, 0);
  }
  return r;
}

TStampRead ReadStamp(ToxaZeb106& device, TLanguage language) {
  TStampRead r;
  const bool sent = WillSend(device);
  device.GetDevID(r.id);
  if (device.LastError() == static_cast<uint32_t>(TOxaError::kOk) &&
      ToxaZeb106::CarriesStamp(r.id)) {
    r.carries_stamp = true;
    device.ReadStampRecord(r.record);
  }
  r.code = static_cast<TOxaError>(device.LastError());
  if (sent) r.request = Last10xRequest(device);
  if (!r.Ok() || !r.carries_stamp) return r;
  const TStampRecord stamp = ToxaZeb106::DecodeStampRecord(r.record);
  r.present = stamp.present;
  r.text = StampText(r.record, language);
  if (stamp.present) {
    r.number = stamp.number;
    char date[16];
    std::snprintf(date, sizeof date, "20%.2X-%.2X-%.2X", stamp.year, stamp.month, stamp.day);
    r.date = date;
  }
  r.lines = {r.text};
  return r;
}

}  // namespace oxa
