#include "CLI_Display.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

bool sOnTerminal() { return isatty(fileno(stdout)) == 1; }

void sClearLine() { std::fprintf(stdout, "\r%*s\r", CLI_Display::CLEAR_WIDTH, " "); }

const char BAR[] = "=====================================================================";
static_assert(sizeof BAR - 1 == CLI_Display::BAR_WIDTH, "bar text must fill the bar");

const char* const SPINNER_FRAMES[] = {".", "..", "...", "....", ".....", "....", "...", ".."};

}  // namespace

CLI_Display::CLI_Display() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
  if (!sOnTerminal()) return;
  if (!show) sClearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!sOnTerminal()) return;
  // Out-of-range fractions would make the "=" run longer than the bar text
  // or negative; clamp them to an empty or a full bar.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int width = BAR_WIDTH;
  if (label != nullptr) {
    int room = BAR_WIDTH - static_cast<int>(std::strlen(label)) - 4;
    width = room > 0 ? room : 0;
  }
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100);
  // A full bar leaves a field width of -1, which pads the empty text to one
  // blank before the closing bracket.
  if (label == nullptr)
    std::fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, BAR, width - filled - 1, "", percent);
  else
    std::fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR,
                 width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label) {
  // Shared by every display of the process: a new spinner carries on from
  // where the last one stopped.
  static uint8_t position = 0;
  if (!sOnTerminal()) return;
  if (!active) {
    sClearLine();
    return;
  }
  if (label == nullptr)
    std::fprintf(stdout, "\r %s      \r", SPINNER_FRAMES[position]);
  else
    std::fprintf(stdout, "\r (%s) %s      \r", label, SPINNER_FRAMES[position]);
  position = static_cast<uint8_t>((position + 1) % 8);
}

void CLI_Display::info_message(const char* text) { std::fprintf(stdout, "%s\n", text); }

void CLI_Display::error_message(const char* text) { std::fprintf(stderr, "%s\n", text); }
