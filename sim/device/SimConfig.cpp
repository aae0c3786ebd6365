#include "SimConfig.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "SimCodec.h"

namespace qmsim {

using nlohmann::json;

uint32_t Version::packed() const { return packVersion(major, minor, patch); }

std::string Version::text() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

bool Version::atLeast(unsigned ma, unsigned mi, unsigned pa) const {
  if (major != ma) return major > ma;
  if (minor != mi) return minor > mi;
  return patch >= pa;
}

uint32_t parseSerial(const std::string& text) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 8) throw std::runtime_error("bad serial number \"" + text + "\"");
  for (char c : digits)
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::runtime_error("bad serial number \"" + text + "\"");
  return uint32_t(std::stoul(digits, nullptr, 16));
}

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw std::runtime_error(where + ": " + what);
}

uint64_t number(const json& j, const std::string& where, uint64_t max) {
  if (!j.is_number_unsigned() && !(j.is_number_integer() && j.get<int64_t>() >= 0))
    fail(where, "expected a non-negative integer");
  uint64_t v = j.get<uint64_t>();
  if (v > max) fail(where, "value " + std::to_string(v) + " is too large");
  return v;
}

Version parseVersion(const json& j, const std::string& where) {
  if (!j.is_string()) fail(where, "expected \"major.minor.patch\"");
  Version v;
  unsigned ma, mi, pa;
  char tail;
  if (std::sscanf(j.get<std::string>().c_str(), "%u.%u.%u%c", &ma, &mi, &pa, &tail) != 3 || ma > 255 ||
      mi > 255 || pa > 255)
    fail(where, "expected \"major.minor.patch\"");
  v.major = ma;
  v.minor = mi;
  v.patch = pa;
  return v;
}

uint32_t serialOf(const json& j, const std::string& where) {
  if (j.is_string()) {
    try {
      return parseSerial(j.get<std::string>());
    } catch (const std::exception& e) {
      fail(where, e.what());
    }
  }
  return uint32_t(number(j, where, 0xFFFFFFFFu));
}

void checkKeys(const json& j, const std::string& where, std::initializer_list<const char*> known) {
  for (auto it = j.begin(); it != j.end(); ++it) {
    bool ok = false;
    for (const char* k : known) ok = ok || it.key() == k;
    if (!ok) fail(where, "unknown key \"" + it.key() + "\"");
  }
}

LoaderConfig parseLoader(const json& j, const std::string& where) {
  if (!j.is_object()) fail(where, "expected an object");
  checkKeys(j, where,
            {"load_base", "block_size", "uei_data", "pooled_packets", "flash_size", "flash_base", "load_replies",
             "load_drop_ms", "reboot_ms", "new_firmware", "new_build"});
  LoaderConfig c;
  if (j.contains("load_base")) c.loadBase = uint32_t(number(j["load_base"], where + ".load_base", 0xFFFFFFFFu));
  if (j.contains("block_size")) c.blockSize = uint16_t(number(j["block_size"], where + ".block_size", 0xFFFF));
  if (j.contains("uei_data")) c.ueiData = j["uei_data"].get<bool>();
  if (j.contains("pooled_packets")) c.pooledPackets = j["pooled_packets"].get<bool>();
  if (j.contains("flash_size"))
    c.flashSize = uint32_t(number(j["flash_size"], where + ".flash_size", 64u * 1024 * 1024));
  if (j.contains("flash_base")) c.flashBase = uint32_t(number(j["flash_base"], where + ".flash_base", 0xFFFFFFFFu));
  if (j.contains("load_replies")) c.loadReplies = j["load_replies"].get<bool>();
  if (j.contains("load_drop_ms")) c.loadDropMs = int(number(j["load_drop_ms"], where + ".load_drop_ms", 600000));
  if (j.contains("reboot_ms")) c.rebootMs = int(number(j["reboot_ms"], where + ".reboot_ms", 600000));
  if (j.contains("new_firmware")) {
    c.newVersion = parseVersion(j["new_firmware"], where + ".new_firmware");
    c.hasNewVersion = true;
  }
  if (j.contains("new_build")) {
    c.newBuild = uint32_t(number(j["new_build"], where + ".new_build", 0xFFFFFFFFu));
    c.hasNewBuild = true;
  }
  return c;
}

DeviceConfig parseDevice(const json& j, const std::string& where, bool routed) {
  if (!j.is_object()) fail(where, "expected an object");
  checkKeys(j, where,
            {"serial", "module", "model", "firmware", "build", "name", "router", "i2c_address", "protocol_features",
             "class_counts", "tcp", "serial_pty", "usb_node", "heartbeat_ms", "heartbeat", "silent_ms", "loader",
             "faults", "routed"});
  DeviceConfig d;
  if (!j.contains("serial")) fail(where, "\"serial\" is required");
  d.serial = serialOf(j["serial"], where + ".serial");
  if (j.contains("module")) d.module = uint8_t(number(j["module"], where + ".module", 254));
  if (d.module == 0 || (d.module & 1)) fail(where + ".module", "module addresses are even and not 0");
  if (j.contains("model")) d.model = uint8_t(number(j["model"], where + ".model", 255));
  if (j.contains("firmware")) d.version = parseVersion(j["firmware"], where + ".firmware");
  if (j.contains("build")) d.build = uint32_t(number(j["build"], where + ".build", 0xFFFFFFFFu));
  if (j.contains("name")) {
    if (!j["name"].is_string()) fail(where + ".name", "expected a string");
    d.name = j["name"].get<std::string>();
    if (d.name.size() > 32) fail(where + ".name", "at most 32 bytes");
  }
  if (j.contains("router")) d.router = uint8_t(number(j["router"], where + ".router", 254));
  if (j.contains("i2c_address")) d.i2cAddress = uint8_t(number(j["i2c_address"], where + ".i2c_address", 254));
  if (j.contains("protocol_features"))
    d.protocolFeatures = uint32_t(number(j["protocol_features"], where + ".protocol_features", 0xFFFFFFFFu));
  if (j.contains("class_counts")) {
    const json& cc = j["class_counts"];
    if (!cc.is_object()) fail(where + ".class_counts", "expected an object of class number: count");
    for (auto it = cc.begin(); it != cc.end(); ++it) {
      unsigned cls;
      char tail;
      if (std::sscanf(it.key().c_str(), "%u%c", &cls, &tail) != 1 || cls > 255)
        fail(where + ".class_counts", "bad class number \"" + it.key() + "\"");
      d.classCounts[uint8_t(cls)] = uint8_t(number(it.value(), where + ".class_counts", 255));
    }
  }
  if (j.contains("loader")) d.loader = parseLoader(j["loader"], where + ".loader");
  if (j.contains("faults")) {
    const json& fs = j["faults"];
    if (!fs.is_array()) fail(where + ".faults", "expected an array");
    for (size_t i = 0; i < fs.size(); ++i) {
      std::string at = where + ".faults[" + std::to_string(i) + "]";
      if (!fs[i].is_object() || !fs[i].contains("kind") || !fs[i]["kind"].is_string())
        fail(at, "expected {\"kind\": ..., \"value\": ..., \"count\": ...}");
      checkKeys(fs[i], at, {"kind", "value", "count"});
      FaultConfig f;
      f.kind = fs[i]["kind"].get<std::string>();
      if (fs[i].contains("value")) {
        if (!fs[i]["value"].is_number_integer()) fail(at + ".value", "expected an integer");
        f.value = fs[i]["value"].get<int>();
      }
      if (fs[i].contains("count")) {
        if (!fs[i]["count"].is_number_integer()) fail(at + ".count", "expected an integer");
        f.count = fs[i]["count"].get<int>();
      }
      d.faults.push_back(f);
    }
  }
  if (j.contains("heartbeat_ms")) d.heartbeatMs = int(number(j["heartbeat_ms"], where + ".heartbeat_ms", 600000));
  if (j.contains("heartbeat")) {
    d.heartbeat = j["heartbeat"].is_string() ? j["heartbeat"].get<std::string>() : "";
    if (d.heartbeat != "up" && d.heartbeat != "down" && d.heartbeat != "alternate")
      fail(where + ".heartbeat", "expected \"up\", \"down\" or \"alternate\"");
  }
  if (j.contains("silent_ms")) d.silentMs = int(number(j["silent_ms"], where + ".silent_ms", 3600000));
  if (routed) {
    for (const char* k : {"tcp", "serial_pty", "usb_node", "heartbeat_ms", "routed"})
      if (j.contains(k)) fail(where, std::string("a routed device has no \"") + k + "\"");
    return d;
  }
  if (j.contains("tcp")) {
    const json& t = j["tcp"];
    if (t.is_boolean()) {
      d.tcp = t.get<bool>();
    } else if (t.is_object()) {
      checkKeys(t, where + ".tcp", {"address", "port"});
      d.tcp = true;
      if (t.contains("address")) d.tcpAddress = t["address"].get<std::string>();
      if (t.contains("port")) d.tcpPort = int(number(t["port"], where + ".tcp.port", 65535));
    } else {
      fail(where + ".tcp", "expected true or {\"address\": ..., \"port\": ...}");
    }
  }
  if (j.contains("serial_pty")) d.serialPty = j["serial_pty"].get<bool>();
  if (j.contains("usb_node")) d.usbNode = j["usb_node"].get<bool>();
  if (j.contains("routed")) {
    if (!j["routed"].is_array()) fail(where + ".routed", "expected an array");
    for (size_t i = 0; i < j["routed"].size(); ++i)
      d.routed.push_back(parseDevice(j["routed"][i], where + ".routed[" + std::to_string(i) + "]", true));
  }
  return d;
}

}  // namespace

Config parseConfig(const std::string& text) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::exception& e) {
    throw std::runtime_error(std::string("config is not valid JSON: ") + e.what());
  }
  try {
    if (!j.is_object()) fail("config", "expected an object");
    checkKeys(j, "config", {"devices", "discovery"});
    Config c;
    if (!j.contains("devices") || !j["devices"].is_array() || j["devices"].empty())
      fail("config", "\"devices\" must be a non-empty array");
    for (size_t i = 0; i < j["devices"].size(); ++i)
      c.devices.push_back(parseDevice(j["devices"][i], "devices[" + std::to_string(i) + "]", false));
    if (j.contains("discovery")) {
      const json& d = j["discovery"];
      if (!d.is_object()) fail("discovery", "expected an object");
      checkKeys(d, "discovery", {"interface"});
      if (!d.contains("interface") || !d["interface"].is_string())
        fail("discovery", "\"interface\" (an IPv4 address) is required");
      c.discovery.enabled = true;
      c.discovery.interfaceAddress = d["interface"].get<std::string>();
    }
    // Serial numbers and addresses must tell devices apart.
    std::map<uint32_t, int> serials;
    for (const auto& dev : c.devices) {
      if (++serials[dev.serial] > 1) fail("config", "serial number used twice");
      std::map<uint8_t, int> addresses;
      addresses[dev.module] = 1;
      for (const auto& r : dev.routed) {
        if (++serials[r.serial] > 1) fail("config", "serial number used twice");
        if (++addresses[r.module] > 1) fail("config", "module address used twice behind one router");
      }
    }
    return c;
  } catch (const json::exception& e) {
    throw std::runtime_error(std::string("config: ") + e.what());
  }
}

Config loadConfig(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read config file " + path);
  std::stringstream text;
  text << in.rdbuf();
  return parseConfig(text.str());
}

}  // namespace qmsim
