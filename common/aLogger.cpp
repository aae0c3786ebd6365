#include "aLogger.h"

#include <stdlib.h>

#include <atomic>
#include <new>

#include "unix_thread.h"

struct aLoggerRecord {
  uint32_t identifier;
  aLoggerCallback callback;
  aFileRef file;
  aThreadRef thread;
  std::atomic<int> running;  // read by the logger thread, cleared by Disable
  uint16_t check;
};

namespace {

/* The logger whose thread is the current one, so that Disable can tell a
 * call from inside its own callback. */
thread_local aLoggerRecord* sCurrentLogger = nullptr;

bool sValid(aLoggerRef logger) { return logger && logger->check == aLOGGERCHECK; }

void* sLoggerThread(void* argument) {
  aLoggerRef logger = static_cast<aLoggerRef>(argument);
  sCurrentLogger = logger;
  while (logger->running.load(std::memory_order_acquire))
    logger->callback(logger->file, logger->identifier);
  sCurrentLogger = nullptr;
  return nullptr;
}

}  // namespace

extern "C" {

aLoggerRef aLogger_Create(uint32_t identifier, aLoggerCallback callback, const char* path) {
  if (!callback) return NULL;
  aFileRef file = aFile_Open(path, aFileModeAppend);
  if (!file) return NULL;
  if (aFile_SetUnbuffered(file) != aErrNone) {
    aFile_Close(&file);
    return NULL;
  }
  aLoggerRef logger = new (std::nothrow) aLoggerRecord();
  if (!logger) {
    aFile_Close(&file);
    return NULL;
  }
  logger->identifier = identifier;
  logger->callback = callback;
  logger->file = file;
  logger->thread = NULL;
  logger->running.store(0);
  logger->check = aLOGGERCHECK;
  return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
  if (!sValid(logger)) return aErrParam;
  if (logger->thread) return aErrNone;
  logger->running.store(1, std::memory_order_release);
  logger->thread = aThread_Create(sLoggerThread, logger);
  if (!logger->thread) {
    logger->running.store(0);
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
  if (!sValid(logger)) return aErrParam;
  if (sCurrentLogger == logger) return aErrNone;
  if (!logger->thread) return aErrNone;
  logger->running.store(0, std::memory_order_release);
  if (aThread_Destroy(&logger->thread) != 0) return aErrUnknown;
  return aErrNone;
}

aErr aLogger_Destroy(aLoggerRef* logger) {
  if (!logger || !sValid(*logger)) return aErrNone;
  aLoggerRef record = *logger;
  /* From inside its own callback the thread cannot be stopped; freeing the
   * record under it would leave the thread running on freed memory. */
  if (sCurrentLogger == record) return aErrBusy;
  aErr err = aLogger_Disable(record);
  if (err != aErrNone) return err;
  err = aFile_Close(&record->file);
  record->check = 0;
  delete record;
  *logger = NULL;
  return err;
}

}  // extern "C"
