// Typed views of the event record.
//
// Public plugin interface. Every class is the same record seen through a type: none has virtual
// operations or adds data, so a record is viewed as its class in place (the class pointer equals
// the record pointer). The templates carry the origin flag (kFlagLive or kFlagStored) and the type
// code of their kind as compile-time constants.
#pragma once

#include "events/EventParms.h"

namespace kv::core {

template <uint32_t Origin, uint32_t TypeCode>
struct VideoBase : EventParms {
  static constexpr uint32_t kOrigin = Origin;
  static constexpr uint32_t kTypeCode = TypeCode;
};

template <uint32_t Origin, uint32_t TypeCode>
struct AudioBase : EventParms {
  static constexpr uint32_t kOrigin = Origin;
  static constexpr uint32_t kTypeCode = TypeCode;
};

// Events whose payload is an XML document.
template <uint32_t Origin, uint32_t TypeCode>
struct XmlEvt : EventParms {
  static constexpr uint32_t kOrigin = Origin;
  static constexpr uint32_t kTypeCode = TypeCode;
};

// Events whose payload is text.
template <uint32_t Origin, uint32_t TypeCode>
struct TxtEvt : EventParms {
  static constexpr uint32_t kOrigin = Origin;
  static constexpr uint32_t kTypeCode = TypeCode;
};

struct VideoEvt : VideoBase<kFlagLive, kTypeVideo> {};
struct VideoOutEvt : VideoEvt {};
struct StoredVideoEvt : VideoBase<kFlagStored, kTypeVideo> {};
struct AudioEvt : AudioBase<kFlagLive, kTypeAudio> {};
struct AudioOutEvt : AudioEvt {};
struct StoredAudioEvt : AudioBase<kFlagStored, kTypeAudio> {};
struct AlarmEvt : XmlEvt<kFlagLive, kTypeAlarm> {};
struct StoredAlarmEvt : XmlEvt<kFlagStored, kTypeAlarm> {};
struct PTZEvt : XmlEvt<kFlagLive, kTypePtz> {};
struct SerialEvt : TxtEvt<kFlagLive, kTypeSerial> {};
struct WatchdogEvt : EventParms {};
struct LogEvt : TxtEvt<kFlagLive, kTypeLog> {};
struct StoredLogEvt : XmlEvt<kFlagStored, kTypeLog> {};
struct ConfigEvt : XmlEvt<kFlagLive, kTypeConfig> {};
struct POSEvt : TxtEvt<kFlagLive, kTypePos> {};
struct StoredPOSEvt : XmlEvt<kFlagStored, kTypePos> {};
struct AnalyticEvt : XmlEvt<kFlagLive, kTypeAnalytic> {};
struct StoredAnalyticEvt : XmlEvt<kFlagStored, kTypeAnalytic> {};

static_assert(sizeof(VideoOutEvt) == sizeof(EventParms) &&
                  sizeof(StoredAnalyticEvt) == sizeof(EventParms),
              "event classes add no data");

}  // namespace kv::core
