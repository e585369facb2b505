#include "tools/SimOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/Version.h"

namespace kv::tools {
namespace {

// Keeps times in the range of a millisecond count and of poll's timeout arithmetic.
constexpr double kMaxSeconds = 1e9;

// Non-negative decimal seconds, such as 2, 0.25 or 1e3.
std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0 || value > kMaxSeconds) {
    return std::nullopt;
  }
  return std::chrono::milliseconds(std::llround(value * 1000));
}

// ID:TEXT with ID in hex, 0x optional; TEXT may hold further colons and may be empty.
std::optional<PluginSend> parseSend(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view id = text.substr(0, colon);
  if (id.size() > 2 && id[0] == '0' && (id[1] == 'x' || id[1] == 'X')) id.remove_prefix(2);
  if (id.empty() || id.size() > 2) return std::nullopt;
  unsigned value = 0;
  for (const char c : id) {
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return PluginSend{static_cast<uint8_t>(value), std::string(text.substr(colon + 1))};
}

std::vector<std::string> splitAtBlanks(std::string_view text) {
  std::vector<std::string> words;
  size_t start = 0;
  while ((start = text.find_first_not_of(" \t", start)) != std::string_view::npos) {
    const size_t end = std::min(text.find_first_of(" \t", start), text.size());
    words.emplace_back(text.substr(start, end - start));
    start = end;
  }
  return words;
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& args) {
  ParsedOptions parsed;
  SimOptions& options = parsed.options;
  options.version = core::kCoreVersion;
  bool coreGiven = false;

  for (size_t i = 0; i < args.size() && parsed.error.empty(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;  // --name=value
    if (const size_t equals = name.find('='); name.starts_with("--") && equals != name.npos) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    // The value of an option that takes one; sets the error and returns nullopt when missing.
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      parsed.error = name + " needs a value";
      return std::nullopt;
    };
    auto secondsOf = [&](std::chrono::milliseconds& into, bool zeroAllowed) {
      const auto text = value();
      if (!text) return;
      const auto time = parseSeconds(*text);
      if (!time || (!zeroAllowed && time->count() == 0)) {
        parsed.error = name + ": bad number of seconds '" + *text + "'";
      } else {
        into = *time;
      }
    };

    if (name == "--help" || name == "-h") {
      options.help = true;
    } else if (name == "--background" && !inlineValue) {
      options.background = true;
    } else if (name == "--dir") {
      if (auto text = value()) options.dir = *text;
    } else if (name == "--core") {
      if (auto text = value()) {
        options.core = *text;
        coreGiven = true;
      }
    } else if (name == "--emulator") {
      if (auto text = value()) options.emulator = splitAtBlanks(*text);
    } else if (name == "--file") {
      if (auto text = value()) options.file = *text;
    } else if (name == "--version") {
      if (auto text = value()) options.version = *text;
    } else if (name == "--send") {
      const auto text = value();
      if (!text) continue;
      if (auto send = parseSend(*text)) {
        options.sends.push_back(std::move(*send));
      } else {
        parsed.error = "--send: expected ID:TEXT with a hex ID 0..ff, got '" + *text + "'";
      }
    } else if (name == "--send-after") {
      secondsOf(options.sendAfter, true);
    } else if (name == "--send-every") {
      secondsOf(options.sendEvery, false);
    } else if (name == "--seconds") {
      secondsOf(options.seconds, true);
    } else {
      parsed.error = "unknown option '" + args[i] + "'";
    }
  }
  if (!coreGiven) options.core = options.dir + "/korvacore";
  return parsed;
}

std::string usage() {
  return R"(Usage: korvad-sim [options]
Starts korvacore on one end of a packet socket pair and plays its supervisor on the other end.

  --dir DIR          working directory of the core (default .)
  --core PATH        the core executable (default DIR/korvacore); relative to the current
                     directory, not to DIR
  --emulator "CMD"   run the core through CMD, split at blanks, e.g.
                     "qemu-arm -L /usr/arm-linux-gnueabihf"
  --file NAME        supervisor file name announced to the core (default korvad-sim)
  --version V        supervisor version announced to the core (default )" +
         std::string(core::kCoreVersion) + R"()
  --background       announce Background:true
  --send ID:TEXT     send TEXT to plugin ID (hex, e.g. 11 or 0x11) as a packet of type 256;
                     may be given several times
  --send-after S     send the --send packets S seconds after start (default 2)
  --send-every S     then send them again every S seconds
  --seconds N        send the close packet after N seconds (default 0: never)
  -h, --help         show this text

Seconds may have decimals. Every packet the core sends is printed as one line:
  korvad-sim: packet length=32 route=0x01100000 type=256 payload="frames=12 held=3"
and every packet sent to it as "korvad-sim: sent ...". Non-printable payload bytes appear as \xNN.

Ctrl-C sends the close packet; a second Ctrl-C kills the core. SIGTERM is passed on to the core.
The exit code is the core's own, or 128+signal when a signal ended it.
)";
}

}  // namespace kv::tools
