// A display for tests of the tool's code: records every message line and
// progress call instead of printing. Header-only, for test programs that
// link updater_core.
#pragma once

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

namespace qmtest {

class RecordingDisplay final : public UpdaterDisplayInterface {
 public:
  struct Line {
    Level level;
    std::string text;
  };

  void display_progress(bool show) override { progress.push_back(show ? "show" : "hide"); }
  void update_progress(double fraction, const char* label) override {
    progress.push_back("bar " + std::to_string(fraction) + (label ? std::string(" ") + label : ""));
  }
  void update_spinner(bool active, const char* label) override {
    progress.push_back(std::string(active ? "spin" : "stop") + (label ? std::string(" ") + label : ""));
  }
  void info_message(const char* text) override { lines.push_back({LEVEL_INFO, text}); }
  void error_message(const char* text) override { lines.push_back({LEVEL_ERROR, text}); }

  // The texts of one level, in order.
  std::vector<std::string> texts(Level level) const {
    std::vector<std::string> out;
    for (const auto& line : lines)
      if (line.level == level) out.push_back(line.text);
    return out;
  }
  std::vector<std::string> errors() const { return texts(LEVEL_ERROR); }
  std::vector<std::string> infos() const { return texts(LEVEL_INFO); }

  std::vector<Line> lines;
  std::vector<std::string> progress;
};

}  // namespace qmtest
