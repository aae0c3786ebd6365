#include <aError.h>

#include <cstdio>
#include <cstring>

int main() {
  const char* text = aError_GetErrorText(aErrTimeout);
  std::printf("consumer: %s\n", text);
  return std::strcmp(text, "aErrTimeout") == 0 ? 0 : 1;
}
