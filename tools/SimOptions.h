// The command line of korvad-sim: what to start, what to tell the core and when to stop it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kv::tools {

// One --send ID:TEXT.
struct PluginSend {
  uint8_t pluginId = 0;
  std::string text;
};

struct SimOptions {
  std::string dir = ".";              // the core's working directory
  std::string core;                   // executable; DIR/korvacore when not given
  std::vector<std::string> emulator;  // words that precede the core's path, empty: none
  std::string file = "korvad-sim";    // file name announced to the core
  std::string version;                // version announced to the core; the project's version
  bool background = false;            // announce "Background:true"
  std::vector<PluginSend> sends;      // in command-line order
  std::chrono::milliseconds sendAfter{2000};
  std::chrono::milliseconds sendEvery{0};  // 0: the sends go out once
  std::chrono::milliseconds seconds{0};    // close the core after this long, 0: never
  bool help = false;
};

struct ParsedOptions {
  SimOptions options;
  std::string error;  // empty when the command line was good
};

// Parses the arguments after the program name.
ParsedOptions parseOptions(const std::vector<std::string>& args);

// The --help text, ending in a line feed.
std::string usage();

}  // namespace kv::tools
