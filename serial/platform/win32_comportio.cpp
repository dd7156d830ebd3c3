// The serial port on Windows: a COM device opened for overlapped I/O and exclusively (share mode
// 0, the way Windows opens serial ports), raw 8N1 without flow control, reads that return at
// once.
//
// Input is taken in the way every serial driver answers alike, Wine's included: ClearCommError
// tells how many bytes the driver holds, and only those are read, so a read never waits. (Wine
// leaves an overlapped read that finds nothing pending for ever, although the time-outs say
// "return at once".) A wait for input waits on WaitCommEvent(EV_RXCHAR) in slices of the 10 ms
// grain, so a byte is taken the moment it arrives; a driver that cannot report the event (Wine
// on a pseudo-terminal ends every such wait at once with ERROR_OPERATION_ABORTED) is instead
// looked at once a grain. No wait is ever left without a bound.
//
// A device that goes away (a USB adapter pulled) makes ClearCommError, ReadFile or WriteFile
// fail (ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED, ERROR_DEVICE_REMOVED,
// ERROR_NOT_READY, ... as the driver chooses); from then on every operation fails at once and
// waits sleep, so callers that poll it never spin.
#include <windows.h>
// after windows.h
#include <mmsystem.h>

#include <algorithm>
#include <memory>
#include <span>

#include "serial/platform/backend.h"
#include "serial/platform/win32_text.h"

namespace oxa {
namespace {

using platform::Clock;
using platform::MsUntil;

// The longest single wait for input; a driver that reports no events is looked at this often.
constexpr DWORD kGrainMs = 10;
// Queue sizes asked of the driver, each direction.
constexpr DWORD kQueueSize = 4096;
// How long a cancelled operation may take to end.
constexpr DWORD kReapMs = 1000;
// Waits that end without a received character before the port stops waiting on events and
// looks once a grain instead (until it is opened again).
constexpr int kEventWaitMisses = 3;

// One overlapped operation at a time, with the event that signals its end.
struct TOverlapped {
  TOverlapped() : event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~TOverlapped() {
    if (event != nullptr) ::CloseHandle(event);
  }
  TOverlapped(const TOverlapped&) = delete;
  TOverlapped& operator=(const TOverlapped&) = delete;

  // A cleared record for the next operation.
  OVERLAPPED* Fresh() {
    record = {};
    record.hEvent = event;
    ::ResetEvent(event);
    return &record;
  }

  OVERLAPPED record{};
  HANDLE event;
};

// Cancels the operation of `op` and waits for it to end, so that its record may be used again;
// `transferred` gets what it moved before that. False if it did not end within kReapMs (never
// seen): the system may still write into the record, so the caller must leave it alone.
bool CancelAndReap(HANDLE handle, TOverlapped& op, DWORD& transferred) {
  ::CancelIoEx(handle, &op.record);
  transferred = 0;
  if (::WaitForSingleObject(op.event, kReapMs) != WAIT_OBJECT_0) return false;
  ::GetOverlappedResult(handle, &op.record, &transferred, FALSE);
  return true;
}

// Replaces an operation record that the system may still write into. The old one is left to
// it (a few bytes, in a case that has never been seen), rather than freed under it.
void Abandon(std::unique_ptr<TOverlapped>& op) {
  (void)op.release();
  op = std::make_unique<TOverlapped>();
}

// "COM12" as the system must be given it: \\.\COM12. Only COM1 to COM9 are also known by their
// bare names, so a bare name is always given the prefix; any other path is left as it is.
std::wstring DevicePath(const std::string& path) {
  const bool com =
      path.size() > 3 && (path[0] == 'C' || path[0] == 'c') && (path[1] == 'O' || path[1] == 'o') &&
      (path[2] == 'M' || path[2] == 'm') &&
      std::all_of(path.begin() + 3, path.end(), [](char c) { return c >= '0' && c <= '9'; });
  return platform::Widen(com ? "\\\\.\\" + path : path);
}

class TWin32ComPortIo final : public platform::TBackend {
 public:
  ~TWin32ComPortIo() override { Close(); }

  bool OpenDevice(const TPortAddress& address, uint32_t baud) override {
    // Windows has no general way to switch a driver's RS-485 mode: adapters for it turn their
    // transmitter on and off by themselves.
    if (address.rs485) {
      error_ = {TOpenFailure::kNoRs485,
                "RS-485 mode is not supported on Windows; use an adapter with automatic direction "
                "control",
                0,
                {}};
      return false;
    }
    if (!read_->event || !write_->event || !wait_->event) return Fail(::GetLastError());
    const std::wstring device = DevicePath(address.path);
    const HANDLE handle = ::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Fail(::GetLastError());
    // Only a communications device has a device control block (a file, NUL or a pipe has not).
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb)) {
      ::CloseHandle(handle);
      error_ = {TOpenFailure::kNotSerial, "not a serial device", 0, {}};
      return false;
    }
    // The line settings as found, put back at Close: a program that uses the port after us (a
    // terminal program on the same adapter) must not find it at our speed and format.
    saved_dcb_ = dcb;
    saved_timeouts_valid_ = ::GetCommTimeouts(handle, &saved_timeouts_) != FALSE;
    Configure(handle, dcb, baud, address.format.value_or(TLineFormat{}));
    ::PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    // Waits of 10 ms are 10 ms, not the 15.6 ms of the system's default timer tick.
    timer_period_ = ::timeBeginPeriod(1) == TIMERR_NOERROR;
    handle_ = handle;
    event_waits_ = true;
    event_misses_ = 0;
    return true;
  }

  void Close() override {
    if (handle_ != INVALID_HANDLE_VALUE) {
      EndEventWait();
      // A device that has gone refuses these, which is harmless.
      ::SetCommState(handle_, &saved_dcb_);
      if (saved_timeouts_valid_) ::SetCommTimeouts(handle_, &saved_timeouts_);
      ::CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
      if (timer_period_) ::timeEndPeriod(1);
      timer_period_ = false;
    }
    ResetInput();
  }

  // No read or write is ever left pending, so clearing both queues is all a purge needs.
  void Purge() override {
    input_.Clear();
    if (handle_ != INVALID_HANDLE_VALUE) ::PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }

  // Without write time-outs the driver completes a write once it holds all of its bytes; a
  // write that ends short of them anyway goes on from where it stopped.
  bool Write(std::span<const uint8_t> bytes) override {
    if (!Usable()) return false;
    const Clock::time_point deadline =
        platform::DeadlineIn(platform::WriteBoundMs(bytes.size(), baud_));
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(handle_, bytes.data() + done, chunk, &written, write_->Fresh())) {
        if (::GetLastError() != ERROR_IO_PENDING) return MarkLost();
        if (::WaitForSingleObject(write_->event, MsUntil(deadline)) != WAIT_OBJECT_0) {
          // The driver did not take the bytes in time (a line held by flow control, a full
          // queue that does not drain): the write is given up.
          if (!CancelAndReap(handle_, *write_, written)) Abandon(write_);
          return false;
        }
        if (!::GetOverlappedResult(handle_, &write_->record, &written, FALSE)) return MarkLost();
      }
      done += written;
      if (written == 0) {
        const DWORD left = static_cast<DWORD>(MsUntil(deadline));
        if (left == 0) return false;
        DelayMs(std::min(left, kGrainMs));
      }
    }
    return true;
  }

  bool WaitForInput(uint32_t ms) override {
    const Clock::time_point deadline = platform::DeadlineIn(ms);
    if (input_.Pending()) return true;
    while (Usable()) {
      const int queued = QueuedBytes();
      if (queued > 0) {
        event_misses_ = 0;
        return true;
      }
      if (queued < 0) break;
      const DWORD left = static_cast<DWORD>(MsUntil(deadline));
      if (left == 0) return false;
      const DWORD slice = std::min(left, kGrainMs);
      if (!event_waits_) {
        DelayMs(slice);
        continue;
      }
      switch (StartEventWait()) {
        case TEventWait::kStarted:
          // A character that came just before the wait began may never raise the event: the
          // queue is looked at once more before waiting.
          break;
        case TEventWait::kPending:
          if (::WaitForSingleObject(wait_->event, slice) == WAIT_OBJECT_0) FinishEventWait();
          break;
        case TEventWait::kEnded:
          NoteEventMiss();
          break;
      }
    }
    return WaitOut(deadline);
  }

  intptr_t NativeHandle() const override { return reinterpret_cast<intptr_t>(handle_); }

 private:
  enum class TEventWait { kStarted, kPending, kEnded };

  bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

  // Records why opening failed (a system error code) and returns false.
  //
  // A COM port that another program holds answers ERROR_ACCESS_DENIED, not a sharing
  // violation, and the system has no user rights on COM ports to refuse: access denied means
  // busy here. A name that leads nowhere (no such port, COM0, an unplugged adapter) answers
  // ERROR_FILE_NOT_FOUND or one of its relatives.
  bool Fail(DWORD code) {
    error_.detail = platform::SystemMessage(code);
    switch (code) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME:
      case ERROR_BAD_NETPATH:
      case ERROR_DEV_NOT_EXIST:
      case ERROR_DEVICE_NOT_CONNECTED:
        error_.failure = TOpenFailure::kNotPresent;
        break;
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION:
      case ERROR_BUSY:
        error_.failure = TOpenFailure::kBusy;
        break;
      default:
        error_.failure = TOpenFailure::kOther;
        break;
    }
    return false;
  }

  // Raw, in the line's format (8N1 unless it names another), no flow control (DTR and RTS simply
  // on, as POSIX systems raise them at open), line errors that do not stop the driver, reads that
  // return at once with whatever is there. A rate of 0 keeps the line's current speed; a rate the
  // driver refuses leaves its speed as it was and still sets the frame. The results are not checked
  // beyond that: a driver that refuses a setting still leaves a usable port.
  static void Configure(HANDLE handle, DCB& dcb, uint32_t baud, const TLineFormat& format) {
    ::SetupComm(handle, kQueueSize, kQueueSize);
    dcb.fBinary = TRUE;
    dcb.fParity = format.parity != 'N' ? TRUE : FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = format.data_bits;
    dcb.Parity = format.parity == 'E' ? EVENPARITY : format.parity == 'O' ? ODDPARITY : NOPARITY;
    dcb.StopBits = format.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    const DWORD current = dcb.BaudRate;
    if (baud != 0) dcb.BaudRate = baud;
    if (!::SetCommState(handle, &dcb) && dcb.BaudRate != current) {
      dcb.BaudRate = current;
      ::SetCommState(handle, &dcb);
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // with both totals 0: return at once
    ::SetCommTimeouts(handle, &timeouts);
    ::SetCommMask(handle, EV_RXCHAR);
  }

  // The bytes the driver holds, or -1 once the device has gone.
  int QueuedBytes() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(handle_, &errors, &status)) {
      lost_ = true;
      return -1;
    }
    return static_cast<int>(std::min<DWORD>(status.cbInQue, 1u << 30));
  }

  // Only the bytes the driver holds are read, so the read never waits.
  size_t FillInput(std::span<uint8_t> into) override {
    if (!Usable()) return 0;
    const int queued = QueuedBytes();
    if (queued <= 0) return 0;
    const DWORD wanted = static_cast<DWORD>(std::min<size_t>(queued, into.size()));
    DWORD got = 0;
    if (!::ReadFile(handle_, into.data(), wanted, &got, read_->Fresh())) {
      if (::GetLastError() != ERROR_IO_PENDING) {
        MarkLost();
        return 0;
      }
      // The bytes are there, so the read ends at once. Should a purge on another thread have
      // taken them in the meantime, a driver may hold the read until the next byte comes: it
      // is not kept waiting beyond a grain.
      if (::WaitForSingleObject(read_->event, kGrainMs) != WAIT_OBJECT_0) {
        if (!CancelAndReap(handle_, *read_, got)) Abandon(read_);
      } else if (!::GetOverlappedResult(handle_, &read_->record, &got, FALSE)) {
        MarkLost();
        return 0;
      }
    }
    return got;
  }

  // Starts a wait for the next received character, unless one is under way.
  TEventWait StartEventWait() {
    if (wait_pending_) return TEventWait::kPending;
    if (::WaitCommEvent(handle_, &wait_mask_, wait_->Fresh())) return TEventWait::kEnded;
    if (::GetLastError() != ERROR_IO_PENDING) return TEventWait::kEnded;
    wait_pending_ = true;
    return TEventWait::kStarted;
  }

  // Collects the wait whose event has been signalled.
  void FinishEventWait() {
    DWORD unused = 0;
    const bool ok = ::GetOverlappedResult(handle_, &wait_->record, &unused, FALSE);
    wait_pending_ = false;
    if (!ok || !(wait_mask_ & EV_RXCHAR)) NoteEventMiss();
  }

  // A wait that ended without a character to show for it. A driver that keeps doing so cannot
  // report the event; the port then looks at the queue once a grain instead.
  void NoteEventMiss() {
    if (++event_misses_ >= kEventWaitMisses) event_waits_ = false;
  }

  // Ends a wait left under way, before the handle is closed.
  void EndEventWait() {
    if (!wait_pending_) return;
    ::SetCommMask(handle_, EV_RXCHAR);  // ends a pending wait on Windows
    DWORD unused = 0;
    if (!CancelAndReap(handle_, *wait_, unused)) Abandon(wait_);
    wait_pending_ = false;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DCB saved_dcb_{};  // the line settings Open found
  COMMTIMEOUTS saved_timeouts_{};
  bool saved_timeouts_valid_ = false;
  bool timer_period_ = false;
  std::unique_ptr<TOverlapped> read_ = std::make_unique<TOverlapped>();
  std::unique_ptr<TOverlapped> write_ = std::make_unique<TOverlapped>();
  // The wait for a received character: only the thread that reads waits (the caller, or the
  // receive thread in thread mode), and it may leave a wait under way for its next call.
  std::unique_ptr<TOverlapped> wait_ = std::make_unique<TOverlapped>();
  DWORD wait_mask_ = 0;  // written by the system when the wait ends
  bool wait_pending_ = false;
  bool event_waits_ = true;
  int event_misses_ = 0;
};

}  // namespace

std::unique_ptr<IComPortIo> MakeSerialComPortIo() {
  return std::make_unique<TWin32ComPortIo>();
}

std::string DefaultComDeviceName(uint8_t number) {
  if (number == 0) return {};
  return "\\\\.\\COM" + std::to_string(number);
}

}  // namespace oxa
