// Option scanning over arbitrary argument vectors: the input is split at
// zero bytes into words, which follow the program name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Log.h"
#include "main_params.h"

namespace {

class SilentDisplay final : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"/usr/bin/Updater"};
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 0) words.push_back(word);

  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  // Log lines are formatted (every package on) but go nowhere.
  Log::SetOutput(nullptr);
  Log::ActivatePackage(0xFFFFFFFFu);
  SilentDisplay display;
  Parameters params;
  int result = _get_params(display, static_cast<int>(words.size()), argv.data(), &params);
  if (result != 0 && result != 1) __builtin_trap();
  _release_params(&params);
  Log::DeactivatePackage(0xFFFFFFFFu);
  return 0;
}
