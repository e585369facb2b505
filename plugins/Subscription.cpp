// Which records a plugin receives: by its subscription words, and by whether the record comes from
// the plugin itself.
#include "plugins/Plugin.h"

namespace kv::core {
namespace {

bool subscribed(uint32_t word) {
  return (word & kSubLive) != 0;
}

// 0x80000000 stays; any other address word keeps only its plugin bits.
uint32_t normalised(uint32_t address) {
  return address == kCoreAddress ? kCoreAddress : address & 0x00FF0000u;
}

// A plain live frame comes back to its own plugin only when it is marked for output; a frame with
// the modifier bit goes by subscription, but never to a plugin whose address names no plugin.
bool wantsMedia(const EventParms& event, uint32_t exactType, uint32_t address, uint32_t word,
                bool fromSelf) {
  if (event.type == exactType) {
    return fromSelf ? (event.frameFlags & kFrameFlagOutput) != 0 : subscribed(word);
  }
  const bool namesNoPlugin = address != kCoreAddress && (address & 0x00FF0000u) == 0;
  return subscribed(word) && !namesNoPlugin;
}

}  // namespace

bool Plugin::WantsEvent(const EventParms& event) const {
  const uint32_t self = reply_.address;
  // Search results go to the requester named in the request identifier, and to nobody else.
  if ((event.flags & kFlagStored) != 0) return normalised(self) == normalised(event.requestId);
  const bool fromSelf =
      (self == kCoreAddress && event.source == kCoreAddress) || samePlugin(self, event.source);
  switch (maskedType(event.type)) {
    case kTypeVideo: return wantsMedia(event, kTypeVideo, self, reply_.videoSub, fromSelf);
    case kTypeAudio: return wantsMedia(event, kTypeAudio, self, reply_.audioSub, fromSelf);
    case kTypeAlarm: return subscribed(reply_.alarmSub);
    case kTypePtz: return subscribed(reply_.ptzSub);
    case kTypeSerial: return subscribed(reply_.serialSub);
    case kTypeWatchdog: return normalised(event.source) == normalised(self);
    case kTypeLog: return !fromSelf && subscribed(reply_.logSub);
    case kTypeConfig: return !fromSelf || event.toSelf != 0;
    case kTypePos: return subscribed(reply_.posSub);
    case kTypeAnalytic: return fromSelf ? event.toSelf != 0 : subscribed(reply_.analyticSub);
    default: return false;
  }
}

}  // namespace kv::core
