#include "actions/FrameDecoder.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <optional>

#include "protocols/oxa10xProtocol.h"
#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"

namespace oxa {

namespace {

std::string Hex2(uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

std::optional<TText> ModbusFunctionName(uint8_t function) {
  switch (function & 0x7F) {
    case kFnReadHoldingRegisters:
      return TText::kFrameReadHoldingRegisters;
    case kFnWriteSingleRegister:
      return TText::kFrameWriteSingleRegister;
    case kFnWriteMultipleRegisters:
      return TText::kFrameWriteMultipleRegisters;
    case kFnReportDeviceId:
      return TText::kFrameReportDeviceId;
    case kFnReadArchiveBlock:
      return TText::kFrameReadArchiveBlock;
    default:
      return std::nullopt;
  }
}

// `mbap`: the frame is the RTU form of a Modbus TCP frame, its CRC computed, its length the
// header's: the CRC says nothing, the length must agree with what the function carries.
TFrameDecoding DecodeModbus(std::span<const uint8_t> frame, bool sent, TLanguage language,
                            bool mbap = false) {
  const auto text_of = [language](TText id) { return std::string(Text(id, language)); };
  TFrameDecoding d;
  d.protocol = TWireProtocol::kModbus;
  std::string& text = d.meaning;
  if (frame.size() < 4) {
    text = "Modbus, " + text_of(TText::kFrameTooShort);
    d.verdict = TFrameVerdict::kMalformed;
    return d;
  }
  const uint8_t function = frame[1];
  text = "Modbus " + text_of(TText::kFrameAddress) + " " + std::to_string(frame[0]) + " " +
         text_of(TText::kFrameFunction) + " " + std::to_string(function & 0x7F);
  if (const std::optional<TText> name = ModbusFunctionName(function)) text += " " + text_of(*name);
  if (function & 0x80) {
    text += ", " + text_of(TText::kFrameException) + " " + Hex2(frame[2]);
    const std::string_view name = ExceptionName(frame[2], language);
    if (!name.empty()) text += " " + std::string(name);
  }
  const auto crc = [&](bool ok) {
    return ", " + text_of(mbap ? TText::kFrameHeaderOk
                          : ok ? TText::kFrameCrcOk
                               : TText::kFrameCrcBad);
  };
  if (sent) {
    const bool ok = ModbusCrcOk(frame);
    text += crc(ok);
    d.verdict = ok ? TFrameVerdict::kGood : TFrameVerdict::kBadChecksum;
    return d;
  }
  // An answer is judged as the master takes it: its length from its own bytes.
  const size_t length = ModbusAnswerEnd(frame);
  if (mbap && length != frame.size()) {
    text += ", " + text_of(TText::kFrameLengthBad);
    d.verdict = TFrameVerdict::kMalformed;
    return d;
  }
  if (length > frame.size()) {
    text += ", " + text_of(TText::kFrameIncomplete) + ": " + std::to_string(frame.size()) + " " +
            text_of(TText::kFrameOf) + " " + std::to_string(length) + " " +
            text_of(TText::kFrameBytes);
    d.verdict = TFrameVerdict::kIncomplete;
    return d;
  }
  const std::span<const uint8_t> answer = frame.first(length);
  const bool ok = ModbusCrcOk(answer);
  if (function == kFnReportDeviceId && ok) {
    if (ModbusDevIdLayout(answer) == TDevIdLayout::kStandard) {
      text += ", " + text_of(TText::kFrameStandardLayout) + ": " +
              ServerIdText(SplitServerId(answer.subspan(3, answer[2])));
    } else {
      text += ", " + text_of(TText::kFrameFulLayout) + " " + std::to_string(answer[3]) + " " +
              text_of(TText::kFrameBytes);
    }
  }
  text += crc(ok);
  if (length < frame.size()) {
    text += ", " + std::to_string(frame.size() - length) + " " + text_of(TText::kFrameBytesAfter);
  }
  if (!ok) {
    d.verdict = TFrameVerdict::kBadChecksum;
  } else if (function & 0x80) {
    d.verdict = TFrameVerdict::kException;
    d.exception = frame[2];
  }
  return d;
}

// A Modbus TCP frame: its header judged, then its RTU form decoded as a Modbus frame.
TFrameDecoding DecodeMbap(std::span<const uint8_t> frame, bool sent, TLanguage language) {
  const auto text_of = [language](TText id) { return std::string(Text(id, language)); };
  TFrameDecoding d;
  d.protocol = TWireProtocol::kModbusTcp;
  if (frame.size() < kMbapHeaderSize + 1) {
    d.meaning = "Modbus TCP, " + text_of(TText::kFrameTooShort);
    d.verdict = TFrameVerdict::kMalformed;
    return d;
  }
  const std::string head = "Modbus TCP " + text_of(TText::kFrameTransaction) + " " +
                           std::to_string(MbapTransaction(frame));
  if (frame[2] != 0 || frame[3] != 0) {
    d.meaning = head + ", " + text_of(TText::kFrameProtocolIdBad);
    d.verdict = TFrameVerdict::kMalformed;
    return d;
  }
  const size_t length = MbapAnswerLength(frame);
  if (length < kMbapHeaderSize + 1 || length > kModbusFrameBufferSize) {
    d.meaning = head + ", " + text_of(TText::kFrameLengthBad);
    d.verdict = TFrameVerdict::kMalformed;
    return d;
  }
  if (length > frame.size()) {
    d.meaning = head + ", " + text_of(TText::kFrameIncomplete) + ": " +
                std::to_string(frame.size()) + " " + text_of(TText::kFrameOf) + " " +
                std::to_string(length) + " " + text_of(TText::kFrameBytes);
    d.verdict = TFrameVerdict::kIncomplete;
    return d;
  }
  std::array<uint8_t, kModbusFrameBufferSize> rtu{};
  std::copy_n(frame.begin(), length, rtu.begin());
  const size_t rtu_length = MbapAnswerToRtu(rtu, length);
  TFrameDecoding modbus =
      DecodeModbus(std::span<const uint8_t>(rtu).first(rtu_length), sent, language, true);
  // "Modbus addr 1 ..." becomes "Modbus TCP transaction 7 addr 1 ...".
  d.meaning = head + modbus.meaning.substr(std::string_view("Modbus").size());
  d.verdict = modbus.verdict;
  d.exception = modbus.exception;
  if (length < frame.size()) {
    d.meaning +=
        ", " + std::to_string(frame.size() - length) + " " + text_of(TText::kFrameBytesAfter);
  }
  return d;
}

TFrameDecoding Decode10x(std::span<const uint8_t> frame, TLanguage language) {
  const auto text_of = [language](TText id) { return std::string(Text(id, language)); };
  TFrameDecoding d;
  d.protocol = TWireProtocol::k10x;
  std::string& text = d.meaning;
  if (frame.size() < k10xFrameOverhead) {
    text = "10x, " + text_of(TText::kFrameTooShort);
    d.verdict = TFrameVerdict::kMalformed;
    return d;
  }
  text = "10x ";
  text += frame[0] == k10xRequestStart  ? text_of(TText::kFrameRequest)
          : frame[0] == k10xAnswerStart ? text_of(TText::kFrameAnswer)
                                        : "?";
  text += " " + text_of(TText::kFrameAddress) + " " + std::to_string(frame[1]);
  const bool complement_ok = frame[2] == static_cast<uint8_t>(~frame[1]);
  if (!complement_ok) text += " " + text_of(TText::kFrameComplementBad);
  text += " " + text_of(TText::kFrameCommand) + " " + Hex2(frame[3]) + " " + Hex2(frame[4]) +
          " N=" + std::to_string(frame[5]);
  const size_t expected = size_t{frame[5]} + k10xFrameOverhead;
  if (frame.size() != expected) {
    text += ", " + text_of(TText::kFrameLengthBad);
    d.verdict = TFrameVerdict::kMalformed;
  } else {
    const bool ok = frame.back() == Checksum10x(frame.first(frame.size() - 1));
    text += ", " + text_of(ok ? TText::kFrameChecksumOk : TText::kFrameChecksumBad);
    d.verdict = ok && complement_ok ? TFrameVerdict::kGood : TFrameVerdict::kBadChecksum;
  }
  return d;
}

}  // namespace

TFrameDecoding DecodeFrame(TWireProtocol protocol, std::span<const uint8_t> frame, bool sent,
                           TLanguage language) {
  switch (protocol) {
    case TWireProtocol::kModbus:
      return DecodeModbus(frame, sent, language);
    case TWireProtocol::kModbusTcp:
      return DecodeMbap(frame, sent, language);
    case TWireProtocol::k10x:
      break;
  }
  return Decode10x(frame, language);
}

std::string TraceTime(uint64_t us_since_start) {
  const std::string micro = std::to_string(us_since_start % 1000000);
  return std::to_string(us_since_start / 1000000) + "." + std::string(6 - micro.size(), '0') +
         micro;
}

std::string BytesDroppedText(uint64_t dropped_bytes, TLanguage language) {
  return std::to_string(dropped_bytes) + " " +
         std::string(Text(TText::kLogBytesDropped, language)) + " " +
         std::to_string(TFrameTracer::kKeptBytes);
}

std::string TraceLine(const TTracedFrame& frame, uint64_t start_us, TLanguage language) {
  if (frame.decoding.verdict == TFrameVerdict::kNoAnswer) return {};
  const uint64_t since = frame.us >= start_us ? frame.us - start_us : 0;
  if (frame.decoding.verdict == TFrameVerdict::kBytesDropped) {
    return TraceTime(since) + " -- " + BytesDroppedText(frame.dropped_bytes, language) + "\n";
  }
  return TraceTime(since) + (frame.direction == TPortDirection::kSent ? " TX " : " RX ") +
         HexBytes(frame.bytes) + " " + frame.decoding.meaning + "\n";
}

TFrameTracer::~TFrameTracer() {
  Detach();
}

void TFrameTracer::Attach(ToxaComPort& port) {
  Detach();
  port_ = &port;
  port.SetTap([this](TPortDirection direction, std::span<const uint8_t> bytes, uint64_t us) {
    OnTraffic(direction, bytes, us);
  });
}

void TFrameTracer::Detach() {
  Flush();
  if (port_ != nullptr) port_->SetTap({});
  port_ = nullptr;
}

void TFrameTracer::OnTraffic(TPortDirection direction, std::span<const uint8_t> bytes,
                             uint64_t us) {
  if (direction == TPortDirection::kReceived) {
    const size_t kept = std::min(bytes.size(), kKeptBytes - received_.size());
    if (kept > 0) {
      arrivals_.push_back({received_.size(), us});
      received_.insert(received_.end(), bytes.begin(),
                       bytes.begin() + static_cast<ptrdiff_t>(kept));
    }
    if (kept < bytes.size()) {
      if (dropped_ == 0) dropped_us_ = us;
      dropped_ += bytes.size() - kept;
      dropped_last_us_ = us;
    }
    return;
  }
  Flush();
  sent_.assign(bytes.begin(), bytes.end());
  sent_us_ = us;
  sent_wire_ = Wire();
  request_open_ = true;
  Emit(TPortDirection::kSent, us, us, bytes, DecodeFrame(sent_wire_, bytes, true));
}

TWireProtocol TFrameTracer::Wire() const {
  return protocol_ == TWireProtocol::kModbus && port_ != nullptr && port_->ModbusTcp()
             ? TWireProtocol::kModbusTcp
             : protocol_;
}

uint64_t TFrameTracer::ArrivalUs(size_t offset) const {
  // The blocks start at growing offsets: the last one that starts at or before `offset`.
  const auto after =
      std::upper_bound(arrivals_.begin(), arrivals_.end(), offset,
                       [](size_t wanted, const TArrival& a) { return wanted < a.offset; });
  return after == arrivals_.begin() ? 0 : std::prev(after)->us;
}

void TFrameTracer::Emit(TPortDirection direction, uint64_t us, uint64_t last_us,
                        std::span<const uint8_t> bytes, TFrameDecoding decoding) {
  TTracedFrame frame{direction,           us,           last_us, {bytes.begin(), bytes.end()},
                     std::move(decoding), std::nullopt, 0};
  if (direction == TPortDirection::kReceived && request_open_ &&
      frame.decoding.verdict != TFrameVerdict::kEcho &&
      frame.decoding.verdict != TFrameVerdict::kNoAnswer) {
    frame.response_us = us >= sent_us_ ? us - sent_us_ : 0;
    request_open_ = false;
  }
  sink_(frame);
}

void TFrameTracer::Flush() {
  if (!received_.empty()) {
    EmitReceived();
    received_.clear();
    arrivals_.clear();
    sent_.clear();
  }
  if (dropped_ > 0) {
    sink_(TTracedFrame{
        TPortDirection::kReceived,
        dropped_us_,
        dropped_last_us_,
        {},
        {BytesDroppedText(dropped_, TLanguage::kEnglish), TFrameVerdict::kBytesDropped, 0},
        std::nullopt,
        dropped_});
    dropped_ = 0;
  }
  // Nothing came after the request, or only our own request came back: nothing answered it.
  if (request_open_) NoAnswer();
}

void TFrameTracer::EmitReceived() {
  const std::span<const uint8_t> all(received_);
  size_t pos = 0;
  // On a line that echoes, our request comes back before the answer. Elsewhere bytes equal to
  // the request are the answer (a function 6 write is answered with its own request).
  if (port_ != nullptr && port_->Echo() && !sent_.empty() && all.size() >= sent_.size() &&
      std::equal(sent_.begin(), sent_.end(), all.begin())) {
    Emit(TPortDirection::kReceived, ArrivalUs(0), ArrivalUs(sent_.size() - 1),
         all.first(sent_.size()),
         {std::string(Text(TText::kFrameEcho, TLanguage::kEnglish)), TFrameVerdict::kEcho, 0,
          protocol_});
    pos = sent_.size();
  }
  // Modbus answers are cut where the master ends them, so that what follows a frame (a late
  // answer after a damaged one, say) is a frame of its own, with the time it came. The bytes
  // are decoded in the protocol of the request they follow, whatever the master speaks now;
  // after a 10x request, a whole Modbus frame with a good CRC that is no 10x answer is what a
  // standard device on the same line sent, and is decoded as Modbus.
  while (pos < all.size()) {
    const std::span<const uint8_t> rest = all.subspan(pos);
    TWireProtocol wire = sent_.empty() ? Wire() : sent_wire_;
    if (wire == TWireProtocol::k10x && rest[0] != k10xAnswerStart) {
      const size_t end = ModbusAnswerEnd(rest);
      if (end <= rest.size() && ModbusCrcOk(rest.first(end))) wire = TWireProtocol::kModbus;
    }
    const size_t length = wire == TWireProtocol::kModbus      ? ModbusAnswerEnd(rest)
                          : wire == TWireProtocol::kModbusTcp ? MbapAnswerLength(rest)
                                                              : rest.size();
    const size_t taken = std::min(length, rest.size());
    Emit(TPortDirection::kReceived, ArrivalUs(pos), ArrivalUs(pos + taken - 1), rest.first(taken),
         DecodeFrame(wire, rest.first(taken), false));
    pos += taken;
  }
}

void TFrameTracer::NoAnswer() {
  request_open_ = false;
  const uint64_t now = port_ != nullptr ? port_->NowUs() : sent_us_;
  sink_(TTracedFrame{TPortDirection::kReceived,
                     now,
                     now,
                     {},
                     {"no answer", TFrameVerdict::kNoAnswer, 0},
                     std::nullopt,
                     0});
}

}  // namespace oxa
