// Console display: information lines on standard output, errors on standard
// error, progress bars and spinners drawn in place - the latter only when
// standard output is a terminal, so redirected output holds no progress text.
#pragma once

#include "UpdaterDisplayInterface.h"

class CLI_Display final : public UpdaterDisplayInterface {
 public:
  // Makes standard output and standard error unbuffered, so progress and
  // messages on the two streams appear in the order they were written.
  CLI_Display();
  ~CLI_Display() = default;

  void display_progress(bool show) override;
  void update_progress(double fraction, const char* label = nullptr) override;
  void update_spinner(bool active, const char* label = nullptr) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // Width of the bar without a label.
  static constexpr int BAR_WIDTH = 69;
  // Width of the blank line that erases a progress line.
  static constexpr int CLEAR_WIDTH = 88;
};
