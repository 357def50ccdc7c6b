#include "admin/ColumnWidth.h"

#include "common/RequestError.h"

namespace tavo {

void RequireWidth(const std::string& value, size_t width, const char* column) {
  if (value.size() > width)
    throw ERequestError(std::string(column) + " is longer than " + std::to_string(width) +
                        " characters");
}

}  // namespace tavo
