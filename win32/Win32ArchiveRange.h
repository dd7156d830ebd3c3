// The archive range window drawn with the Win32 API: non-modal, owned by the form. The first
// and last block (0..8191), the file (typed, or chosen in the save dialog), "resume an
// interrupted file", a progress bar with the blocks per second and the time left, and the
// buttons to start, stop and close. The download runs as the form's long work on a thread of
// its own (window/ArchiveRangeModel.h); this window reads its state on a timer, also while
// hidden, so the port goes back to the form as soon as the download ends.
#pragma once

#include <windows.h>

#include <string>

#include "win32/Win32ToolWindow.h"
#include "window/ArchiveRangeModel.h"

namespace oxa::win32 {

class TWin32ArchiveRange final : public TWin32ToolWindow {
 public:
  static constexpr const wchar_t* kClassName = L"TArchiveRangeWindow";
  // The identifiers of its controls.
  enum : int {
    kFirstLabel = 101,
    kFirst,
    kLastLabel,
    kLast,
    kFileLabel,
    kFile,
    kBrowse,
    kResume,
    kBar,
    kProgress,
    kOutcome,
    kStart,
    kStop,
    kClose
  };

  TWin32ArchiveRange(HINSTANCE instance, HWND owner, TFormModel& form, HFONT font);
  // Stops a download under way (the port goes back to the form) and destroys the window.
  ~TWin32ArchiveRange() override;

  // Makes the window, hidden. False when the system refused.
  bool Create();
  TLanguage Language() const { return language_; }
  bool Running() const { return running_; }

 private:
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;
  void Browse();
  void Start();
  // Shows the model's state; the timer runs while a download does.
  void Refresh();

  TLanguage language_;
  TArchiveRangeModel model_;
  bool running_ = false;
};

}  // namespace oxa::win32
