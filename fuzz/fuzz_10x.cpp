// Device answers from the fuzzer against the 10x receiver and every command of the 10x master
// and the ZEB-106 class, on the scripted port. Input: operation, flags, count, then the answers,
// each as a length byte and that many bytes, handed out one per request (silence when used up).
// Caller buffers are exactly as large as the command may fill, so any write past them is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "devices/oxaZeb106.h"
#include "tests/support/FakeComPortIo.h"
#include "tests/support/Frames10x.h"

namespace {

using oxa::testing::TFakeAnswer;
using oxa::testing::TFakePort;

class Probe : public oxa::ToxaZeb106 {
 public:
  using ToxaZeb106::ReceiveAnswer;
  std::array<uint8_t, kBufferSize> buffer{};
};

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t op = data[0] % 24;
  const uint8_t flags = data[1];
  const uint8_t count = data[2];
  std::vector<std::vector<uint8_t>> answers;
  for (size_t i = 3; i < size;) {
    const size_t len = std::min<size_t>(data[i], size - i - 1);
    answers.emplace_back(data + i + 1, data + i + 1 + len);
    i += 1 + len;
  }

  TFakePort fp;
  size_t next = 0;
  fp.io->SetResponder([&](const std::vector<uint8_t>&) -> std::optional<TFakeAnswer> {
    if (next >= answers.size()) return std::nullopt;
    return TFakeAnswer{answers[next++], 5, static_cast<uint32_t>(flags >> 4)};
  });
  Probe m;
  m.SetComPort(&fp.port);
  m.SetNetAddr(1);
  m.SetRepeatCount((flags & 2) ? 2 : 1);
  m.SetByteTimeout(40);
  m.SetEWrite(flags & 1);
  m.SetLocalTimeSource(oxa::testing::FixedLocalTime);

  std::string text;
  std::vector<uint8_t> buf(count);
  switch (op) {
    case 0: {
      std::vector<uint8_t> all(data + 3, data + size);
      fp.io->InjectInput(all, 0);
      const size_t len = m.ReceiveAnswer(std::span<uint8_t>(m.buffer).first(oxa::k10xMaxFrame));
      Check(len <= 255);
      if (len > 0) {
        Check(m.LastError() == 0);
        Check(oxa::Next10xFrameStep(std::span<const uint8_t>(m.buffer).first(len)) ==
              oxa::T10xFrameStep::kComplete);
      } else {
        const uint32_t e = m.LastError();
        Check(e == 2 || e == 4 || e == 5);
      }
      break;
    }
    case 1:
      m.GetDevID(text);
      break;
    case 2:
      m.GetSoftVer(text);
      break;
    case 3: {
      oxa::TSfrTekValues v;
      m.GetSfrTek(v);
      break;
    }
    case 4:
      m.ReadRAM(0x10, buf, count);
      break;
    case 5:
      m.ReadRtc2kP(0x7E0, buf.data(), count);
      break;
    case 6:
      m.ReadRtc128(0x10, buf, count);
      break;
    case 7:
      m.ReadDataFlash(0x12345, buf, count);
      break;
    case 8:
      m.WriteRtc2k(0x514, buf, count);
      break;
    case 9:
      m.WriteRtc128(0x20, buf, count);
      break;
    case 10:
      m.SetDateTime();
      break;
    case 11: {
      std::array<uint8_t, 64> block{};
      m.WriteSecurity(block);
      break;
    }
    case 12:
      m.ReadSecurity(buf);
      break;
    case 13:
      m.UnlockWrite(text);
      break;
    case 14:
      m.SendCmd(0x7777);
      break;
    case 15:
      Check(m.DetectDevice() <= 5);
      break;
    case 16:
      m.GetDeviceNumber(text);
      break;
    case 17:
      m.ClbReadG(1 + (count & 1));
      break;
    case 18: {
      float v = 0;
      m.ClbReadK(1 + (count & 1), count % 10, v);
      break;
    }
    case 19:
      m.SetSignature("FUZZ0001");
      m.ClbWriteK(1 + (count & 1), count % 10, 1.5f);
      break;
    case 20: {
      std::array<float, 18> record{};
      m.ClbWriteAll(1 + (count & 1), record);
      break;
    }
    case 21:
      m.ResetK();
      break;
    case 22:
      m.FastResetK();
      break;
    case 23:
      m.CustomWriteRtc2k(0x0F81, 0x100, buf, count);
      break;
  }
  // Every request on the wire is a well-formed frame.
  for (const auto& r : fp.io->Requests()) {
    if (r.empty()) continue;
    Check(r.size() >= 7 && r.size() <= 255 && r[0] == 0x55 && r[5] + 7u == r.size());
    Check(oxa::Checksum10x(std::span<const uint8_t>(r).first(r.size() - 1)) == r.back());
  }
  return 0;
}
