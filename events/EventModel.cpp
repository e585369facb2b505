#include "events/EventModel.h"

namespace kv::core {
namespace {

// Views `event` as class T in place: the classes add no data, so the pointers are equal.
template <typename T>
std::any view(const EventParms& event) {
  return std::any(static_cast<const T*>(&event));
}

bool isStored(const EventParms& event) {
  return (event.flags & kFlagStored) != 0;
}

// An output frame is recognised only on a plain live media type; the modifier bit or the stored
// flag make it an ordinary frame of its kind.
bool isOutputFrame(const EventParms& event, uint32_t exactType) {
  return event.type == exactType && (event.frameFlags & kFrameFlagOutput) != 0;
}

template <typename Stored, typename Live>
std::any storedOrLive(const EventParms& event) {
  return isStored(event) ? view<Stored>(event) : view<Live>(event);
}

}  // namespace

std::any classifyEvent(const EventParms& event) {
  switch (maskedType(event.type)) {
    case kTypeVideo:
      if (isStored(event)) return view<StoredVideoEvt>(event);
      if (isOutputFrame(event, kTypeVideo)) return view<VideoOutEvt>(event);
      return view<VideoEvt>(event);
    case kTypeAudio:
      if (isStored(event)) return view<StoredAudioEvt>(event);
      if (isOutputFrame(event, kTypeAudio)) return view<AudioOutEvt>(event);
      return view<AudioEvt>(event);
    case kTypeAlarm: return storedOrLive<StoredAlarmEvt, AlarmEvt>(event);
    case kTypePtz: return view<PTZEvt>(event);
    case kTypeSerial: return view<SerialEvt>(event);
    case kTypeWatchdog: return view<WatchdogEvt>(event);
    case kTypeLog: return storedOrLive<StoredLogEvt, LogEvt>(event);
    case kTypeConfig: return view<ConfigEvt>(event);
    case kTypePos: return storedOrLive<StoredPOSEvt, POSEvt>(event);
    case kTypeAnalytic: return storedOrLive<StoredAnalyticEvt, AnalyticEvt>(event);
    default: return {};
  }
}

std::string_view eventTypeName(uint32_t type) {
  switch (maskedType(type)) {
    case kTypeUnspecified: return "unspecified";
    case kTypeVideo: return "video";
    case kTypeAudio: return "audio";
    case kTypeAlarm: return "alarm";
    case kTypePtz: return "ptz";
    case kTypeSerial: return "serial";
    case kTypeWatchdog: return "watchdog";
    case kTypeLog: return "log";
    case kTypeConfig: return "config";
    case kTypeDecref: return "decref";
    case kTypePos: return "pos";
    case kTypeCancel: return "cancel";
    case kTypeIpc: return "ipc";
    case kTypeCrypto: return "crypto";
    case kTypeAnalytic: return "analytic";
    default: return "unknown";
  }
}

std::optional<EventParms> makeCoreLogRecord(int32_t level, std::string_view text) {
  if (text.empty()) return std::nullopt;
  // The record only points at the text; the intake copies the payload before it is queued.
  EventParms record =
      makeEventRecord(kTypeLog, kFlagLive | kFlagLogWrite, kCoreAddress, text.data(), text.size());
  record.level = level;
  return record;
}

}  // namespace kv::core
