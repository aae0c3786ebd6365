#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;

void Log::log(uint32_t package, const char* format, ...) {
  if (package != 0 && (package_bitmask & package) == 0) return;
  if (fh == nullptr) return;

  // The stamp goes to the same stream as the line, so a stamped line stays
  // one line. Very short texts (bare newlines, fragments) get no stamp.
  if (timestamped && std::strlen(format) > 10) {
    char stamp[128];
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc) != nullptr &&
        std::strftime(stamp, sizeof stamp, TIMESTAMP_FORMAT, &utc) > 0) {
      std::fputs(stamp, fh);
      std::fputs(SEPARATOR, fh);
    }
  }

  // Each call formats into its own buffer and hands it over in one write,
  // so the download worker and the main thread never interleave inside a line.
  char line[LINE_SIZE];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length <= 0) return;
  size_t count = static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length)
                                                           : sizeof line - 1;
  std::fwrite(line, 1, count, fh);
}

void Log::SetOutput(FILE* stream) { fh = stream; }

void Log::ActivatePackage(uint32_t bits) { package_bitmask |= bits; }

void Log::DeactivatePackage(uint32_t bits) { package_bitmask &= ~bits; }
