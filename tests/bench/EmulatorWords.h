// The words that run a foreign build of the core (qemu under the armhf preset), as the bench tests
// get them from CMake in KV_EMULATOR, joined by '|'; none on the host.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace kv::bench {

inline std::vector<std::string> emulatorWords() {
  std::vector<std::string> words;
  std::stringstream text(KV_EMULATOR);
  for (std::string word; std::getline(text, word, '|');) {
    if (!word.empty()) words.push_back(word);
  }
  return words;
}

}  // namespace kv::bench
