// korva-inspect: loads one plugin the way the core does and prints what its Load declared and
// what the core will make of it: ID, subscriptions, threads, IOCTL codes, entry points.
//
// Only Load and Unload run. The worker, Open and the event entries are never called, so
// inspecting a plugin starts none of its work; IOCTL codes and search serving are derived from
// the reply and the exports by the core's own rules, never probed.
//
// Exit codes: 0 loaded and unloaded, 1 the core would refuse to load it, 2 bad usage.
#include <atomic>
#include <cstring>
#include <iostream>
#include <string>

#include "events/EventParms.h"
#include "plugins/Plugin.h"
#include "plugins/SdkVersion.h"
#include "tools/LoadReport.h"

namespace {

using namespace kv::core;

// The log level the core answers to a log query when nothing is configured.
constexpr int kDefaultLogLevel = 25;

// The plugin may post from threads of its own, so the count is atomic; relaxed, as it is read
// only once Load has returned on this thread, or for a total.
std::atomic<uint32_t> posted{0};

// Stands in for the core's post function: accepts everything, stores nothing.
int postToNowhere(EventParms* event) {
  posted.fetch_add(1, std::memory_order_relaxed);
  if (event == nullptr) return kPostRefused;
  if (maskedType(event->type) == kTypeLog && (event->flags & kFlagQuery) != 0) {
    return kDefaultLogLevel;
  }
  return kPostAccepted;
}

constexpr char kUsage[] =
    "usage: korva-inspect [--system-id TEXT] PLUGIN.so\n"
    "Loads PLUGIN.so as korvacore would, prints what its Load declared, unloads it.\n"
    "  --system-id TEXT  the system identifier handed to Load (default korva-inspect)\n"
    "Exit codes: 0 loaded, 1 load refused, 2 bad usage.\n";

int usageError(const std::string& what) {
  std::cerr << "korva-inspect: " << what << '\n' << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string systemId = "korva-inspect";
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage << "SDK " << KV_SDK_VERSION_STRING << '\n';
      return 0;
    }
    if (arg == "--system-id") {
      if (i + 1 == argc) return usageError("--system-id needs a value");
      systemId = argv[++i];
    } else if (arg.starts_with("-") && arg != "-") {
      return usageError("unknown option " + arg);
    } else if (!path.empty()) {
      return usageError("one plugin at a time");
    } else {
      path = arg;
    }
  }
  if (path.empty()) return usageError("no plugin given");
  // The core names plugins by their path; a bare name would make the loader search its library
  // directories instead of the current one.
  if (path.find('/') == std::string::npos) path = "./" + path;

  const auto plugin = Plugin::Create(path, postToNowhere, systemId);
  const uint32_t duringLoad = posted.load(std::memory_order_relaxed);
  if (!plugin->isLoaded()) {
    std::cerr << "Failed to load plugin " << plugin->fileName() << ": " << plugin->errorText()
              << '\n'
              << "load code " << plugin->loadCode() << '\n';
    return 1;
  }

  kv::tools::InspectedPlugin facts;
  facts.fileName = plugin->fileName();
  facts.reply = plugin->reply();
  facts.loadNanos = plugin->loadTime();
  facts.postsDuringLoad = duringLoad;
  for (const char* name : kv::tools::kEntryNames) {
    if (plugin->Exports(name)) facts.exports.emplace_back(name);
  }
  kv::tools::writeReport(std::cout, facts);

  plugin->Unload();
  std::cout << "unloaded; " << posted.load(std::memory_order_relaxed) - duringLoad
            << " record(s) posted after Load\n";
  return 0;
}
