#include "path.h"

#include <cstdarg>

#include "aDirectory.h"

std::string BuildPath(const char* first, ...) {
  std::string result = first ? first : "";
  va_list parts;
  va_start(parts, first);
  while (const char* part = va_arg(parts, const char*)) {
    result += aDIR_PATH_SEP;
    result += part;
  }
  va_end(parts);
  return result;
}
