// Every update-server reply parser over arbitrary body text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "UpdateServerRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  std::string build, firmware, bird, jwt;
  UpdateServerRequest::BuildList builds;
  uint32_t serial = 0, number = 0;

  const bool ok = UpdateServerRequest::ReplyIsOk(body);
  if (UpdateServerRequest::ParseQueryBuild(body, build, firmware) != ok) __builtin_trap();
  if (UpdateServerRequest::ParseGetBuild(body, bird) != ok) __builtin_trap();
  if (UpdateServerRequest::ParseBuildList(body, builds) != ok) __builtin_trap();
  if (UpdateServerRequest::ParseRecoveryInfo(body, &serial, &number) != ok) __builtin_trap();
  if (UpdateServerRequest::ParseDeviceJWT(body, jwt) && !ok) __builtin_trap();
  // The token is rebuilt from three dot-separated parts.
  if (!jwt.empty() && jwt.find('.') == std::string::npos) __builtin_trap();
  if (bird.size() > size || build.size() > size || firmware.size() > size) __builtin_trap();
  UpdateServerRequest::SortBuildsByVersion(builds);
  return 0;
}
