#include "main_params.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Log.h"
#include "qm_recording_display.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

// Scans `words` as the command line of "/opt/tools/Updater".
class ParamsTest : public ::testing::Test {
 protected:
  void SetUp() override { Log::DeactivatePackage(0xFFFFFFFFu); }
  void TearDown() override {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFFu);
  }

  int scan(const std::vector<std::string>& words, const std::string& program = "/opt/tools/Updater") {
    storage = {program};
    storage.insert(storage.end(), words.begin(), words.end());
    argv.clear();
    for (auto& word : storage) argv.push_back(word.data());
    argv.push_back(nullptr);
    display.lines.clear();
    params = Parameters();
    return _get_params(display, static_cast<int>(storage.size()), argv.data(), &params);
  }

  qmtest::RecordingDisplay display;
  Parameters params;
  std::vector<std::string> storage;
  std::vector<char*> argv;
};

TEST_F(ParamsTest, DefaultsBeforeScanning) {
  params.serial_number = 7;
  params.build = "12";
  params.uei_bytes_load = false;
  ASSERT_EQ(scan({}), 0);
  EXPECT_EQ(params.commands.bits(), 0u);
  EXPECT_EQ(params.serial_number, 0u);
  EXPECT_EQ(params.router_serial_number, 0u);
  EXPECT_EQ(params.transport, 1);
  EXPECT_FALSE(params.transport_given);
  EXPECT_EQ(params.baud_rate, 115200u);
  EXPECT_EQ(params.build, "");
  EXPECT_EQ(params.server_url, QM_DEFAULT_SERVER_URL);
  EXPECT_EQ(params.log_file, "Updater.log");
  EXPECT_EQ(params.log_mode, "a+");
  EXPECT_TRUE(params.uei_bytes_load);
  EXPECT_FALSE(params.override);
  EXPECT_EQ(params.program_name, "Updater");
  EXPECT_FALSE(params.home_directory.empty());
  EXPECT_TRUE(display.lines.empty());
}

TEST_F(ParamsTest, ProgramNameIsTheLastPathComponent) {
  scan({}, "C:\\tools\\Updater.exe");
  EXPECT_EQ(params.program_name, "Updater.exe");
  scan({}, "Updater");
  EXPECT_EQ(params.program_name, "Updater");
}

TEST_F(ParamsTest, CommandLettersSetTheirBits) {
  struct Case {
    const char* word;
    uint32_t bit;
  };
  const Case cases[] = {
      {"-B", CMD_LIST_BUILDS}, {"-L", CMD_LIST_LOCAL_BUILDS}, {"-D", CMD_DISCOVER},
      {"-G", CMD_GET_BUILD},   {"-I", CMD_VIEW_INFO},         {"-U", CMD_UPDATE},
      {"-N", CMD_FINGERPRINT}, {"-C", CMD_CHECK_BIRD},        {"-J", CMD_GET_JWT},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(scan({c.word}), 0) << c.word;
    EXPECT_EQ(params.commands.bits(), c.bit) << c.word;
    EXPECT_TRUE(params.commands.IsSet(CMD_ANY_COMMAND_MASK)) << c.word;
  }
  ASSERT_EQ(scan({"-G", "-U", "-Z", "x"}), 0);
  EXPECT_EQ(params.commands.bits(), uint32_t{CMD_GET_BUILD | CMD_UPDATE | CMD_Z});
}

TEST_F(ParamsTest, CommandsClassSetAndIsSet) {
  CommandsClass commands;
  EXPECT_FALSE(commands.IsSet(CMD_ANY_COMMAND_MASK));
  EXPECT_TRUE(commands.Set(CMD_GET_JWT));
  EXPECT_TRUE(commands.IsSet(CMD_GET_JWT | CMD_DISCOVER));
  EXPECT_FALSE(commands.IsSet(CMD_DISCOVER));
  EXPECT_FALSE(commands.IsSet(CMD_HELP));
}

TEST_F(ParamsTest, SerialNumbers) {
  struct Case {
    std::vector<std::string> words;
    uint32_t serial;
  };
  const Case cases[] = {
      {{"-d", "0x40F5849A"}, 0x40F5849A},
      {{"-d", "0X40F5849A"}, 0x40F5849A},
      {{"-d", "40f5849a"}, 0x40F5849A},
      {{"-d=40F5849A"}, 0x40F5849A},
      {{"-d", "1234ABCD", "-d", "5"}, 0x5},           // the last one wins
      {{"-d", "123456789"}, 0x23456789},              // low 32 bits
      {{"-d40F5849A"}, 0},                            // glued: ignored
      {{"-d"}, 0},                                    // no argument: ignored
  };
  for (const Case& c : cases) {
    ASSERT_EQ(scan(c.words), 0) << c.words[0];
    EXPECT_EQ(params.serial_number, c.serial) << c.words[0];
    EXPECT_TRUE(display.lines.empty()) << c.words[0];
  }
}

TEST_F(ParamsTest, MissingArgumentLeavesTheNextOptionToBeScanned) {
  ASSERT_EQ(scan({"-d", "-U"}), 0);
  EXPECT_EQ(params.serial_number, 0u);
  EXPECT_TRUE(params.commands.IsSet(CMD_UPDATE));
}

TEST_F(ParamsTest, BadSerialNumbersFailWithTheirText) {
  struct Case {
    std::vector<std::string> words;
    std::string error;
  };
  const Case cases[] = {
      {{"-d", "0"}, "Invalid serial number obtained from argument [0]"},
      {{"-d", "G1"}, "Invalid serial number obtained from argument [G1]"},
      {{"-d="}, "Invalid serial number obtained from argument []"},
      {{"-d", "0x"}, "Invalid serial number obtained from argument []"},
      {{"-d", "0xZZ"}, "Invalid serial number obtained from argument [ZZ]"},
      {{"-d", " 12"}, "Invalid serial number obtained from argument [ 12]"},
      {{"-r", "0"}, "Invalid router serial number obtained from argument [0]"},
      {{"-r", "0xnope"}, "Invalid router serial number obtained from argument [nope]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scan(c.words), 1) << c.words[0] << " " << c.error;
    EXPECT_EQ(display.errors(), std::vector<std::string>{c.error});
  }
}

TEST_F(ParamsTest, RouterSerialNumber) {
  ASSERT_EQ(scan({"-r", "0xD272031D"}), 0);
  EXPECT_EQ(params.router_serial_number, 0xD272031Du);
}

TEST_F(ParamsTest, HexPrefixIsNotedInTheLog) {
  std::FILE* file = std::tmpfile();
  Log::SetOutput(file);
  scan({"-X", "1", "-d", "0x40F5849A", "-r", "0x1"});
  std::rewind(file);
  char buffer[4096] = {};
  size_t got = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  std::string text(buffer, got);
  EXPECT_NE(text.find("Discarding '0x' serial number prefix\n"), std::string::npos);
  EXPECT_NE(text.find("Discarding '0x' router serial number prefix\n"), std::string::npos);
}

TEST_F(ParamsTest, Transport) {
  struct Case {
    const char* argument;
    int transport;
    bool accepted;
  };
  const Case cases[] = {
      {"USB", 1, true},       {"USBX", 1, true},          {"TCP", 2, true},
      {"TCPIP", 2, true},     {"RECOVER", 0xFF, true},    {"RECOVERY", 0xFF, true},
      {"tcp", 0, false},      {"REC", 0, false},          {"US", 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scan({"-t", c.argument}), c.accepted ? 0 : 1) << c.argument;
    EXPECT_EQ(params.transport, c.transport) << c.argument;
    EXPECT_TRUE(params.transport_given) << c.argument;
    if (!c.accepted) {
      EXPECT_EQ(display.errors(),
                std::vector<std::string>{std::string("Invalid transport type:[") + c.argument +
                                         "]\nMust be one of the following: USB, TCPIP, RECOVER"});
    }
  }
}

TEST_F(ParamsTest, LogPackages) {
  struct Case {
    std::vector<std::string> words;
    uint32_t active;
    std::string error;
  };
  const Case cases[] = {
      {{"-X", "0x1001"}, DEBUG_Updater | DEBUG_NXPSerial, ""},
      {{"-X", "12"}, 0xC, ""},
      {{"-X", "1", "-X=0x20"}, 0x21, ""},  // several add up
      {{"-X", "0x1g"}, 0, "Invalid format for \"-X\" parameter, unprocessed characters [g]"},
      {{"-X", "7 "}, 0, "Invalid format for \"-X\" parameter, unprocessed characters [ ]"},
  };
  for (const Case& c : cases) {
    Log::DeactivatePackage(0xFFFFFFFFu);
    EXPECT_EQ(scan(c.words), 0) << c.words[1];
    EXPECT_EQ(Log::package_bitmask, c.active) << c.words[1];
    EXPECT_TRUE(params.log_packages_given);
    if (c.error.empty()) {
      EXPECT_TRUE(display.lines.empty()) << c.words[1];
    } else {
      EXPECT_EQ(display.errors(), std::vector<std::string>{c.error});
    }
  }
}

TEST_F(ParamsTest, HelpStopsTheScan) {
  ASSERT_EQ(scan({"-h", "-X", "1", "-Y"}), 0);
  EXPECT_TRUE(params.help_requested);
  EXPECT_TRUE(params.commands.IsSet(CMD_HELP));
  EXPECT_FALSE(params.log_packages_given);
  EXPECT_TRUE(display.lines.empty());

  ASSERT_EQ(scan({"-X", "1", "-H"}), 0);
  EXPECT_TRUE(params.help_requested);
  EXPECT_TRUE(params.log_packages_given);

  for (const char* word : {"--help", "--he", "--h"}) {
    ASSERT_EQ(scan({word}), 0);
    EXPECT_TRUE(params.help_requested) << word;
  }
  // One dash is not two; help takes no value.
  for (const char* word : {"-help", "---help", "-h=1"}) {
    ASSERT_EQ(scan({word}), 0);
    EXPECT_FALSE(params.help_requested) << word;
  }
}

TEST_F(ParamsTest, PrefixesAndRejectedWords) {
  for (const char* word : {"-O", "-OVER", "-OVERRID", "-OVERRIDE"}) {
    ASSERT_EQ(scan({word}), 0);
    EXPECT_TRUE(params.override) << word;
    EXPECT_EQ(params.commands.bits(), 0u) << word;
  }
  // Unknown, over-long, clumped, bare dashes and surplus values are skipped
  // without a word, and the scan goes on.
  for (const char* word : {"-OVERRIDEX", "-q", "-DU", "-", "--", "-D=1", "-O=1", "plain"}) {
    ASSERT_EQ(scan({word, "-I"}), 0) << word;
    EXPECT_EQ(params.commands.bits(), uint32_t{CMD_VIEW_INFO}) << word;
    EXPECT_FALSE(params.override) << word;
    EXPECT_TRUE(display.lines.empty()) << word;
  }
}

TEST_F(ParamsTest, UnhandledCommandFailsButScanningGoesOn) {
  EXPECT_EQ(scan({"-Y", "-d", "1234ABCD"}), 1);
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Unhandled command: [-Y]"});
  EXPECT_EQ(params.serial_number, 0x1234ABCDu);
}

TEST_F(ParamsTest, NumbersAndTexts) {
  struct Case {
    std::vector<std::string> words;
    std::string build;
    uint32_t baud;
  };
  const Case cases[] = {
      {{"-b", "99528558"}, "99528558", 115200},
      {{"-b", "abc"}, "0", 115200},
      {{"-b=007", "-o", "9600"}, "7", 9600},
      {{"-b", "12ab", "-o", "fast"}, "0", 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(scan(c.words), 0);
    EXPECT_EQ(params.build, c.build) << c.words[1];
    EXPECT_EQ(params.baud_rate, c.baud) << c.words[1];
  }

  ASSERT_EQ(scan({"-i", "/data/store", "-f", "fw.bird", "-s", "/dev/ttyUSB0", "-l", "note",
                  "-k", "my.log", "-u", "http://127.0.0.1:8080/cgi/u", "-e", "-n"}),
            0);
  EXPECT_EQ(params.base_directory, "/data/store");
  EXPECT_EQ(params.firmware_file, "fw.bird");
  EXPECT_EQ(params.serial_port, "/dev/ttyUSB0");
  EXPECT_EQ(params.history_message, "note");
  EXPECT_EQ(params.log_file, "my.log");
  EXPECT_EQ(params.server_url, "http://127.0.0.1:8080/cgi/u");
  EXPECT_TRUE(params.echo);
  EXPECT_TRUE(params.flag_n);
  // A value may itself contain "=": only the first one splits.
  ASSERT_EQ(scan({"-u=http://h/cgi?a=b"}), 0);
  EXPECT_EQ(params.server_url, "http://h/cgi?a=b");
}

TEST_F(ParamsTest, UeiBytesFlag) {
  struct Case {
    const char* argument;
    bool load;
  };
  const Case cases[] = {{"1", true},  {"10", true},    {"true", true}, {"trueish", true},
                        {"0", false}, {"TRUE", false}, {"yes", false}, {"tru", false}};
  for (const Case& c : cases) {
    ASSERT_EQ(scan({"-m", c.argument}), 0);
    EXPECT_EQ(params.uei_bytes_load, c.load) << c.argument;
  }
}

TEST_F(ParamsTest, ZNeedsAnArgument) {
  ASSERT_EQ(scan({"-Z"}), 0);
  EXPECT_FALSE(params.commands.IsSet(CMD_Z));
  ASSERT_EQ(scan({"-Z", "anything"}), 0);
  EXPECT_TRUE(params.commands.IsSet(CMD_Z));
}

TEST_F(ParamsTest, CommandLineIsLoggedWithOtherWordsLast) {
  std::FILE* file = std::tmpfile();
  Log::SetOutput(file);
  Log::ActivatePackage(DEBUG_APP);
  scan({"stray", "-d", "1234ABCD", "-q", "-U", "other"});
  std::rewind(file);
  char buffer[4096] = {};
  size_t got = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  std::string text(buffer, got);
  EXPECT_EQ(text.substr(0, 16), "Home directory:[");
  std::string expected =
      "\nApplication parameters:[Updater]\n\t[/opt/tools/Updater]\n\t[-d]\n\t[1234ABCD]\n"
      "\t[-q]\n\t[-U]\n\t[stray]\n\t[other]\n";
  ASSERT_GE(text.size(), expected.size());
  EXPECT_EQ(text.substr(text.size() - expected.size()), expected);
}

TEST_F(ParamsTest, DigitArguments) {
  char* end = nullptr;
  EXPECT_EQ(_get_hex_arg("1f", nullptr), 0u);
  EXPECT_EQ(_get_hex_arg("1f", &end), 0x1Fu);
  EXPECT_EQ(_get_hex_arg("", &end), 0u);
  EXPECT_EQ(_get_hex_arg("+1f", &end), 0u);
  EXPECT_EQ(_get_hex_arg("FFFFFFFF1", &end), 0xFFFFFFF1u);
  EXPECT_EQ(_get_int_arg("42", &end), 42u);
  EXPECT_EQ(_get_int_arg("4a", &end), 0u);
  EXPECT_EQ(_get_int_arg("-1", &end), 0u);
}

TEST_F(ParamsTest, ReleaseIsIdempotent) {
  params.buffer = std::make_unique<char[]>(16);
  EXPECT_EQ(_release_params(&params), 0);
  EXPECT_EQ(params.buffer, nullptr);
  EXPECT_EQ(_release_params(&params), 0);
}

}  // namespace
