// ctest-labels: threaded
#include "unix_thread.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace {

void* addOne(void* argument) {
  ++*static_cast<int*>(argument);
  return nullptr;
}

TEST(aThread, RunsTheFunctionAndJoins) {
  int value = 41;
  aThreadRef thread = aThread_Create(addOne, &value);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(thread, nullptr);
  EXPECT_EQ(value, 42);  // the join orders the thread's write before this read
}

TEST(aThread, RefusesNullHandlesAndFunctions) {
  aThreadRef thread = nullptr;
  EXPECT_EQ(aThread_Destroy(&thread), EINVAL);
  EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
  EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
}

struct SelfDestroy {
  std::promise<aThreadRef*> handle;
  std::promise<int> result;
};

void* destroyOwnHandle(void* argument) {
  auto* self = static_cast<SelfDestroy*>(argument);
  aThreadRef* handle = self->handle.get_future().get();
  self->result.set_value(aThread_Destroy(handle));
  return nullptr;
}

TEST(aThread, DestroyFromTheThreadItselfDoesNotWaitForever) {
  SelfDestroy self;
  auto result = self.result.get_future();
  aThreadRef thread = aThread_Create(destroyOwnHandle, &self);
  ASSERT_NE(thread, nullptr);
  self.handle.set_value(&thread);
  EXPECT_EQ(result.get(), EDEADLK);
  EXPECT_EQ(thread, nullptr);
}

TEST(aThread, YieldReturns) { aThread_Yield(); }

}  // namespace
