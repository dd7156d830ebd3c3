// Every Modbus transaction and every FUL-05.08 read over a scripted port whose answers come
// from the fuzz input. Input: one settings byte, then answers, each as a length byte followed
// by that many bytes; each request draws the next answer, and silence once the input is used up.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "devices/oxaFul0508.h"
#include "tests/support/FakeComPortIo.h"

namespace {

class AnswerScript {
 public:
  AnswerScript(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  std::optional<oxa::testing::TFakeAnswer> Next() {
    if (pos_ >= size_) return std::nullopt;
    const size_t length = data_[pos_++];
    const size_t take = length < size_ - pos_ ? length : size_ - pos_;
    oxa::testing::TFakeAnswer answer;
    answer.bytes.assign(data_ + pos_, data_ + pos_ + take);
    answer.delay_ms = 1;
    pos_ += take;
    return answer;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t settings = data[0];
  AnswerScript script(data + 1, size - 1);

  oxa::testing::TFakePort fake;
  fake.io->SetResponder([&script](const std::vector<uint8_t>&) { return script.Next(); });

  oxa::ToxaFul0508 ful;
  ful.SetComPort(&fake.port);
  ful.SetNetAddr(1);
  ful.SetPacketTimeout(20);
  ful.SetByteTimeout(10);
  ful.SetRepeatCount(static_cast<uint8_t>(settings % 3 + 1));
  ful.SetEWrite(true);
  ful.SetAltRegMapping((settings & 0x10) != 0);

  // Buffers on the heap at their exact size, so any write past their end is caught.
  std::vector<uint8_t> regs(settings >> 5);
  ful.ReadHoldingRegisters(0, static_cast<uint16_t>(regs.size() / 2), regs);
  std::vector<uint8_t> block(128);
  ful.ReadArchiveBlock(1, 1, block);
  ful.WriteSingleRegister(2, 0x1234);
  const std::vector<uint8_t> values = {0x00, 0x01, 0x02, 0x03};
  ful.WriteMultipleRegisters(3, 2, values);
  std::string text;
  ful.GetDevID(text);

  ful.GetDeviceNumber(text);
  ful.ClbReadG(1);
  ful.ClbReadGmax(2);
  ful.ClbReadSFR(1);
  float value = 0;
  ful.ClbReadK(1, 0, value);
  ful.ClbReadObr(2, 5, value);
  ful.GetSoftVer(text);
  ful.ClbWriteK(1, 3, 0.25f);
  ful.ResetK();
  ful.ClbWriteSignature();
  return 0;
}
