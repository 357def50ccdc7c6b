#include "web/Colours.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace tavo {
namespace {

constexpr uint32_t kNone = 0x1FFFFFFF;
constexpr uint32_t kDefault = 0x20000000;

// Windows' default system colours as 0xRRGGBB, by index (COLOR_SCROLLBAR .. COLOR_MENUBAR).
constexpr std::array<uint32_t, 31> kSystem = {
    0xC8C8C8, 0x000000, 0x99B4D1, 0xBFCDDB, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000,
    0x000000, 0x000000, 0xB4B4B4, 0xF4F7FC, 0xABABAB, 0x0078D7, 0xFFFFFF, 0xF0F0F0,
    0xA0A0A0, 0x6D6D6D, 0x000000, 0x000000, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000,
    0xFFFFE1, 0xB5B5B5, 0x0066CC, 0xB9D1EA, 0xD7E4F2, 0x3399FF, 0xF0F0F0};

std::optional<uint32_t> Rgb(TColor colour) {
  const auto v = static_cast<uint32_t>(colour);
  if (v == kNone || v == kDefault) return std::nullopt;
  const uint32_t high = v >> 24;
  if (high == 0xFF || high == 0x80) {
    const uint32_t index = v & 0xFF;
    if (index >= kSystem.size()) return std::nullopt;
    return kSystem[index];
  }
  // 0x00BBGGRR; a palette flag in the high byte does not change the colour.
  return ((v & 0xFF) << 16) | (v & 0xFF00) | ((v >> 16) & 0xFF);
}

}  // namespace

std::optional<std::string> CssColour(TColor colour) {
  const auto rgb = Rgb(colour);
  if (!rgb) return std::nullopt;
  char text[8];
  std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(*rgb));
  return std::string(text);
}

std::string InkFor(TColor colour) {
  const auto rgb = Rgb(colour);
  if (!rgb) return "#000000";
  // Relative luminance of sRGB, the contrast rule of WCAG: pick the ink with the larger ratio.
  auto channel = [](uint32_t c8) {
    const double c = c8 / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  const double l = 0.2126 * channel((*rgb >> 16) & 0xFF) + 0.7152 * channel((*rgb >> 8) & 0xFF) +
                   0.0722 * channel(*rgb & 0xFF);
  return (l + 0.05) / 0.05 >= 1.05 / (l + 0.05) ? "#000000" : "#ffffff";
}

}  // namespace tavo
