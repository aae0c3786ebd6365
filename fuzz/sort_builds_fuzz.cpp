// SortBuildsByVersion over arbitrary version texts: the result is a
// permutation of the list, readable versions first and newest first.
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>

#include "UpdateServerRequest.h"

namespace {

bool sKey(const std::string& version, std::tuple<int, int, int>& key) {
  const auto parts = UpdateServerRequest::SplitQuillomatVersion(version);
  if (parts.size() != 3) return false;
  try {
    key = {std::stoi(parts[0]) & 0xFF, std::stoi(parts[1]) & 0xFF, std::stoi(parts[2]) & 0xFF};
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One version per line; the build number is the line's index.
  UpdateServerRequest::BuildList builds;
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t start = 0, index = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    builds.emplace(std::to_string(index++), text.substr(start, end - start));
    start = end + 1;
  }
  const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
  if (sorted.size() != builds.size()) __builtin_trap();
  bool unreadable_seen = false;
  std::tuple<int, int, int> previous{256, 256, 256};
  for (const auto& [build, version] : sorted) {
    const auto it = builds.find(build);
    if (it == builds.end() || it->second != version) __builtin_trap();
    std::tuple<int, int, int> key;
    if (!sKey(version, key)) {
      unreadable_seen = true;
      continue;
    }
    if (unreadable_seen || key > previous) __builtin_trap();
    previous = key;
  }
  return 0;
}
