// Declarations of the entry points a plugin may export.
//
// Public plugin interface. A plugin includes this header and defines the entry points it
// implements; the declarations give them C linkage, default visibility and the exact types the
// core calls them with. `Load` and `Unload` are required, `Open` and `Close` for the plugin to be
// opened; every other entry point is optional and found by name when the core binds it.
#pragma once

#include "events/EventParms.h"
#include "plugins/PluginAbi.h"

#define KV_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

KV_PLUGIN_EXPORT int Load(const kv::core::LoadRequest* request, kv::core::LoadReply* reply);
KV_PLUGIN_EXPORT int Unload(const kv::core::UnloadRequest* request, kv::core::UnloadReply* reply);
KV_PLUGIN_EXPORT int Open(const kv::core::OpenRequest* request, kv::core::OpenReply* reply);
KV_PLUGIN_EXPORT int Close(const kv::core::CloseRequest* request, kv::core::CloseReply* reply);
KV_PLUGIN_EXPORT int OnEvent(const kv::core::EventParms* event);
KV_PLUGIN_EXPORT int OnSearch(const kv::core::EventParms* request);
KV_PLUGIN_EXPORT int Read(const kv::core::ReadRequest* request, void* reply);
KV_PLUGIN_EXPORT int Write(const kv::core::WriteRequest* request, kv::core::WriteReply* reply);
KV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length);
KV_PLUGIN_EXPORT int IOCTL(const kv::core::IoctlRequest* request, kv::core::IoctlReply* reply);
