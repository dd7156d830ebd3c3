#include "tests/support/FakeComPortIo.h"

#include <algorithm>
#include <cctype>

#include "serial/OxaUtils.h"

namespace oxa::testing {

void TFakeComPortIo::QueueAnswer(std::vector<uint8_t> bytes, uint32_t delay_ms,
                                 uint32_t byte_gap_ms) {
  queued_.push_back(TFakeAnswer{std::move(bytes), delay_ms, byte_gap_ms});
}

void TFakeComPortIo::QueueSilence() {
  queued_.push_back(std::nullopt);
}

void TFakeComPortIo::InjectInput(const std::vector<uint8_t>& bytes, uint64_t at_ms) {
  for (uint8_t b : bytes) input_.push_back(TArrival{at_ms, b});
  std::stable_sort(input_.begin(), input_.end(),
                   [](const TArrival& a, const TArrival& b) { return a.at_ms < b.at_ms; });
}

bool TFakeComPortIo::Open(const TPortAddress& address, uint32_t baud) {
  ++opens_;
  if (fail_open) {
    open_error_ = {TOpenFailure::kNotPresent, "No such file or directory", 0, {}};
    return false;
  }
  open_error_ = {};
  const std::string device =
      address.Socket()
          ? std::string(address.kind == TPortAddress::TKind::kTcp ? "tcp://" : "modbus-tcp://") +
                address.host + ":" + std::to_string(address.tcp_port)
          : address.path;
  if (now_ms_ >= lose_at_ms) lose_at_ms = UINT64_MAX;  // opened afresh: the device is back
  open_ = true;
  device_ = device;
  baud_ = baud;
  return true;
}

void TFakeComPortIo::Close() {
  open_ = false;
}

void TFakeComPortIo::Purge() {
  ++purges_;
  // Input already received is discarded; bytes still on their way arrive later.
  while (!input_.empty() && input_.front().at_ms <= now_ms_) input_.pop_front();
  request_open_ = false;
  requests_.emplace_back();
}

bool TFakeComPortIo::WriteByte(uint8_t byte) {
  return Write({&byte, 1});
}

bool TFakeComPortIo::Write(std::span<const uint8_t> bytes) {
  ++write_calls_;
  if (!open_ || Lost()) return false;
  if (requests_.empty()) requests_.emplace_back();
  for (uint8_t byte : bytes) {
    if (fail_write_after >= 0 && written_total_ >= static_cast<size_t>(fail_write_after)) {
      return false;
    }
    ++written_total_;
    if (echo_line) {
      const bool alter =
          static_cast<int>(requests_.back().size()) == alter_echo_at && alter_echo_count != 0;
      if (alter && alter_echo_count > 0) --alter_echo_count;
      input_.push_back(TArrival{now_ms_, static_cast<uint8_t>(alter ? ~byte : byte)});
    }
    requests_.back().push_back(byte);
    request_open_ = true;
  }
  if (echo_line) {
    std::stable_sort(input_.begin(), input_.end(),
                     [](const TArrival& a, const TArrival& b) { return a.at_ms < b.at_ms; });
  }
  return true;
}

void TFakeComPortIo::AnswerPendingRequest() {
  if (!request_open_) return;
  request_open_ = false;
  if (!queued_.empty()) {
    auto answer = std::move(queued_.front());
    queued_.pop_front();
    if (answer) Schedule(*answer);
    return;
  }
  if (responder_) {
    if (auto answer = responder_(requests_.back())) Schedule(*answer);
  }
}

void TFakeComPortIo::Schedule(const TFakeAnswer& answer) {
  uint64_t at = now_ms_ + answer.delay_ms;
  for (uint8_t b : answer.bytes) {
    input_.push_back(TArrival{at, b});
    at += answer.byte_gap_ms;
  }
  std::stable_sort(input_.begin(), input_.end(),
                   [](const TArrival& a, const TArrival& b) { return a.at_ms < b.at_ms; });
}

bool TFakeComPortIo::ReadByte(uint8_t& byte) {
  return Read({&byte, 1}) == 1;
}

size_t TFakeComPortIo::Read(std::span<uint8_t> bytes) {
  size_t n = 0;
  if (open_ && !Lost()) {
    AnswerPendingRequest();
    while (n < bytes.size() && !input_.empty() && input_.front().at_ms <= now_ms_) {
      bytes[n++] = input_.front().byte;
      input_.pop_front();
    }
  }
  if (n == 0) ++empty_reads_;
  return n;
}

bool TFakeComPortIo::WaitForInput(uint32_t ms) {
  if (open_ && !Lost()) {
    AnswerPendingRequest();
    if (!input_.empty() && input_.front().at_ms <= now_ms_ + ms) {
      const uint64_t until = std::max(now_ms_, input_.front().at_ms);
      waited_ms_ += until - now_ms_;
      now_ms_ = until;
      return true;
    }
  }
  now_ms_ += ms;
  waited_ms_ += ms;
  ++empty_waits_;
  return false;
}

bool TFakeComPortIo::InputPending() {
  if (!open_ || Lost()) return false;
  AnswerPendingRequest();
  return !input_.empty() && input_.front().at_ms <= now_ms_;
}

void TFakeComPortIo::Sleep(uint32_t ms) {
  now_ms_ += ms;
  slept_ms_ += ms;
}

TFakePort::TFakePort() : io(new TFakeComPortIo), port(std::unique_ptr<IComPortIo>(io)) {
  port.Open();
}

std::vector<uint8_t> WithCrc(std::vector<uint8_t> frame) {
  const uint16_t crc = UpdateCrc16(0xFFFF, frame);
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits.push_back(c);
      if (digits.size() == 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
        digits.clear();
      }
    }
  }
  return out;
}

}  // namespace oxa::testing
