// Diagnostic trace of the tool. Every part of the tool writes through
// Log::log with a package bit; a line appears only when its package was
// switched on (option -X). Package 0 lines are written whenever the log has
// an output stream.
#pragma once

#include <cstdint>
#include <cstdio>

// Package bits, as listed in the extended usage text.
enum : uint32_t {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

class Log {
 public:
  Log() = default;
  ~Log() = default;

  // Writes one formatted trace text (no newline is added). Texts longer than
  // LINE_SIZE - 1 characters are cut.
  static void log(uint32_t package, const char* format, ...)
      __attribute__((format(printf, 2, 3)));

  // Null switches the log off.
  static void SetOutput(FILE* stream);
  static void ActivatePackage(uint32_t bits);
  static void DeactivatePackage(uint32_t bits);

  static constexpr const char* TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
  static constexpr const char* SEPARATOR = " | ";
  static constexpr size_t LINE_SIZE = 2048;

  // Only changed while the options are scanned, before any other thread runs.
  static uint32_t package_bitmask;
  static FILE* fh;
  // Prefix lines with a UTC time stamp; off unless a caller switches it on.
  static bool timestamped;
};
