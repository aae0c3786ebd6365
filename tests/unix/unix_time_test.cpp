#include "unix_time.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

uint64_t msSince(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(aTime, TicksFollowTheWallClock) {
  auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  uint64_t ticks = aTime_GetMSTicks();
  auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
  EXPECT_GE(ticks, static_cast<uint64_t>(before));
  EXPECT_LE(ticks, static_cast<uint64_t>(after));
}

TEST(aTime, SleepsAtLeastTheTimeAsked) {
  // 1000 and 2500 ms need more than one slice of under a second.
  for (uint64_t ms : {0u, 1u, 1000u, 2500u}) {
    auto start = Clock::now();
    EXPECT_EQ(aTime_MSSleep(ms), aErrNone);
    EXPECT_GE(msSince(start), ms) << ms;
  }
}

void onAlarm(int) {}

TEST(aTime, SignalsDoNotCutTheSleepShort) {
  struct sigaction action {};
  action.sa_handler = onAlarm;  // no SA_RESTART: the sleep is interrupted
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
  itimerval timer{};
  timer.it_value.tv_usec = 50000;
  timer.it_interval.tv_usec = 50000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
  auto start = Clock::now();
  aTime_MSSleep(400);
  uint64_t slept = msSince(start);
  timer = {};
  setitimer(ITIMER_REAL, &timer, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(slept, 400u);
}

}  // namespace
