#include <cstdio>

int main() {
  std::printf("Updater (Version: 2.12.1 Feb 11 2026)\n");
  return 0;
}
