// A test plugin configured by a file beside it and reporting to a journal, so that many copies of
// it can be loaded by a real core, in-process or as the korvacore executable.
//
// "<its path>.conf" holds key=value lines (all optional):
//   address=N  closeOrder=N  worker=1 (ask for a worker thread)  loadSleepMs=N
// Each entry call appends "<file name> <entry>" to "journal.txt" in the directory above the
// plugin's own (the executable's directory).
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "plugins/PluginEntry.h"

using namespace kv::core;

namespace {

std::string ownPath() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&Load), &info);
  return info.dli_fname != nullptr ? info.dli_fname : "";
}

std::string fileName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

void journal(const char* entry) {
  const std::string path = ownPath();
  const std::string dir = path.substr(0, path.rfind('/'));
  const std::string journalPath = dir.substr(0, dir.rfind('/')) + "/journal.txt";
  if (FILE* file = std::fopen(journalPath.c_str(), "a")) {
    std::fprintf(file, "%s %s\n", fileName(path).c_str(), entry);
    std::fclose(file);
  }
}

unsigned long setting(const char* key, unsigned long fallback) {
  std::ifstream conf(ownPath() + ".conf");
  std::string line;
  const std::string prefix = std::string(key) + "=";
  while (std::getline(conf, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtoul(line.c_str() + prefix.size(), nullptr, 0);
  }
  return fallback;
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest*, LoadReply* reply) {
  journal("Loading");
  std::this_thread::sleep_for(std::chrono::milliseconds(setting("loadSleepMs", 0)));
  journal("Load");
  reply->address = static_cast<uint32_t>(setting("address", makeAddress(0x40)));
  reply->closeOrder = static_cast<uint32_t>(setting("closeOrder", 0));
  reply->provideWorkerThread = setting("worker", 0) != 0 ? 1 : 0;
  return 0;
}
KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  journal("Unload");
  return 0;
}
KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  journal("Open");
  return 0;
}
KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  journal("Close");
  return 0;
}
KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply*) {
  if (request->code == kIoctlRunWorker) journal("Worker");
  return 0;
}
