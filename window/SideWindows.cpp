#include "window/SideWindows.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace oxa {
namespace {

// A coordinate beyond this is no screen's: a damaged or hostile settings value.
constexpr int kMaxCoordinate = 1'000'000;

std::string_view Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<int> ParseCoordinate(std::string_view text) {
  text = Trimmed(text);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < -kMaxCoordinate || value > kMaxCoordinate) return std::nullopt;
  return value;
}

// `from` moved just far enough for [from, from + length) to lie inside [low, high); `low` when
// it is longer than that.
int Into(int from, int length, int low, int high) {
  return std::max(low, std::min(from, high - length));
}

int64_t Overlap(int from, int length, int low, int high) {
  return std::max(0, std::min(from + length, high) - std::max(from, low));
}

}  // namespace

const char* SideWindowKey(TSideWindow window) {
  switch (window) {
    case TSideWindow::kExchangeLog:
      return "LogPos";
    case TSideWindow::kMonitor:
      return "MonitorPos";
    case TSideWindow::kArchiveRange:
      return "ArchivePos";
  }
  return "";
}

std::optional<TScreenPoint> ParseWindowPos(std::string_view text) {
  const size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const auto x = ParseCoordinate(text.substr(0, comma));
  const auto y = ParseCoordinate(text.substr(comma + 1));
  if (!x || !y) return std::nullopt;
  return TScreenPoint{*x, *y};
}

std::string FormatWindowPos(TScreenPoint at) {
  return std::to_string(at.x) + "," + std::to_string(at.y);
}

TScreenPoint SideWindowPosition(const TScreenRect& form, int width, int height,
                                const TScreenRect& work_area,
                                std::optional<TScreenPoint> remembered) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  const TScreenRect& area = work_area;
  if (remembered) {
    const int64_t inside = Overlap(remembered->x, width, area.left, area.right) *
                           Overlap(remembered->y, height, area.top, area.bottom);
    if (2 * inside >= int64_t(width) * height) {
      return {Into(remembered->x, width, area.left, area.right),
              Into(remembered->y, height, area.top, area.bottom)};
    }
  }
  const int y = Into(form.top, height, area.top, area.bottom);
  if (form.right + width <= area.right && form.right >= area.left) return {form.right, y};
  if (form.left - width >= area.left && form.left <= area.right) return {form.left - width, y};
  // No room on either side: the side with more of it, the window over part of the form.
  const int room_right = area.right - form.right;
  const int room_left = form.left - area.left;
  const int x = room_right >= room_left ? form.right : form.left - width;
  return {Into(x, width, area.left, area.right), y};
}

}  // namespace oxa
