// Where every control of the two windows stands, in twips from the top-left
// corner of its container, with its kind, design-time text, tab place and
// colours. The toolkit views build their controls from this table alone.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ui {

enum class ControlKind {
  Frame,
  Label,
  OptionButton,
  CommandButton,
  TextBox,
  DriveList,
  FolderList,
  FileList,
  Image
};

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

struct ControlGeometry {
  std::string_view name;
  ControlKind kind;
  std::string_view container;  // "" for the window's client area
  std::string_view caption;    // design-time caption or text
  int left, top, width, height;
  int tabIndex;  // -1 where the toolkit gives none
  std::optional<Rgb> foreground;
  std::optional<Rgb> background;
};

struct WindowGeometry {
  std::string_view caption;
  int clientWidth, clientHeight;  // twips
  std::span<const ControlGeometry> controls;
};

inline constexpr int kTwipsPerPixel = 15;

const WindowGeometry& mainWindowGeometry();
const WindowGeometry& contactWindowGeometry();

// Looks a control up by name; nullptr when the window has none of that name.
const ControlGeometry* findControl(const WindowGeometry& window, std::string_view name);

}  // namespace ui
