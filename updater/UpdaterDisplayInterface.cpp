#include "UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
  if (muted) return;
  char text[MESSAGE_SIZE];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) text[0] = '\0';
  if (level == LEVEL_ERROR)
    error_message(text);
  else
    info_message(text);
}
