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

std::string DescribeModbus(std::span<const uint8_t> frame) {
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
  text += ModbusCrcOk(frame) ? ", CRC ok" : ", CRC bad";
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

std::string DescribeFrame(TWireProtocol protocol, std::span<const uint8_t> frame, bool /*sent*/) {
  return protocol == TWireProtocol::kModbus ? DescribeModbus(frame) : Describe10x(frame);
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
    if (received_.empty()) received_us_ = us;
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    return;
  }
  Flush();
  sent_.assign(bytes.begin(), bytes.end());
  Line("TX", us, bytes, DescribeFrame(protocol_, bytes, true));
}

void TTrace::Flush() {
  if (received_.empty()) return;
  std::span<const uint8_t> rest(received_);
  // On a line that echoes, our request comes back before the answer. Elsewhere bytes equal to
  // the request are the answer (a function 6 write is answered with its own request).
  if (port_ != nullptr && port_->Echo() && !sent_.empty() && rest.size() >= sent_.size() &&
      std::equal(sent_.begin(), sent_.end(), rest.begin())) {
    Line("RX", received_us_, rest.first(sent_.size()), "echo of the request");
    rest = rest.subspan(sent_.size());
  }
  if (!rest.empty()) Line("RX", received_us_, rest, DescribeFrame(protocol_, rest, false));
  received_.clear();
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
