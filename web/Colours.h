// The clinic's colours in a browser. A colour is a Windows colour number as the clients store
// it: 0x00BBGGRR for a colour of its own, a system colour (high byte 0xFF or 0x80, the low byte
// the index) shown as Windows shows it by default, clNone and clDefault as no colour at all.
#pragma once

#include <optional>
#include <string>

#include "common/TAVOcommon.h"

namespace tavo {

// "#rrggbb", or nullopt for no colour.
std::optional<std::string> CssColour(TColor colour);
// "#000000" or "#ffffff", whichever reads better on the colour ("#000000" for none).
std::string InkFor(TColor colour);

}  // namespace tavo
