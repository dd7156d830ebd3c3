// Where the form's side windows (the exchange log, the monitor, an archive range) open: beside
// the form, inside the work area of its screen, or where the user last put them. Toolkit-free,
// so that the Qt and the Win32 window place them alike; every rectangle is a window's frame in
// screen pixels.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace oxa {

struct TScreenPoint {
  int x = 0;
  int y = 0;
  bool operator==(const TScreenPoint&) const = default;
};

// Left and top inclusive, right and bottom exclusive, as both toolkits' frames are given.
struct TScreenRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

enum class TSideWindow { kExchangeLog, kMonitor, kArchiveRange };

// The settings key of a side window's place in the window's section: "LogPos".
const char* SideWindowKey(TSideWindow window);

// "X,Y" as the settings file keeps a place, blanks allowed around each number; nullopt for
// anything else or a coordinate beyond a million pixels either way.
std::optional<TScreenPoint> ParseWindowPos(std::string_view text);
std::string FormatWindowPos(TScreenPoint at);

// The top left corner of a side window `width` × `height` opening for the form at `form` on a
// screen whose work area is `work_area`. A remembered place is kept when at least half of the
// window lies inside the work area there, moved just far enough to lie wholly inside it.
// Without one, the window opens to the form's right with its top at the form's top, else to the
// form's left, else on the side with more room, moved into the work area over part of the form;
// a window larger than the work area has its top left corner there.
TScreenPoint SideWindowPosition(const TScreenRect& form, int width, int height,
                                const TScreenRect& work_area,
                                std::optional<TScreenPoint> remembered = std::nullopt);

}  // namespace oxa
