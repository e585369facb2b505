// A test plugin whose entry points run the hooks the test installed (HookPlugin.h). Built with
// OnSearch, or with KV_HOOK_READ with Read serving searches instead.
#include "tests/support/HookPlugin.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;

namespace {
kv::test::PluginHooks* hooks = nullptr;
}

KV_PLUGIN_EXPORT void KvTestInstallHooks(kv::test::PluginHooks* installed) {
  hooks = installed;
}

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  hooks->post = request->postEvent;
  if (hooks->load) hooks->load(*reply);
  return 0;
}

KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  if (hooks->unload) hooks->unload();
  return 0;
}
KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  return 0;
}

KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  if (hooks->close) hooks->close();
  return 0;
}

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  return hooks->event ? hooks->event(*event) : 0;
}

KV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  if (hooks->ipc) hooks->ipc(packet, length);
  return 0;
}

#ifndef KV_HOOK_READ
KV_PLUGIN_EXPORT int OnSearch(const EventParms* request) {
  if (hooks->search) hooks->search(*request);
  return 0;
}
#else
KV_PLUGIN_EXPORT int Read(const ReadRequest* request, void*) {
  if (request->data == nullptr) return 0;  // the reader thread: nothing to do
  EventParms search = makeEventRecord(kTypeUnspecified, 0, 0, request->data, request->length);
  search.requestId = request->requestId;
  if (hooks->search) hooks->search(search);
  return 0;
}
#endif
