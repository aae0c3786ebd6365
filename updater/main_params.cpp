#include "main_params.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Log.h"
#include "aDirectory.h"

using Level = UpdaterDisplayInterface::Level;

const OptionRow g_rgOptions[] = {
    {OPTION_COMMAND, "-B", 0},         {OPTION_COMMAND, "-L", 0},
    {OPTION_COMMAND, "-D", 0},         {OPTION_COMMAND, "-G", 0},
    {OPTION_COMMAND, "-I", 0},         {OPTION_COMMAND, "-U", 0},
    {OPTION_COMMAND, "-OVERRIDE", 0},  {OPTION_COMMAND, "-N", 0},
    {OPTION_COMMAND, "-Y", 0},         {OPTION_COMMAND, "-C", 0},
    {OPTION_COMMAND, "-J", 0},         {OPTION_HELP, "-h", 0},
    {OPTION_HELP, "-H", 0},            {OPTION_PARAMETER, "-n", 0},
    {OPTION_PARAMETER, "-X", 1},       {OPTION_PARAMETER, "-Z", 1},
    {OPTION_PARAMETER, "-m", 1},       {OPTION_PARAMETER, "-i", 1},
    {OPTION_PARAMETER, "-b", 1},       {OPTION_PARAMETER, "-d", 1},
    {OPTION_PARAMETER, "-t", 1},       {OPTION_PARAMETER, "-f", 1},
    {OPTION_PARAMETER, "-r", 1},       {OPTION_PARAMETER, "-s", 1},
    {OPTION_PARAMETER, "-o", 1},       {OPTION_PARAMETER, "-e", 0},
    {OPTION_PARAMETER, "-l", 1},       {OPTION_PARAMETER, "-k", 1},
    {OPTION_PARAMETER, "-u", 1},       {OPTION_HELP, "--help", 0},
    {OPTION_END, nullptr, 0},
};

namespace {

size_t sDashes(const char* text) {
  size_t count = 0;
  while (text[count] == '-') ++count;
  return count;
}

// The row named by an option word's name: an exact match, or else the only
// row the name is a proper prefix of (same number of dashes, at least one
// character after them).
const OptionRow* sFindOption(const std::string& name) {
  size_t dashes = sDashes(name.c_str());
  const OptionRow* prefixRow = nullptr;
  int prefixMatches = 0;
  for (const OptionRow* row = g_rgOptions; row->id != OPTION_END; ++row) {
    if (sDashes(row->text) != dashes) continue;
    if (name == row->text) return row;
    if (name.size() > dashes && std::strlen(row->text) > name.size() &&
        std::strncmp(row->text, name.c_str(), name.size()) == 0) {
      if (prefixRow == nullptr) prefixRow = row;
      ++prefixMatches;
    }
  }
  return prefixMatches == 1 ? prefixRow : nullptr;
}

bool sHasHexPrefix(const char* text) { return text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

// -d and -r: hexadecimal serial number, optionally written with "0x".
bool sSerialArgument(UpdaterDisplayInterface& display, const std::string& value,
                     uint32_t* serial, const char* prefixNote, const char* invalidFormat) {
  const char* text = value.c_str();
  if (sHasHexPrefix(text)) {
    Log::log(DEBUG_Updater, "%s", prefixNote);
    text += 2;
  }
  char* end = nullptr;
  *serial = _get_hex_arg(text, &end);
  if (*serial == 0) {
    display.message(Level::LEVEL_ERROR, invalidFormat, text);
    return false;
  }
  return true;
}

bool sTransportArgument(UpdaterDisplayInterface& display, const std::string& value,
                        Parameters* params) {
  params->transport_given = true;
  if (value.compare(0, 3, "USB") == 0) {
    params->transport = 1;
  } else if (value.compare(0, 3, "TCP") == 0) {
    params->transport = 2;
  } else if (value.compare(0, 7, "RECOVER") == 0) {
    params->transport = TRANSPORT_RECOVER;
  } else {
    display.message(Level::LEVEL_ERROR,
                    "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                    value.c_str());
    params->transport = 0;
    return false;
  }
  return true;
}

// -X: package bits, decimal or "0x" hexadecimal; several -X add up.
void sLogPackagesArgument(UpdaterDisplayInterface& display, const std::string& value,
                          Parameters* params) {
  params->log_packages_given = true;
  const char* text = value.c_str();
  char* end = nullptr;
  unsigned long bits = std::strtoul(text, &end, sHasHexPrefix(text) ? 16 : 10);
  params->log_packages = static_cast<uint32_t>(bits);
  if (*end != '\0') {
    display.message(Level::LEVEL_ERROR,
                    "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", end);
    return;
  }
  Log::ActivatePackage(params->log_packages);
}

// Returns false when the option is rejected with a failure.
bool sApplyCommand(UpdaterDisplayInterface& display, const OptionRow& row, Parameters* params) {
  switch (row.text[1]) {
    case 'B': params->commands.Set(CMD_LIST_BUILDS); break;
    case 'L': params->commands.Set(CMD_LIST_LOCAL_BUILDS); break;
    case 'D': params->commands.Set(CMD_DISCOVER); break;
    case 'G': params->commands.Set(CMD_GET_BUILD); break;
    case 'I': params->commands.Set(CMD_VIEW_INFO); break;
    case 'U': params->commands.Set(CMD_UPDATE); break;
    case 'O': params->override = true; break;
    case 'N': params->commands.Set(CMD_FINGERPRINT); break;
    case 'C': params->commands.Set(CMD_CHECK_BIRD); break;
    case 'J': params->commands.Set(CMD_GET_JWT); break;
    default:
      display.message(Level::LEVEL_ERROR, "Unhandled command: [%s]", row.text);
      return false;
  }
  return true;
}

bool sApplyParameter(UpdaterDisplayInterface& display, const OptionRow& row,
                     const std::string& value, Parameters* params) {
  char* end = nullptr;
  switch (row.text[1]) {
    case 'n': params->flag_n = true; break;
    case 'X': sLogPackagesArgument(display, value, params); break;
    case 'Z': params->commands.Set(CMD_Z); break;
    case 'm':
      params->uei_bytes_load = value.compare(0, 1, "1") == 0 || value.compare(0, 4, "true") == 0;
      break;
    case 'i': params->base_directory = value; break;
    case 'b': params->build = std::to_string(_get_int_arg(value.c_str(), &end)); break;
    case 'd':
      return sSerialArgument(display, value, &params->serial_number,
                             "Discarding '0x' serial number prefix\n",
                             "Invalid serial number obtained from argument [%s]");
    case 't': return sTransportArgument(display, value, params);
    case 'f': params->firmware_file = value; break;
    case 'r':
      return sSerialArgument(display, value, &params->router_serial_number,
                             "Discarding '0x' router serial number prefix\n",
                             "Invalid router serial number obtained from argument [%s]");
    case 's': params->serial_port = value; break;
    case 'o': params->baud_rate = _get_int_arg(value.c_str(), &end); break;
    case 'e': params->echo = true; break;
    case 'l': params->history_message = value; break;
    case 'k': params->log_file = value; break;
    case 'u': params->server_url = value; break;
    default: break;
  }
  return true;
}

void sSetDefaults(Parameters* params, const char* argv0) {
  params->commands = CommandsClass();
  params->serial_number = 0;
  params->router_serial_number = 0;
  params->transport = 1;
  params->transport_given = false;
  params->module_address = 0;
  params->echo = false;
  params->log_file = "Updater.log";
  params->log_mode = "a+";
  params->firmware_file.clear();
  params->history_message.clear();
  params->build.clear();
  params->serial_port.clear();
  params->baud_rate = 115200;
  params->override = false;
  params->server_url = QM_DEFAULT_SERVER_URL;
  params->flag_n = false;
  params->base_directory.clear();
  params->program_name.clear();
  if (argv0 != nullptr) {
    const char* name = argv0;
    for (const char* p = argv0; *p != '\0'; ++p)
      if (*p == '/' || *p == '\\') name = p + 1;
    params->program_name = name;
  }
  params->buffer.reset();
  params->uei_bytes_load = true;
  params->log_packages = 0;
  params->log_packages_given = false;
  params->help_requested = false;
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
  if (end == nullptr) return 0;
  if (text[std::strspn(text, "0123456789ABCDEFabcdef")] != '\0') return 0;
  return static_cast<uint32_t>(std::strtoul(text, end, 16));
}

uint32_t _get_int_arg(const char* text, char** end) {
  if (end == nullptr) return 0;
  if (text[std::strspn(text, "0123456789")] != '\0') return 0;
  return static_cast<uint32_t>(std::strtoul(text, end, 10));
}

int _validate_params(Parameters*) { return 0; }

int _release_params(Parameters* params) {
  params->buffer.reset();
  return 0;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params) {
  sSetDefaults(params, argc > 0 ? argv[0] : nullptr);

  char home[HOME_DIRECTORY_SIZE + 1] = {};
  if (aDirectory_GetHomeDirectory(home, HOME_DIRECTORY_SIZE) == aErrNone)
    params->home_directory = home;
  Log::log(DEBUG_APP, "Home directory:[%s]\n", params->home_directory.c_str());

  // Option words (with the arguments they took) keep their order; other
  // words are set aside and listed after them in the log.
  std::vector<const char*> optionWords;
  std::vector<const char*> otherWords;
  bool failed = false;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (word[0] != '-') {
      otherWords.push_back(word);
      continue;
    }
    optionWords.push_back(word);

    const char* equals = std::strchr(word, '=');
    std::string name = equals != nullptr ? std::string(word, equals) : std::string(word);
    const OptionRow* row = sFindOption(name);
    if (row == nullptr) continue;

    std::string value;
    if (row->argument == 0) {
      if (equals != nullptr) continue;
    } else if (equals != nullptr) {
      value = equals + 1;
    } else {
      // A missing argument rejects the option; the next word is then
      // scanned as a word of its own.
      if (i + 1 >= argc || argv[i + 1][0] == '-') continue;
      value = argv[++i];
      optionWords.push_back(argv[i]);
    }

    switch (row->id) {
      case OPTION_HELP:
        params->commands.Set(CMD_HELP);
        params->help_requested = true;
        return 0;
      case OPTION_COMMAND:
        if (!sApplyCommand(display, *row, params)) failed = true;
        break;
      default:
        if (!sApplyParameter(display, *row, value, params)) failed = true;
        break;
    }
  }

  Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->program_name.c_str());
  if (argc > 0 && argv[0] != nullptr) Log::log(DEBUG_APP, "\t[%s]\n", argv[0]);
  for (const char* word : optionWords) Log::log(DEBUG_APP, "\t[%s]\n", word);
  for (const char* word : otherWords) Log::log(DEBUG_APP, "\t[%s]\n", word);

  return failed ? 1 : _validate_params(params);
}
