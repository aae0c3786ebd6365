// The one sink for everything the tool shows a user: message lines at two
// levels and in-place progress (bars and spinners). Workflows hold a
// reference to it; the console implementation is CLI_Display.
#pragma once

#include <cstddef>

class UpdaterDisplayInterface {
 public:
  enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

  static constexpr size_t MESSAGE_SIZE = 2048;

  UpdaterDisplayInterface() = default;
  UpdaterDisplayInterface(const UpdaterDisplayInterface&) = delete;
  UpdaterDisplayInterface& operator=(const UpdaterDisplayInterface&) = delete;

  // Formats one line (cut to MESSAGE_SIZE - 1 characters) and hands it to
  // error_message for LEVEL_ERROR, to info_message otherwise. Prints nothing
  // while muted.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Muting silences message() only; progress is still drawn.
  void mute_messages(bool mute) { muted = mute; }
  bool is_muted() const { return muted; }

  // show false clears the progress line; show true draws nothing yet.
  virtual void display_progress(bool show) = 0;
  // fraction 0.0 to 1.0; label may be null.
  virtual void update_progress(double fraction, const char* label = nullptr) = 0;
  // active true draws the next spinner frame, false clears the line.
  virtual void update_spinner(bool active, const char* label = nullptr) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

 protected:
  // Displays are owned by their concrete type, never deleted through here.
  ~UpdaterDisplayInterface() = default;

 private:
  bool muted = false;
};
