// The pages' files (HTML, CSS, JavaScript from web/pages/), built into the executable so
// that nothing can be missing or changed beside it, and nothing is fetched from elsewhere.
#pragma once

#include <string_view>

namespace tavo {

struct TAsset {
  std::string_view Name;  // file name, e.g. "display.js"
  std::string_view ContentType;
  std::string_view Body;
};

// The file of that name, or nullptr.
const TAsset* FindAsset(std::string_view name);

}  // namespace tavo
