// Naming and classification of event records, and the core's own log record.
#include "events/EventModel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <typeindex>

namespace kv::core {
namespace {

EventParms record(uint32_t type, uint32_t flags = kFlagLive, uint8_t frameFlags = 0) {
  EventParms event = makeEventRecord(type, flags, 0);
  event.frameFlags = frameFlags;
  return event;
}

// The held type of an empty holder is void.
template <typename T>
std::type_index held() {
  return std::type_index(typeid(const T*));
}

struct ClassRow {
  uint32_t type;
  uint32_t flags;
  uint8_t frameFlags;
  std::type_index expected;
};

TEST(EventModel, ClassifiesEveryRowOfTheTable) {
  const uint32_t live = kFlagLive;
  const uint32_t stored = kFlagStored;
  const ClassRow rows[] = {
      {0x1, live, 0, held<VideoEvt>()},
      {0x1, live, 0x20, held<VideoOutEvt>()},
      {0x1, stored, 0x20, held<StoredVideoEvt>()},  // the stored flag wins
      {0x1, live | stored, 0, held<StoredVideoEvt>()},
      {0x4001, live, 0x20, held<VideoEvt>()},  // the modifier hides the output bit
      {0x1, 0, 0x20, held<VideoOutEvt>()},     // no origin flag needed
      {0x2, live, 0, held<AudioEvt>()},
      {0x2, live, 0x20, held<AudioOutEvt>()},
      {0x2, stored, 0x20, held<StoredAudioEvt>()},
      {0x4002, live, 0x20, held<AudioEvt>()},
      {0x4, live, 0, held<AlarmEvt>()},
      {0x4, stored, 0, held<StoredAlarmEvt>()},
      {0x4004, stored, 0, held<StoredAlarmEvt>()},
      {0x8, stored, 0, held<PTZEvt>()},
      {0x10, stored, 0, held<SerialEvt>()},
      {0x20, live, 0, held<WatchdogEvt>()},
      {0x40, live, 0, held<LogEvt>()},
      {0x40, stored, 0, held<StoredLogEvt>()},
      {0x4040, live, 0, held<LogEvt>()},
      {0x100, live, 0, held<ConfigEvt>()},
      {0x100, stored, 0, held<ConfigEvt>()},
      {0x400, live, 0, held<POSEvt>()},
      {0x400, stored, 0, held<StoredPOSEvt>()},
      {0x10000, live, 0, held<AnalyticEvt>()},
      {0x10000, stored, 0, held<StoredAnalyticEvt>()},
  };
  for (const auto& row : rows) {
    const auto event = record(row.type, row.flags, row.frameFlags);
    const std::any view = classifyEvent(event);
    ASSERT_TRUE(view.has_value()) << std::hex << row.type;
    EXPECT_EQ(std::type_index(view.type()), row.expected)
        << std::hex << "type " << row.type << " flags " << row.flags;
  }
}

TEST(EventModel, TheViewIsTheRecordItself) {
  const auto event = record(kTypeVideo, kFlagLive, kFrameFlagOutput);
  const std::any view = classifyEvent(event);
  const auto* typed = std::any_cast<const VideoOutEvt*>(view);
  EXPECT_EQ(static_cast<const void*>(typed), static_cast<const void*>(&event));
  // A VideoOutEvt is a VideoEvt, and both are the same 184 bytes.
  const VideoEvt* base = typed;
  EXPECT_EQ(static_cast<const void*>(base), static_cast<const void*>(&event));
  EXPECT_EQ(VideoEvt::kTypeCode, kTypeVideo);
  EXPECT_EQ(StoredLogEvt::kOrigin, 67108864u);
  EXPECT_EQ(LogEvt::kOrigin, 16777216u);
}

TEST(EventModel, RequestsAndUnknownCodesHaveNoClass) {
  for (uint32_t type :
       {0x0u, 0x80u, 0x200u, 0x1000u, 0x2000u, 0x4000u, 0x8000u, 0x20000u, 0x3u, 0x10001u}) {
    EXPECT_FALSE(classifyEvent(record(type)).has_value()) << std::hex << type;
  }
}

TEST(EventModel, NamesIgnoreTheModifierBit) {
  const std::pair<uint32_t, std::string_view> names[] = {
      {0x0, "unspecified"},
      {0x1, "video"},
      {0x2, "audio"},
      {0x4, "alarm"},
      {0x8, "ptz"},
      {0x10, "serial"},
      {0x20, "watchdog"},
      {0x40, "log"},
      {0x100, "config"},
      {0x200, "decref"},
      {0x400, "pos"},
      {0x1000, "cancel"},
      {0x2000, "ipc"},
      {0x8000, "crypto"},
      {0x10000, "analytic"},
      {0x4001, "video"},
      {0x4000, "unspecified"},
      {0x80, "unknown"},
      {0x20000, "unknown"},
      {0x3, "unknown"},
      {0xFFFFFFFF, "unknown"},
  };
  for (const auto& [type, name] : names) EXPECT_EQ(eventTypeName(type), name) << std::hex << type;
}

TEST(EventModel, CoreLogRecordCarriesTheTextAndLevel) {
  const std::string text = "Opening 42:Cam";
  const auto log = makeCoreLogRecord(75, text);
  ASSERT_TRUE(log.has_value());
  EXPECT_EQ(log->size, sizeof(EventParms));
  EXPECT_EQ(log->version, 1u);
  EXPECT_EQ(log->length, text.size());
  EXPECT_EQ(log->data, text.data());
  EXPECT_EQ(log->source, 0x80000000u);
  EXPECT_EQ(log->requestId, 0u);
  EXPECT_EQ(log->type, 0x40u);
  EXPECT_EQ(log->flags, 0x1000002u);
  EXPECT_EQ(log->parmsSize, 152u);
  EXPECT_EQ(log->parmsVersion, 1u);
  EXPECT_EQ(log->level, 75);

  // Everything after the level is zero.
  EventParms zero{};
  const size_t rest = offsetof(EventParms, level) + sizeof(int32_t);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(&*log) + rest,
                        reinterpret_cast<const uint8_t*>(&zero) + rest, sizeof zero - rest),
            0);

  EXPECT_FALSE(makeCoreLogRecord(100, "").has_value());
}

// The one builder of records that plugins, samples and the core use.
TEST(EventModel, RecordBuilderFillsTheHeaderAndZeroesTheRest) {
  const char text[] = "payload";
  const EventParms event = makeEventRecord(0x4001, 0x1000010, 0x00210005, text, 7);
  EXPECT_EQ(event.size, sizeof(EventParms));
  EXPECT_EQ(event.version, 1u);
  EXPECT_EQ(event.length, 7u);
  EXPECT_EQ(event.data, text);
  EXPECT_EQ(event.source, 0x00210005u);
  EXPECT_EQ(event.requestId, 0u);
  EXPECT_EQ(event.type, 0x4001u);
  EXPECT_EQ(event.flags, 0x1000010u);
  EXPECT_EQ(event.parmsSize, 152u);
  EXPECT_EQ(event.parmsVersion, 1u);
  EventParms zero{};
  const size_t rest = offsetof(EventParms, level);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(&event) + rest,
                        reinterpret_cast<const uint8_t*>(&zero) + rest, sizeof zero - rest),
            0);

  // A null payload always travels with length 0.
  const EventParms empty = makeEventRecord(kTypeDecref, 0, 0x00210000, nullptr, 64);
  EXPECT_EQ(empty.data, nullptr);
  EXPECT_EQ(empty.length, 0u);
}

TEST(EventModel, AddressWords) {
  EXPECT_EQ(addressSlot(kCoreAddress), 0u);
  EXPECT_EQ(addressSlot(0x00AB1234), 0xABu);
  EXPECT_EQ(addressSlot(0xFF05FFFF), 0x05u);
  EXPECT_EQ(makeAddress(0xAB, 0x1234), 0x00AB1234u);
  EXPECT_TRUE(samePlugin(0x00050001, 0x00050002));
  EXPECT_FALSE(samePlugin(kCoreAddress, kCoreAddress));
  EXPECT_FALSE(samePlugin(kCoreAddress, 0x00000001));  // slot 0 both, but one is the core
  EXPECT_TRUE(namesOriginator(kCoreAddress));
  EXPECT_TRUE(namesOriginator(0x00010000));
  EXPECT_FALSE(namesOriginator(0x0000FFFF));
}

}  // namespace
}  // namespace kv::core
