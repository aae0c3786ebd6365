// ctest-labels: threaded
#include "aLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "qm_process.h"

namespace {

// What the callbacks saw; one per test, reached through the identifier.
struct Observed {
  std::mutex lock;
  std::condition_variable changed;
  int calls = 0;
  std::set<std::thread::id> threads;
  aLoggerRef self = nullptr;  // for callbacks that act on their own logger
  aErr fromInside = -1;

  void note() {
    std::lock_guard<std::mutex> guard(lock);
    ++calls;
    threads.insert(std::this_thread::get_id());
    changed.notify_all();
  }
  bool waitFor(int count) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(30), [&] { return calls >= count; });
  }
  int count() {
    std::lock_guard<std::mutex> guard(lock);
    return calls;
  }
};

Observed* gObserved = nullptr;

aErr writeLine(aFileRef file, uint32_t identifier) {
  aFile_Printf(file, "tick %u\n", identifier);
  gObserved->note();
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return aErrNone;
}

aErr disableSelf(aFileRef, uint32_t) {
  aErr err = aLogger_Disable(gObserved->self);
  {
    std::lock_guard<std::mutex> guard(gObserved->lock);
    gObserved->fromInside = err;
  }
  gObserved->note();
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return aErrNone;
}

aErr destroySelf(aFileRef, uint32_t) {
  aLoggerRef handle = gObserved->self;
  aErr err = aLogger_Destroy(&handle);
  {
    std::lock_guard<std::mutex> guard(gObserved->lock);
    gObserved->fromInside = err;
  }
  gObserved->note();
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return aErrNone;
}

class aLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { gObserved = &observed; }
  void TearDown() override { gObserved = nullptr; }
  Observed observed;
  qmtest::TempDir dir;
};

TEST_F(aLoggerTest, WritesThroughTheCallbackWhileEnabled) {
  std::string path = dir.file("log");
  qmtest::writeFile(path, "earlier\n");
  aLoggerRef logger = aLogger_Create(7, writeLine, path.c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(observed.count(), 0);  // created stopped
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);  // already running: no second thread
  ASSERT_TRUE(observed.waitFor(3));
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  int calls = observed.count();
  // Unbuffered: every line is in the file as soon as the thread has stopped.
  std::string log = qmtest::readFile(path);
  EXPECT_EQ(log.rfind("earlier\ntick 7\ntick 7\ntick 7\n", 0), 0u) << log;
  EXPECT_EQ(log.size(), std::string("earlier\n").size() + calls * std::string("tick 7\n").size());
  EXPECT_EQ(observed.threads.size(), 1u);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // already stopped

  // It can be started again.
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(observed.waitFor(calls + 1));
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);  // stops it first
  EXPECT_EQ(logger, nullptr);
}

TEST_F(aLoggerTest, CreationFailures) {
  EXPECT_EQ(aLogger_Create(1, writeLine, dir.file("missing/log").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(1, writeLine, nullptr), nullptr);
  EXPECT_EQ(aLogger_Create(1, nullptr, dir.file("log").c_str()), nullptr);
}

TEST_F(aLoggerTest, InvalidHandles) {
  aLoggerRef logger = nullptr;
  EXPECT_EQ(aLogger_Enable(logger), aErrParam);
  EXPECT_EQ(aLogger_Disable(logger), aErrParam);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
}

TEST_F(aLoggerTest, DisableFromTheCallbackDoesNothing) {
  aLoggerRef logger = aLogger_Create(1, disableSelf, dir.file("log").c_str());
  ASSERT_NE(logger, nullptr);
  observed.self = logger;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(observed.waitFor(2));  // still running after the first call
  {
    std::lock_guard<std::mutex> guard(observed.lock);
    EXPECT_EQ(observed.fromInside, aErrNone);
  }
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

TEST_F(aLoggerTest, DestroyFromTheCallbackIsRefused) {
  aLoggerRef logger = aLogger_Create(1, destroySelf, dir.file("log").c_str());
  ASSERT_NE(logger, nullptr);
  observed.self = logger;
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(observed.waitFor(2));  // the record survived the first call
  {
    std::lock_guard<std::mutex> guard(observed.lock);
    EXPECT_EQ(observed.fromInside, aErrBusy);
  }
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
}

}  // namespace
