// A test log plugin for runs of the real executable: writes the system identifier it was loaded
// with to "loaded-id.txt" in the working directory, and "opened", "closed", "unloaded" after it.
#include <cstdio>

#include "plugins/PluginEntry.h"

using namespace kv::core;

namespace {
void append(const char* text, size_t length) {
  if (FILE* file = std::fopen("loaded-id.txt", "ab")) {
    std::fwrite(text, 1, length, file);
    std::fclose(file);
  }
}
}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  append(request->systemId, request->systemIdLength);
  reply->address = makeAddress(0x7f);
  return 0;
}
KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  append("|opened", 7);
  return 0;
}
KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  append("|closed", 7);
  return 0;
}
KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  append("|unloaded", 9);
  return 0;
}
