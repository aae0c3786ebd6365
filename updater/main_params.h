// Command line of the tool: the command bits, the Parameters record and the
// option scanner that fills it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "UpdaterDisplayInterface.h"

enum COMMANDS : uint32_t {
  CMD_DISCOVER = 0x00000001,
  CMD_UPDATE = 0x00000002,
  CMD_LIST_BUILDS = 0x00000004,
  CMD_GET_BUILD = 0x00000008,
  CMD_VIEW_INFO = 0x00000010,
  CMD_CHECK_BIRD = 0x00000020,
  CMD_FINGERPRINT = 0x00000040,
  CMD_Z = 0x00000080,
  CMD_GET_JWT = 0x00000100,
  CMD_LIST_LOCAL_BUILDS = 0x00000200,
  CMD_HELP = 0x80000000,
};

// Asks whether any command was given. It also covers 0x400, 0x10000 and
// 0x20000, which no option sets.
constexpr uint32_t CMD_ANY_COMMAND_MASK = 0x000307FF;

class CommandsClass {
 public:
  // ORs the bit in; true when some bit is set afterwards.
  bool Set(COMMANDS command) {
    word |= command;
    return word != 0;
  }
  // True when any bit of mask is set.
  bool IsSet(uint32_t mask) const { return (word & mask) != 0; }
  uint32_t bits() const { return word; }

 private:
  uint32_t word = 0;
};

// Transport value of -t RECOVER: talk to the chip's boot ROM.
constexpr int TRANSPORT_RECOVER = 0xFF;

// Everything the command line says. _get_params gives every field its
// default before scanning.
struct Parameters {
  CommandsClass commands;
  uint32_t serial_number = 0;
  uint32_t router_serial_number = 0;
  int transport = 1;  // a link type (1 USB, 2 TCP/IP) or TRANSPORT_RECOVER
  bool transport_given = false;
  std::string serial_port;
  uint32_t baud_rate = 115200;
  uint8_t module_address = 0;  // behind a router; 0 means look it up
  std::string firmware_file;
  std::string history_message;
  std::string build;  // decimal text; empty lets the workflow choose
  bool echo = false;
  std::string server_url;
  bool flag_n = false;
  std::string base_directory;
  std::string program_name;
  std::string home_directory;
  std::string log_mode;
  std::string log_file;
  std::unique_ptr<char[]> buffer;
  bool override = false;
  bool uei_bytes_load = true;
  uint32_t log_packages = 0;
  bool log_packages_given = false;
  bool help_requested = false;
};

// One row of the option table. The table ends with a row whose id is -1.
struct OptionRow {
  int id;            // OPTION_HELP, OPTION_COMMAND or OPTION_PARAMETER
  const char* text;  // the exact word, dashes included
  int argument;      // 0 takes none, 1 takes one
};

enum { OPTION_END = -1, OPTION_HELP = 0, OPTION_COMMAND = 1, OPTION_PARAMETER = 2 };

extern const OptionRow g_rgOptions[];

// Size of the buffer the home directory is read into.
constexpr size_t HOME_DIRECTORY_SIZE = 2048;

// Fills params from the command line. Rejected options are reported through
// display (-Y, bad -d, -r, -t make the result 1); unknown words are skipped.
// Returns 0 when every option was accepted.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);

// Hexadecimal (or decimal) value of text when every character is a digit of
// that base, else 0. Returns 0 when end is null.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

// Cross-checks after a successful scan; there are none.
int _validate_params(Parameters* params);
// Frees params->buffer; safe to call more than once.
int _release_params(Parameters* params);
