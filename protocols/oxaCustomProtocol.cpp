#include "protocols/oxaCustomProtocol.h"

#include <algorithm>
#include <array>
#include <optional>

namespace oxa {

namespace {

// Grain of every wait of the receive loop, ms.
constexpr uint32_t kPollMs = 10;
// Bytes before the first byte of a frame that one attempt skips at most. Line noise before an
// answer is a few bytes; a line that streams bytes without ever starting a frame ends the
// attempt after these, long before its time bound.
constexpr size_t kMaxSkippedBytes = 512;
// The speed assumed for the time bound when the port keeps the line's own speed (rate 0).
constexpr uint64_t kSlowestBaud = 300;

}  // namespace

void ToxaCustomProtocol::SetComPort(ToxaCustomComPort* port) {
  if (port != nullptr) com_port_ = port;
}

void ToxaCustomProtocol::SetNetAddr(uint8_t value) {
  if (value < 128) net_addr_ = value;
}

void ToxaCustomProtocol::SetPacketTimeout(uint32_t value) {
  const uint32_t rounded = value / 10 * 10;
  if (rounded >= 10 && rounded < 10000) packet_timeout_ = rounded;
}

void ToxaCustomProtocol::SetByteTimeout(uint32_t value) {
  const uint32_t rounded = value / 10 * 10;
  if (rounded >= 10 && rounded < 3000) byte_timeout_ = rounded;
}

void ToxaCustomProtocol::SetRepeatCount(uint8_t value) {
  if (value >= 1 && value <= 24) repeat_count_ = value;
}

void ToxaCustomProtocol::SetDeviceType(uint32_t value) {
  device_type_ = value > 11 ? 0 : value;
}

// ---- The exchange ------------------------------------------------------------------------

uint64_t ToxaCustomProtocol::AttemptBoundUs(size_t longest_answer) const {
  const uint64_t baud = com_port_->BaudRate() != 0 ? com_port_->BaudRate() : kSlowestBaud;
  const uint64_t bits = com_port_->FormatInUse().BitsPerChar();
  const uint64_t wire_us = (longest_answer * bits * 1'000'000 + baud - 1) / baud;
  return (uint64_t{packet_timeout_} + byte_timeout_) * 1000 + wire_us;
}

size_t ToxaCustomProtocol::Transact(std::span<const uint8_t> request, std::span<uint8_t> answer) {
  echo_failed_ = false;
  if (com_port_ == nullptr) {
    last_error_ = kNoPortOrWriteFailed;
    return 0;
  }
  if (!com_port_->Opened()) {
    last_error_ = kPortNotOpen;
    return 0;
  }
  // An answer to an earlier request may still be on its way: it goes before this one's
  // request does. Between the attempts of this exchange a late answer is welcome: it answers
  // the same request.
  com_port_->AwaitLateAnswers();
  bool echo_altered = false;  // a request of this exchange came back altered or not at all
  for (uint8_t attempt = 0; attempt < repeat_count_; ++attempt) {
    // A request that does not go out, or a device that is gone, will not do better on the
    // next attempt: the link failure is reported at once.
    if (!SendRequest(request)) return 0;
    com_port_->AttemptSent(request_us_, packet_timeout_, byte_timeout_);
    echo_failed_ = false;
    if (com_port_->Echo() && !TakeEcho(request)) {
      echo_altered = true;
    } else {
      const size_t length = ReceiveAnswer(answer);
      if (length != 0) {
        last_error_ = CheckAnswer(request, answer.first(length));
        if (last_error_ == kOk) {
          com_port_->AttemptEnded(frame_start_us_);
          return length;
        }
      }
    }
    if (com_port_->Lost()) {
      last_error_ = kNoPortOrWriteFailed;
      return 0;
    }
    const bool last = attempt + 1 == repeat_count_;
    if (RetryPauseMs() != 0 && (!last || pause_after_last_attempt_)) {
      com_port_->Delay(RetryPauseMs());
    }
    // The attempt ends with its pause, without its answer: a damaged frame, one that answers
    // another request, or noise may all come before the answer, which is then still on its
    // way. It is looked for from then on.
    com_port_->AttemptEnded(std::nullopt);
  }
  // A device that heard an altered request does not answer it: when the last attempt then had
  // no answer, the altered request is what went wrong, whichever attempt it was.
  if (echo_altered && last_error_ == kNoAnswer) {
    last_error_ = kNoPortOrWriteFailed;
    echo_failed_ = true;
  }
  // A time-out, a damaged answer or a request altered on the line: the device may still be
  // answering. The exchange reports at once; the line is listened out before the port's next
  // request or its closing (ToxaCustomComPort::AwaitLateAnswers).
  return 0;
}

bool ToxaCustomProtocol::SendRequest(std::span<const uint8_t> request) {
  // A request follows the line's last byte only after the silence that tells devices a frame
  // begins; then stale input must never count as part of the answer.
  com_port_->AwaitFrameSilence(packet_timeout_);
  com_port_->Purge();
  RequestStarted(request);
  request_us_ = com_port_->NowUs();
  if (!com_port_->Write(request)) {
    last_error_ = kNoPortOrWriteFailed;
    return false;
  }
  return true;
}

ToxaCustomProtocol::TByteWait ToxaCustomProtocol::NextBytes(std::span<uint8_t> wanted, size_t& got,
                                                            uint32_t timeout_ms,
                                                            uint64_t deadline_us, bool& ready) {
  ToxaCustomComPort& port = *com_port_;
  // Empty polls of 10 ms allowed: the bytes count as missing after limit + 1 of them.
  const uint32_t limit = timeout_ms / kPollMs;
  uint32_t empty = 0;
  got = 0;
  // Bytes are taken from what the port already holds, or read once a wait on the line has
  // found some there: a read never goes to the driver to find nothing.
  while (!((ready || port.InputPending()) && (got = port.Read(wanted)) > 0)) {
    if (port.Lost()) return TByteWait::kLost;
    const uint64_t now = port.NowUs();
    if (now >= deadline_us) return TByteWait::kTimedOut;
    const uint64_t left_ms = (deadline_us - now + 999) / 1000;
    ready = port.WaitForInput(static_cast<uint32_t>(std::min<uint64_t>(kPollMs, left_ms)));
    if (++empty > limit) return TByteWait::kTimedOut;
  }
  ready = false;
  return TByteWait::kGot;
}

bool ToxaCustomProtocol::TakeEcho(std::span<const uint8_t> request) {
  // The line returns the request as it went out, before the device answers. A missing or
  // altered echo means the request did not reach the line intact: another station talked at
  // the same time, or the line does not echo at all.
  const uint64_t deadline = com_port_->NowUs() + AttemptBoundUs(request.size());
  std::array<uint8_t, 64> echo{};
  bool ready = false;
  for (size_t checked = 0; checked < request.size();) {
    const std::span<uint8_t> wanted =
        std::span<uint8_t>(echo).first(std::min(echo.size(), request.size() - checked));
    size_t got = 0;
    if (NextBytes(wanted, got, checked == 0 ? packet_timeout_ : byte_timeout_, deadline, ready) !=
            TByteWait::kGot ||
        !std::equal(echo.begin(), echo.begin() + static_cast<std::ptrdiff_t>(got),
                    request.begin() + static_cast<std::ptrdiff_t>(checked))) {
      last_error_ = kNoPortOrWriteFailed;
      echo_failed_ = true;
      return false;
    }
    checked += got;
  }
  return true;
}

size_t ToxaCustomProtocol::ReceiveAnswer(std::span<uint8_t> answer) {
  const uint64_t deadline = com_port_->NowUs() + AttemptBoundUs(answer.size());
  size_t pos = 0;  // bytes of the frame judged so far
  size_t end = 0;  // bytes taken from the port: those from pos on wait to be judged
  size_t skipped = 0;
  // The first byte of a frame is awaited until here (a frame skipped whole narrows it).
  uint64_t first_byte_deadline = deadline;
  frame_start_us_.reset();
  // Gives the device a moment to start; returns at once when its first byte is already in.
  bool ready = com_port_->WaitForInput(kPollMs);
  while (pos < answer.size()) {
    if (pos == end) {
      // As many bytes as the frame surely still needs, in one call: an answer that is already
      // there costs no port call per byte. The packet time-out for the first byte of a frame
      // (also while bytes before it are skipped), the byte time-out for every later one.
      const std::span<uint8_t> wanted = answer.subspan(
          pos, std::clamp<size_t>(ReadAhead(answer.first(pos)), 1, answer.size() - pos));
      size_t got = 0;
      switch (NextBytes(wanted, got, pos == 0 ? packet_timeout_ : byte_timeout_,
                        pos == 0 ? first_byte_deadline : deadline, ready)) {
        case TByteWait::kGot:
          break;
        case TByteWait::kLost:
          last_error_ = kNoPortOrWriteFailed;
          return 0;
        case TByteWait::kTimedOut:
          last_error_ = kNoAnswer;
          return 0;
      }
      end = pos + got;
    }
    switch (NextFrameStep(answer.first(pos + 1))) {
      case TFrameStep::kSkipByte:
        if (++skipped > kMaxSkippedBytes) {
          last_error_ = kNoAnswer;
          return 0;
        }
        // The bytes taken after it move up into its place.
        std::copy(answer.begin() + static_cast<std::ptrdiff_t>(pos + 1),
                  answer.begin() + static_cast<std::ptrdiff_t>(end),
                  answer.begin() + static_cast<std::ptrdiff_t>(pos));
        --end;
        break;
      case TFrameStep::kNeedMore:
        if (pos == 0) frame_start_us_ = com_port_->NowUs();
        ++pos;
        break;
      case TFrameStep::kComplete:
        if (pos == 0) frame_start_us_ = com_port_->NowUs();
        last_error_ = kOk;
        return pos + 1;
      case TFrameStep::kSkipFrame:
        // Never taken for this request's answer. The attempt waits on for its own until the
        // packet time-out from its request, which a stream of such frames cannot stretch.
        first_byte_deadline = std::min(deadline, request_us_ + uint64_t{packet_timeout_} * 1000);
        if (com_port_->NowUs() >= first_byte_deadline) {
          last_error_ = kNoAnswer;
          return 0;
        }
        std::copy(answer.begin() + static_cast<std::ptrdiff_t>(pos + 1),
                  answer.begin() + static_cast<std::ptrdiff_t>(end), answer.begin());
        end -= pos + 1;
        pos = 0;
        frame_start_us_.reset();
        break;
      case TFrameStep::kBadAddress:
        last_error_ = kWrongAddress;
        return 0;
      case TFrameStep::kBadLength:
      case TFrameStep::kBadChecksum:
        last_error_ = kWrongChecksum;
        return 0;
    }
  }
  // The step function asked for more than the longest answer the protocol has.
  last_error_ = kWrongChecksum;
  return 0;
}

}  // namespace oxa
