// ctest-labels: threaded
#include "unix_mutex.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

namespace {

aErr fromOtherThread(aErr (*operation)(aMutexRef), aMutexRef mutex) {
  return std::async(std::launch::async, operation, mutex).get();
}

TEST(aMutex, NameLength) {
  aMutexRef mutex = aMutex_Create(std::string(256, 'n').c_str());
  EXPECT_EQ(mutex, nullptr);
  std::string longest(255, 'n');
  mutex = aMutex_Create(longest.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(aMutex_Identifier(mutex), longest);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
  EXPECT_EQ(mutex, nullptr);

  mutex = aMutex_Create(nullptr);
  ASSERT_NE(mutex, nullptr);
  EXPECT_STREQ(aMutex_Identifier(mutex), "");
  aMutex_Destroy(&mutex);
}

TEST(aMutex, LockingResults) {
  aMutexRef mutex = aMutex_Create("m");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate);  // reported, not a hang
  EXPECT_EQ(fromOtherThread(aMutex_TryLock, mutex), aErrBusy);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(aMutex, NullMutexIsRefused) {
  aMutexRef mutex = nullptr;
  EXPECT_EQ(aMutex_Lock(mutex), aErrParam);
  EXPECT_EQ(aMutex_TryLock(mutex), aErrParam);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrParam);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
  EXPECT_STREQ(aMutex_Identifier(mutex), "");
}

#ifndef QM_TSAN
TEST(aMutex, MisuseIsReported) {
  aMutexRef mutex = aMutex_Create("m");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);  // not locked at all
  ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(fromOtherThread(aMutex_Unlock, mutex), aErrPermission);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
  EXPECT_EQ(mutex, nullptr);  // freed whatever the native result
}
#else
TEST(aMutex, MisuseIsReported) {
  GTEST_SKIP() << "ThreadSanitizer reports the misuse itself before the mutex can";
}
#endif

TEST(aMutex, ExcludesOtherThreads) {
  aMutexRef mutex = aMutex_Create("counter");
  ASSERT_NE(mutex, nullptr);
  long counter = 0;  // guarded by the mutex only
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
      ++counter;
      ASSERT_EQ(aMutex_Unlock(mutex), aErrNone);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
  aMutex_Destroy(&mutex);
}

}  // namespace
