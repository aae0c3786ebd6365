// Reading the emulated server's firmware repository.
#include "UpdateRepository.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "BirdFile.h"

namespace fs = std::filesystem;

namespace updateserver {
namespace {

std::string sSerialDir(const std::string& root, uint32_t serial) {
  char name[16];
  std::snprintf(name, sizeof name, "%08X", serial);
  return root + "/" + name;
}

std::optional<uint32_t> sParseDecimal(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// Non-empty, non-comment lines of a text file, split at blanks.
std::vector<std::vector<std::string>> sReadTable(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string word; words >> word;) row.push_back(word);
    if (!row.empty() && row[0][0] != '#') rows.push_back(std::move(row));
  }
  return rows;
}

std::string sReadVersion(const std::string& path) {
  if (!BirdFile::VerifyFile(path)) return {};
  try {
    BirdFile bird(path);
    return bird.GetVersion();
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

std::optional<uint32_t> parseSerial(const std::string& text) {
  if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
    return std::nullopt;
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

UpdateRepository::UpdateRepository(std::string root) : root_(std::move(root)) {}

std::optional<Device> UpdateRepository::device(uint32_t serial) const {
  const std::string dir = sSerialDir(root_, serial);
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return std::nullopt;

  Device device;
  device.serial = serial;
  device.firmware = "QM-FIRMWARE";
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".bird") != 0) continue;
    const auto number = sParseDecimal(name.substr(0, name.size() - 5));
    if (!number || !entry.is_regular_file(ec)) continue;
    device.builds.push_back({*number, entry.path().string(), sReadVersion(entry.path().string())});
  }
  std::sort(device.builds.begin(), device.builds.end(),
            [](const Build& a, const Build& b) { return a.number < b.number; });
  if (!device.builds.empty()) device.current = device.builds.back().number;

  std::ifstream conf(dir + "/device.conf");
  std::string line;
  while (std::getline(conf, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "current") {
      if (const auto number = sParseDecimal(value)) device.current = *number;
    } else if (key == "firmware") {
      device.firmware = value;
    }
  }
  return device;
}

std::optional<Recovery> UpdateRepository::recovery(const std::array<uint32_t, 4>& fingerprint) const {
  for (const auto& row : sReadTable(root_ + "/fingerprints")) {
    if (row.size() < 5) continue;
    bool match = true;
    for (size_t i = 0; i < 4 && match; ++i) match = parseSerial(row[i]) == fingerprint[i];
    const auto serial = parseSerial(row[4]);
    if (!match || !serial) continue;
    Recovery result{*serial, 0};
    if (row.size() > 5) {
      if (const auto build = sParseDecimal(row[5])) result.build = *build;
    }
    if (result.build == 0) {
      if (const auto dev = device(*serial)) result.build = dev->current;
    }
    return result;
  }
  if (const auto fallback = device(DEFAULT_RECOVERY_SERIAL)) {
    if (fallback->current != 0) return Recovery{DEFAULT_RECOVERY_SERIAL, fallback->current};
  }
  return std::nullopt;
}

std::optional<std::string> UpdateRepository::token(uint32_t serial) const {
  for (const auto& row : sReadTable(root_ + "/tokens")) {
    if (row.size() >= 2 && parseSerial(row[0]) == serial) return row[1];
  }
  return std::nullopt;
}

}  // namespace updateserver
