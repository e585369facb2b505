// What korva-inspect tells about a loaded plugin: the facts gathered from its Load call and its
// exported symbols, what the core will do with them, and the report text.
//
// Everything here is derived from the LoadReply and the export list alone, by the same rules the
// Plugin object applies when it binds and calls entry points; nothing calls into the plugin.
// Plain functions of plain values: safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "plugins/PluginAbi.h"

namespace kv::tools {

// The ten entry points, in the order of the interface table.
inline constexpr std::array<const char*, 10> kEntryNames = {
    core::kEntryLoad,        core::kEntryUnload,   core::kEntryOpen, core::kEntryClose,
    core::kEntryOnEvent,     core::kEntryOnSearch, core::kEntryRead, core::kEntryWrite,
    core::kEntryOnIpcResult, core::kEntryIoctl};

struct InspectedPlugin {
  std::string fileName;
  core::LoadReply reply{};
  // Exported entry points by name (kEntry*).
  std::vector<std::string> exports;
  int64_t loadNanos = 0;
  // Records the plugin posted while its Load ran.
  uint32_t postsDuringLoad = 0;

  bool exported(const char* name) const;
};

// One subscription word of the LoadReply with the event type it is for.
struct SubscriptionWord {
  const char* type;  // "video", "audio", ...
  uint32_t word;
  bool searchable;  // whether the core reads the stored bit of this word
};
// The eight words in the order of the LoadReply.
std::array<SubscriptionWord, 8> subscriptionWords(const core::LoadReply& reply);
// "live, stored, own bits 0x00000010", "none", ...
std::string describeSubscription(const SubscriptionWord& word);

// Whether the core can open the plugin: it needs both Open and Close.
bool canBeOpened(const InspectedPlugin& plugin);
// The IOCTL codes the core will send the plugin (kIoctl*), in increasing order.
std::vector<uint32_t> ioctlCodes(const InspectedPlugin& plugin);
// How the plugin serves searches: "OnSearch", "Read", or empty when searches never reach it.
std::string searchEntry(const InspectedPlugin& plugin);

// The whole report, one fact a line.
void writeReport(std::ostream& out, const InspectedPlugin& plugin);

}  // namespace kv::tools
