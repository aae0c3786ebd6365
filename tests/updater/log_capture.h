// Collects what the tool's diagnostic log writes while a test runs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"

class LogCapture {
 public:
  explicit LogCapture(uint32_t packages) {
    stream_ = open_memstream(&buffer_, &size_);
    saved_mask_ = Log::package_bitmask;
    saved_fh_ = Log::fh;
    Log::package_bitmask = packages;
    Log::SetOutput(stream_);
  }
  ~LogCapture() {
    Log::SetOutput(saved_fh_);
    Log::package_bitmask = saved_mask_;
    std::fclose(stream_);
    std::free(buffer_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() {
    std::fflush(stream_);
    return std::string(buffer_, size_);
  }

 private:
  FILE* stream_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
  uint32_t saved_mask_ = 0;
  FILE* saved_fh_ = nullptr;
};
