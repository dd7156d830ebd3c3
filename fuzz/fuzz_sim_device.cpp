// The virtual device's request receiver, its commands and its contents-file parser, in memory:
// whatever bytes a master or a file brings, the device answers at most one frame per byte,
// never more than a frame can hold, and never reads or writes outside its areas.
//
// The input is a list of records, each a tag byte (kind = tag % 8, flags = tag / 8) and its
// payload. Frames get a correct CRC or checksum (unless a flag spoils it), so the fuzzer reaches
// the commands behind the check instead of spending its time on the check:
//   0 Modbus request: function, n, n bytes → [address, function, bytes, CRC], fed byte by byte.
//     flags: 1 broadcast (address 0) instead of the device's, 2 spoiled CRC, 4 the bytes padded
//     or cut to the length the function's header states (as far as it states one)
//   1 10x request: group, code, N, N data bytes (zeros where the input ends) → [55, address,
//     complement, group, code, N, data, checksum], fed byte by byte.
//     flags: 1 another address, 2 spoiled checksum, 4 spoiled complement
//   2 noise: n, n bytes fed as they are
//   3 the line falls silent (a frame of unknown length is recognised, the rest dropped)
//   4 time passes: 2 bytes, milliseconds, most significant first
//   5 a fault for the next requests: 1 byte, fault = byte % 5, count = byte / 8 % 4
//   6 contents: n, n bytes of contents-file text applied to the device
//   7 one frame straight to Answer: n, n bytes
// With no fault armed, every answer is one intact frame of its protocol. The whole input is also
// read as a contents file, as a file of any bytes would be.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/FulDevice.h"
#include "sim/SimConfig.h"
#include "sim/SimFrames.h"

namespace {

using oxa::sim::TFulDevice;

// The longest answer of each protocol: a 10x frame's N is one byte (255 in all), a Modbus RTU
// frame holds 256 bytes (function 17 with the longest identification text fills it).
constexpr size_t kMax10xAnswer = 255;
constexpr size_t kMaxModbusAnswer = 256;
// What the garbage fault puts before an answer.
constexpr size_t kGarbageBytes = 2;
constexpr uint8_t kDeviceAddress = 1;

void Check(bool ok) {
  if (!ok) std::abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // n bytes, or what is left of the input.
  std::span<const uint8_t> Bytes(size_t n) {
    const size_t take = n < size_ - pos_ ? n : size_ - pos_;
    const std::span<const uint8_t> out(data_ + pos_, take);
    pos_ += take;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// An answer as the device sent it: no longer than its protocol allows and, unless a fault may
// have spoiled it, one intact frame.
void CheckAnswer(const std::vector<uint8_t>& answer, bool faults_armed) {
  if (answer.empty()) return;
  if (faults_armed) {
    Check(answer.size() <= kMaxModbusAnswer + kGarbageBytes);
    return;
  }
  const bool is_10x = answer[0] == oxa::sim::k10xAnswerStart;
  Check(answer.size() <= (is_10x ? kMax10xAnswer : kMaxModbusAnswer));
  if (is_10x) {
    Check(answer.size() >= 7 && answer[2] == static_cast<uint8_t>(~answer[1]) &&
          answer[5] + 7u == answer.size() &&
          answer.back() == oxa::sim::Checksum10x(std::span(answer).first(answer.size() - 1)));
  } else {
    Check(answer[0] == kDeviceAddress && oxa::sim::ModbusCrcOk(answer));
  }
}

class Line {
 public:
  void Feed(std::span<const uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      CheckAnswer(device_.Feed(bytes.subspan(i, 1)), faults_armed_);
      Check(device_.PendingBytes() <= 600);
    }
  }

  void ModbusRequest(Input& in, uint8_t flags) {
    std::vector<uint8_t> frame{(flags & 1) ? uint8_t{0} : kDeviceAddress, in.Byte()};
    const auto body = in.Bytes(in.Byte());
    frame.insert(frame.end(), body.begin(), body.end());
    if (flags & 4) {
      // The length byte of functions 15 and 16 sits at 6: pad before asking.
      std::vector<uint8_t> probe = frame;
      if (probe.size() < 7) probe.resize(7, 0);
      const size_t length = oxa::sim::ModbusRequestLength(probe);
      if (length >= 4) frame.resize(length - 2, 0);
    }
    oxa::sim::AppendModbusCrc(frame);
    if (flags & 2) frame.back() ^= 0x5A;
    Feed(frame);
  }

  void Sim10xRequest(Input& in, uint8_t flags) {
    const uint8_t address = (flags & 1) ? uint8_t{kDeviceAddress + 1} : kDeviceAddress;
    std::vector<uint8_t> frame{oxa::sim::k10xRequestStart, address, static_cast<uint8_t>(~address)};
    frame.push_back(in.Byte());  // group
    frame.push_back(in.Byte());  // code
    const uint8_t n = in.Byte();
    frame.push_back(n);
    const auto data = in.Bytes(n);
    frame.insert(frame.end(), data.begin(), data.end());
    frame.resize(size_t{n} + 6, 0);
    if (flags & 4) frame[2] ^= 0x10;
    frame.push_back(oxa::sim::Checksum10x(frame));
    if (flags & 2) frame.back() ^= 0x5A;
    Feed(frame);
  }

  void Fault(uint8_t b) {
    const int count = b / 8 % 4;
    faults_armed_ = faults_armed_ || count > 0;
    switch (b % 5) {
      case 0:
        device_.NoAnswerToNext(count);
        break;
      case 1:
        device_.CorruptChecksumOfNext(count);
        break;
      case 2:
        device_.StopMidFrameOnNext(count);
        break;
      case 3:
        device_.GarbageBeforeNext(count);  // the default garbage, kGarbageBytes long
        break;
      default:
        device_.WrongComplementOnNext(count);
        break;
    }
  }

  void Run(Input& in) {
    while (!in.Done()) {
      const uint8_t tag = in.Byte();
      const auto flags = static_cast<uint8_t>(tag / 8);
      switch (tag % 8) {
        case 0:
          ModbusRequest(in, flags);
          break;
        case 1:
          Sim10xRequest(in, flags);
          break;
        case 2:
          Feed(in.Bytes(in.Byte()));
          break;
        case 3:
          CheckAnswer(device_.LineIdle(), faults_armed_);
          Check(device_.PendingBytes() == 0);
          break;
        case 4: {
          const uint32_t ms = (uint32_t{in.Byte()} << 8) | in.Byte();
          device_.AdvanceTime(ms);
          break;
        }
        case 5:
          Fault(in.Byte());
          break;
        case 6: {
          const auto text = in.Bytes(in.Byte());
          std::string error;
          oxa::sim::LoadConfig(
              std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), device_,
              error);
          break;
        }
        default: {
          const auto frame = in.Bytes(in.Byte());
          CheckAnswer(device_.Answer(frame), faults_armed_);
          break;
        }
      }
    }
  }

 private:
  TFulDevice device_{kDeviceAddress};
  bool faults_armed_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFulDevice device;
  std::string error;
  oxa::sim::LoadConfig(std::string_view(reinterpret_cast<const char*>(data), size), device, error);

  Input in(data, size);
  Line line;
  line.Run(in);
  return 0;
}
