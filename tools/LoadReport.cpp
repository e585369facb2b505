#include "tools/LoadReport.h"

#include <algorithm>
#include <cstdio>

#include "events/EventParms.h"

namespace kv::tools {
namespace {

using namespace kv::core;

std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// Plugin IDs are printed as the core prints them in its log: two lower-case hex digits.
std::string idText(uint32_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%02x", id);
  return text;
}

const char* ioctlMeaning(uint32_t code) {
  switch (code) {
    case kIoctlRunWorker: return "the worker thread's body";
    case kIoctlConfigEvent: return "configuration events, in place of OnEvent";
    case kIoctlIpcPacket: return "supervisor packets, in place of OnIpcResult";
    default: return "";
  }
}

void line(std::ostream& out, const char* label, const std::string& value) {
  char head[24];
  std::snprintf(head, sizeof head, "%-16s", label);
  out << head << value << '\n';
}

std::string workerText(const InspectedPlugin& plugin) {
  if (plugin.reply.provideWorkerThread == 0) return "not requested";
  if (!plugin.exported(kEntryIoctl)) return "requested, but IOCTL is not exported: none started";
  return "requested: IOCTL code 1 runs on it from right after loading, before Open";
}

std::string readerText(const InspectedPlugin& plugin) {
  if (plugin.reply.startAsyncReader == 0) return "not requested";
  if (!plugin.exported(kEntryRead)) return "requested, but Read is not exported: none started";
  if (!canBeOpened(plugin)) return "requested, but the plugin can't be opened: none started";
  return "requested: Read runs on it from right after Open";
}

std::string writeText(const InspectedPlugin& plugin) {
  if (plugin.reply.acceptsWrite == 0) return "no";
  if (!plugin.exported(kEntryWrite)) return "yes, but Write is not exported: unused";
  if (plugin.exported(kEntryOnEvent)) return "yes, but OnEvent takes every event: unused";
  if (!canBeOpened(plugin)) return "yes, but the plugin can't be opened: unused";
  return "yes: events other than configuration go to Write";
}

std::string specialRule(const LoadReply& reply) {
  if (reply.address == kCoreAddress) return "none (the core's own address)";
  switch (addressSlot(reply.address)) {
    case kPluginIdLoadedFirst:
      return "ID 06 is loaded first: put at the front of the plugin list, so its worker starts, "
             "it is opened and it is offered every event before all other plugins";
    case kPluginIdRemovedAtClose:
      return "ID 08 is removed at close: closed and unloaded before all other plugins, or, as "
             "the log plugin, after all of them";
    default: return "none";
  }
}

}  // namespace

bool InspectedPlugin::exported(const char* name) const {
  return std::find(exports.begin(), exports.end(), name) != exports.end();
}

std::array<SubscriptionWord, 8> subscriptionWords(const LoadReply& reply) {
  return {{{"video", reply.videoSub, true},
           {"audio", reply.audioSub, true},
           {"alarm", reply.alarmSub, true},
           {"ptz", reply.ptzSub, false},
           {"serial", reply.serialSub, false},
           {"log", reply.logSub, true},
           {"pos", reply.posSub, true},
           {"analytic", reply.analyticSub, true}}};
}

std::string describeSubscription(const SubscriptionWord& word) {
  std::string text;
  auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if ((word.word & kSubLive) != 0) add("live");
  if ((word.word & kSubStored) != 0) {
    // The core reads the stored bit only where it offers searches.
    add(word.searchable ? "stored" : "stored (not read for this type)");
  }
  const uint32_t own = word.word & ~(kSubLive | kSubStored);
  if (own != 0) add("own bits " + hex8(own));
  return text.empty() ? "none" : text;
}

bool canBeOpened(const InspectedPlugin& plugin) {
  return plugin.exported(kEntryOpen) && plugin.exported(kEntryClose);
}

std::vector<uint32_t> ioctlCodes(const InspectedPlugin& plugin) {
  std::vector<uint32_t> codes;
  // IOCTL is bound at load, the event entries only at open: an unopened plugin gets
  // configuration events through IOCTL even when it exports OnEvent.
  if (!plugin.exported(kEntryIoctl)) return codes;
  if (plugin.reply.provideWorkerThread != 0) codes.push_back(kIoctlRunWorker);
  if (!plugin.exported(kEntryOnEvent) || !canBeOpened(plugin)) codes.push_back(kIoctlConfigEvent);
  if (!plugin.exported(kEntryOnIpcResult)) codes.push_back(kIoctlIpcPacket);
  return codes;
}

std::string searchEntry(const InspectedPlugin& plugin) {
  if (!canBeOpened(plugin)) return "";
  if (plugin.exported(kEntryOnSearch)) return kEntryOnSearch;
  if (plugin.reply.startAsyncReader == 0 || !plugin.exported(kEntryRead)) return "";
  for (const SubscriptionWord& word : subscriptionWords(plugin.reply)) {
    if (word.searchable && (word.word & kSubStored) != 0) return kEntryRead;
  }
  return "";
}

void writeReport(std::ostream& out, const InspectedPlugin& plugin) {
  const LoadReply& reply = plugin.reply;
  char loaded[96];
  std::snprintf(loaded, sizeof loaded,
                "Load answered 0 in %.3f ms; %u record(s) posted during Load",
                static_cast<double>(plugin.loadNanos) / 1e6, plugin.postsDuringLoad);
  line(out, "plugin", plugin.fileName);
  line(out, "loaded", loaded);
  line(out, "plugin ID", idText(addressSlot(reply.address)));
  line(out, "address word", hex8(reply.address));
  line(out, "special rule", specialRule(reply));
  out << "subscriptions\n";
  for (const SubscriptionWord& word : subscriptionWords(reply)) {
    char head[32];
    std::snprintf(head, sizeof head, "  %-10s%s  ", word.type, hex8(word.word).c_str());
    out << head << describeSubscription(word) << '\n';
  }
  line(out, "worker thread", workerText(plugin));
  line(out, "reader thread", readerText(plugin));
  line(out, "acceptsWrite", writeText(plugin));
  line(out, "close order",
       std::to_string(reply.closeOrder) + " (" + hex8(reply.closeOrder) +
           "): higher values are closed and unloaded earlier");
  line(out, "opening", canBeOpened(plugin) ? "yes" : "no: missing Open()/Close() (open code -102)");

  const auto codes = ioctlCodes(plugin);
  if (codes.empty()) line(out, "IOCTL codes", "none");
  if (!codes.empty()) out << "IOCTL codes\n";
  for (const uint32_t code : codes) {
    out << "  " << code << "  " << ioctlMeaning(code) << '\n';
  }
  const std::string search = searchEntry(plugin);
  line(out, "searches", search.empty() ? "not served" : "served through " + search);

  out << "entry points\n";
  for (size_t i = 0; i < kEntryNames.size(); ++i) {
    // Load and Unload are needed to load, Open and Close to be opened.
    const char* required = i < 2 ? "required" : i < 4 ? "required to be opened" : nullptr;
    const char* state = plugin.exported(kEntryNames[i]) ? "exported" : "missing";
    char row[80];
    if (required != nullptr) {
      std::snprintf(row, sizeof row, "  %-12s%-8s  %s", kEntryNames[i], state, required);
    } else {
      std::snprintf(row, sizeof row, "  %-12s%s", kEntryNames[i], state);
    }
    out << row << '\n';
  }
}

}  // namespace kv::tools
