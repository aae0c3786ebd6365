#include "CLI_Display.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "qm_process.h"
#include "qm_pty.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

std::string bar(int filled, int blanks) {
  return std::string(static_cast<size_t>(filled), '=') + ">" +
         std::string(static_cast<size_t>(blanks), ' ');
}

const std::string CLEAR = "\r" + std::string(88, ' ') + "\r";

// Runs `draw` with standard output on a terminal; returns what it showed.
std::string onTerminal(const std::function<void(CLI_Display&)>& draw) {
  qmtest::PtyResult result = qmtest::runOnPty([&] {
    CLI_Display display;
    draw(display);
    return 0;
  });
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_FALSE(result.timedOut);
  return result.terminal;
}

TEST(CLI_Display, ProgressBarLayout) {
  struct Case {
    double fraction;
    const char* label;
    std::string expected;
  };
  const Case cases[] = {
      {0.5, nullptr, "\r[" + bar(34, 34) + "] ( 50% ) "},
      // A full bar pads the empty text to one blank (field width -1).
      {1.0, nullptr, "\r[" + bar(69, 1) + "] (100% ) "},
      {0.0, nullptr, "\r[" + bar(0, 68) + "] (  0% ) "},
      // A label takes its length and four characters from the bar.
      {0.25, "Flash", "\r (Flash) [" + bar(15, 44) + "] ( 25% ) "},
      // Fractions outside 0..1 are drawn as an empty or a full bar.
      {1.5, nullptr, "\r[" + bar(69, 1) + "] (100% ) "},
      {-0.5, nullptr, "\r[" + bar(0, 68) + "] (  0% ) "},
  };
  for (const Case& c : cases) {
    std::string shown = onTerminal([&](CLI_Display& d) { d.update_progress(c.fraction, c.label); });
    EXPECT_EQ(shown, c.expected) << c.fraction;
  }
}

TEST(CLI_Display, HidingProgressClearsTheLineAndShowingDrawsNothing) {
  EXPECT_EQ(onTerminal([](CLI_Display& d) { d.display_progress(true); }), "");
  EXPECT_EQ(onTerminal([](CLI_Display& d) { d.display_progress(false); }), CLEAR);
}

TEST(CLI_Display, SpinnerCyclesItsFramesAcrossDisplays) {
  std::string shown = onTerminal([](CLI_Display& first) {
    for (int i = 0; i < 5; ++i) first.update_spinner(true, nullptr);
    first.update_spinner(false, nullptr);
    // The position is shared by the process: a new spinner goes on.
    CLI_Display second;
    for (int i = 0; i < 4; ++i) second.update_spinner(true, "Downloading");
  });
  std::string expected;
  for (const char* frame : {".", "..", "...", "....", "....."})
    expected += std::string("\r ") + frame + "      \r";
  expected += CLEAR;
  for (const char* frame : {"....", "...", "..", "."})
    expected += std::string("\r (Downloading) ") + frame + "      \r";
  EXPECT_EQ(shown, expected);
}

TEST(CLI_Display, MutedDisplayStillDrawsProgress) {
  qmtest::PtyResult result = qmtest::runOnPty([] {
    CLI_Display display;
    display.mute_messages(true);
    display.message(Level::LEVEL_INFO, "hidden info");
    display.message(Level::LEVEL_ERROR, "hidden error");
    display.update_progress(1.0);
    display.mute_messages(false);
    display.message(Level::LEVEL_INFO, "shown %d", 1);
    return 0;
  });
  EXPECT_EQ(result.terminal, "\r[" + bar(69, 1) + "] (100% ) shown 1\n");
  EXPECT_EQ(result.err, "");
}

TEST(CLI_Display, MessagesGoToTheirStreamsAndAreCut) {
  qmtest::PtyResult result = qmtest::runOnPty([] {
    CLI_Display display;
    display.message(Level::LEVEL_INFO, "info %s", "line");
    display.message(Level::LEVEL_ERROR, "error %d", 2);
    display.message(Level::LEVEL_ERROR, "%s", std::string(3000, 'e').c_str());
    return 0;
  });
  EXPECT_EQ(result.terminal, "info line\n");
  EXPECT_EQ(result.err, "error 2\n" + std::string(2047, 'e') + "\n");
}

// With standard output redirected to a file nothing but the messages is
// written: no bars, spinner frames or clearing.
TEST(CLI_Display, RedirectedOutputHoldsNoProgress) {
  qmtest::TempDir dir;
  std::string path = dir.file("out.txt");
  std::fflush(stdout);
  int saved = dup(1);
  int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(file, 0);
  dup2(file, 1);
  close(file);
  {
    CLI_Display display;
    display.display_progress(true);
    display.update_progress(0.5);
    display.update_spinner(true, "Downloading");
    display.update_spinner(false, "Downloading");
    display.display_progress(false);
    display.info_message("kept");
  }
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  EXPECT_EQ(qmtest::readFile(path), "kept\n");
}

}  // namespace
