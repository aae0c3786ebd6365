#include "main_reports.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qm_recording_display.h"

namespace {

DeviceInfo device(linkType type, uint32_t serial) {
  DeviceInfo info;
  info.linkspec.type = type;
  info.linkspec.serial_num = serial;
  info.linkspec.module = 0x06;
  info.linkspec.router = 0x02;
  info.model_name = "QM-Hub 4";
  info.major = 2;
  info.minor = 10;
  info.patch = 4;
  info.build_number = 1234;
  info.device_name = "bench";
  return info;
}

TEST(Reports, UsbDeviceListRows) {
  DeviceInfo failed = device(USB, 0x40F5849A);
  failed.error = 5;
  qmtest::RecordingDisplay display;
  _display_device_list(display, {device(USB, 0x1234ABCD), failed}, USB);
  EXPECT_EQ(display.infos(),
            (std::vector<std::string>{
                "Discovered Devices: (USB)",
                "    Device    Module   Router  Model          Firmware Version (Build)    "
                "Device Name",
                "    1234ABCD  06       02      QM-Hub 4       2.10.4 (      1234)         bench",
                "    40F5849A  [Error (5): Is someone else connected to this device?]",
            }));
}

TEST(Reports, TcpDeviceListShowsTheAddressEvenForAFailedDevice) {
  DeviceInfo failed;
  failed.linkspec.type = TCPIP;
  failed.linkspec.serial_num = 0xD272031D;
  inet_pton(AF_INET, "10.77.0.2", &failed.linkspec.t.ip.ip_address);
  failed.model_name = "Unknown";
  failed.error = 25;
  qmtest::RecordingDisplay display;
  _display_device_list(display, {failed}, TCPIP);
  EXPECT_EQ(display.infos(),
            (std::vector<std::string>{
                "Discovered Devices: (TCPIP)",
                "    Device    Module   Router  Model          Firmware Version (Build)   "
                "[IP address]       Device Name",
                "    D272031D  00       00      Unknown        0.0.0 (         0)        "
                "[10.77.0.2]" + std::string(17 - 11, ' ') + "  ",
            }));
}

TEST(Reports, EmptyDeviceListAndUnknownLinkType) {
  qmtest::RecordingDisplay display;
  _display_device_list(display, {}, INVALID);
  EXPECT_EQ(display.infos(),
            (std::vector<std::string>{"Discovered Devices: (Unknown)", "    No devices found."}));
}

TEST(Reports, BuildListNewestFirstWithColumnsCut) {
  qmtest::RecordingDisplay display;
  _display_builds(display,
                  {{"100", "1.2.3"}, {"200", "2.0.0"}, {"1234567890123456789", "1.10.0"}},
                  0xABCD);
  EXPECT_EQ(display.infos(), (std::vector<std::string>{
                                 "Build List for device [0000ABCD]:\n",
                                 "Build          \tVersion        ",
                                 "200            \t2.0.0          ",
                                 "123456789012345\t1.10.0         ",
                                 "100            \t1.2.3          ",
                             }));
}

TEST(Reports, EmptyBuildList) {
  qmtest::RecordingDisplay display;
  _display_builds(display, {}, 0x40F5849A);
  EXPECT_EQ(display.infos(), std::vector<std::string>{"No builds found for device [40F5849A]"});
}

TEST(Reports, FingerprintTokenAndVersion) {
  qmtest::RecordingDisplay display;
  Fingerprint fingerprint;
  fingerprint.words[0] = 0x1;
  fingerprint.words[1] = 0xDEADBEEF;
  fingerprint.words[2] = 0x00A0;
  fingerprint.words[3] = 0xFFFFFFFF;
  _display_fingerprint(display, fingerprint);
  _display_jwt(display, "eyJ.token");
  _display_jwt(display, "");
  _display_app_version(display);
  EXPECT_EQ(display.infos(), (std::vector<std::string>{
                                 "[ 00000001 DEADBEEF 000000A0 FFFFFFFF ]",
                                 "eyJ.token",
                                 "",
                                 "Updater (Version: 2.12.1 Feb 11 2026)",
                             }));
  EXPECT_TRUE(display.errors().empty());
}

}  // namespace
