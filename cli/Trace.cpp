#include "cli/Trace.h"

#include <algorithm>
#include <cstdio>

#include "protocols/oxa10xProtocol.h"
#include "protocols/oxaModBusProtocol.h"
#include "serial/OxaUtils.h"

namespace oxa::cli {

namespace {

std::string Hex2(uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

const char* ModbusFunctionName(uint8_t function) {
  switch (function & 0x7F) {
    case kFnReadHoldingRegisters:
      return "read holding registers";
    case kFnWriteSingleRegister:
      return "write single register";
    case kFnWriteMultipleRegisters:
      return "write multiple registers";
    case kFnReportDeviceId:
      return "report device id";
    case kFnReadArchiveBlock:
      return "read archive block";
    default:
      return "";
  }
}

std::string DescribeModbus(std::span<const uint8_t> frame, bool sent) {
  if (frame.size() < 4) return "Modbus, too short for a frame";
  const uint8_t function = frame[1];
  std::string text =
      "Modbus addr " + std::to_string(frame[0]) + " fn " + std::to_string(function & 0x7F);
  if (const std::string name = ModbusFunctionName(function); !name.empty()) text += " " + name;
  if (function & 0x80) {
    text += ", exception " + Hex2(frame[2]);
    const std::string_view name = ModbusExceptionName(frame[2]);
    if (!name.empty()) text += " " + std::string(name);
  }
  if (sent) return text + (ModbusCrcOk(frame) ? ", CRC ok" : ", CRC bad");
  // An answer is judged as the master takes it: its length from its own bytes.
  const size_t length = ModbusAnswerEnd(frame);
  if (length > frame.size()) {
    return text + ", incomplete: " + std::to_string(frame.size()) + " of " +
           std::to_string(length) + " bytes";
  }
  const std::span<const uint8_t> answer = frame.first(length);
  if (function == kFnReportDeviceId && ModbusCrcOk(answer)) {
    if (ModbusDevIdLayout(answer) == TDevIdLayout::kStandard) {
      text += ", standard layout: " + ServerIdText(SplitServerId(answer.subspan(3, answer[2])));
    } else {
      text += ", FUL layout, text of " + std::to_string(answer[3]) + " bytes";
    }
  }
  text += ModbusCrcOk(answer) ? ", CRC ok" : ", CRC bad";
  if (length < frame.size()) {
    text += ", " + std::to_string(frame.size() - length) + " bytes after it";
  }
  return text;
}

std::string Describe10x(std::span<const uint8_t> frame) {
  if (frame.size() < k10xFrameOverhead) return "10x, too short for a frame";
  std::string text = "10x ";
  text += frame[0] == k10xRequestStart ? "request" : frame[0] == k10xAnswerStart ? "answer" : "?";
  text += " addr " + std::to_string(frame[1]);
  if (frame[2] != static_cast<uint8_t>(~frame[1])) text += " (complement bad)";
  text += " cmd " + Hex2(frame[3]) + " " + Hex2(frame[4]) + " N=" + std::to_string(frame[5]);
  const size_t expected = size_t{frame[5]} + k10xFrameOverhead;
  if (frame.size() != expected) {
    text += ", length bad";
  } else {
    text += frame.back() == Checksum10x(frame.first(frame.size() - 1)) ? ", checksum ok"
                                                                       : ", checksum bad";
  }
  return text;
}

}  // namespace

std::string DescribeFrame(TWireProtocol protocol, std::span<const uint8_t> frame, bool sent) {
  return protocol == TWireProtocol::kModbus ? DescribeModbus(frame, sent) : Describe10x(frame);
}

TTrace::~TTrace() {
  Detach();
}

void TTrace::Attach(ToxaComPort& port) {
  Detach();
  port_ = &port;
  port.SetTap([this](TPortDirection direction, std::span<const uint8_t> bytes, uint64_t us) {
    OnTraffic(direction, bytes, us);
  });
}

void TTrace::Detach() {
  Flush();
  if (port_ != nullptr) port_->SetTap({});
  port_ = nullptr;
}

void TTrace::OnTraffic(TPortDirection direction, std::span<const uint8_t> bytes, uint64_t us) {
  if (direction == TPortDirection::kReceived) {
    arrivals_.push_back({received_.size(), us});
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    return;
  }
  Flush();
  sent_.assign(bytes.begin(), bytes.end());
  Line("TX", us, bytes, DescribeFrame(protocol_, bytes, true));
}

uint64_t TTrace::ArrivalUs(size_t offset) const {
  uint64_t us = 0;
  for (const TArrival& a : arrivals_) {
    if (a.offset > offset) break;
    us = a.us;
  }
  return us;
}

void TTrace::Flush() {
  if (received_.empty()) return;
  const std::span<const uint8_t> all(received_);
  size_t pos = 0;
  // On a line that echoes, our request comes back before the answer. Elsewhere bytes equal to
  // the request are the answer (a function 6 write is answered with its own request).
  if (port_ != nullptr && port_->Echo() && !sent_.empty() && all.size() >= sent_.size() &&
      std::equal(sent_.begin(), sent_.end(), all.begin())) {
    Line("RX", ArrivalUs(0), all.first(sent_.size()), "echo of the request");
    pos = sent_.size();
  }
  // Modbus answers are cut where the master ends them, so that what follows a frame (a late
  // answer after a damaged one, say) gets a line of its own, with the time it came.
  while (pos < all.size()) {
    const std::span<const uint8_t> rest = all.subspan(pos);
    const size_t length = protocol_ == TWireProtocol::kModbus
                              ? std::min(ModbusAnswerEnd(rest), rest.size())
                              : rest.size();
    Line("RX", ArrivalUs(pos), rest.first(length),
         DescribeFrame(protocol_, rest.first(length), false));
    pos += length;
  }
  received_.clear();
  arrivals_.clear();
  sent_.clear();
}

void TTrace::Line(const char* direction, uint64_t us, std::span<const uint8_t> bytes,
                  const std::string& note) {
  const uint64_t since = us >= start_us_ ? us - start_us_ : 0;
  char time[32];
  std::snprintf(time, sizeof time, "%llu.%06llu", static_cast<unsigned long long>(since / 1000000),
                static_cast<unsigned long long>(since % 1000000));
  sink_(std::string(time) + " " + direction + " " + HexBytes(bytes) + " " + note + "\n");
}

}  // namespace oxa::cli
