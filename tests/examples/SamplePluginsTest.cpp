// The four sample plugins, each loaded alone on the plugin test kit as the core would load it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "plugins/IpcPacket.h"
#include "testkit/PluginHarness.h"
#include "tests/examples/ScratchDir.h"

namespace kv::test {
namespace {

using namespace kv::core;
using kv::testkit::HarnessOptions;
using kv::testkit::PluginHarness;
using kv::testkit::PostedRecord;

constexpr uint32_t kCamSimStream = makeAddress(0x10, 1);
constexpr uint32_t kRecorderAddress = makeAddress(0x11);
constexpr uint32_t kSearchClientId = 0x12;

// A copy of the sample `library` in `dir`, with `settings` as its "<library>.conf" beside it.
std::string stagedSample(const ScratchDir& dir, const std::string& library,
                         const std::string& settings) {
  const std::filesystem::path source(library);
  const std::string copy = dir.file(source.filename().string());
  std::filesystem::copy_file(source, copy);
  writeFile(copy + ".conf", settings);
  return copy;
}

// Runs the test in `dir` while it lives: the log plugin writes into its working directory.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::filesystem::path& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDirectory() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

EventParms liveLog(uint32_t source, std::string_view text) {
  EventParms record = makeEventRecord(kTypeLog, kFlagLive, source, text.data(), text.size());
  record.level = 50;
  return record;
}

// The recorder's answer to a statistics packet (type 0x21): the header must route it back to the
// recorder with the packet's type; returns the payload text, empty when the answer is not there.
std::string recorderStats(PluginHarness& harness) {
  harness.clearPosted();
  harness.sendPacket(0x21, "stats", 0);
  const auto packets = harness.packets();
  IpcHeader header{};
  if (packets.size() != 1 || !readIpcPacket(packets[0].data(), packets[0].size(), header) ||
      ipcRoutePluginId(header.route) != 0x11u || header.type != 0x21u) {
    return {};
  }
  return std::string(packets[0].begin() + kIpcHeaderSize, packets[0].end());
}

std::vector<PostedRecord> searchRequests(const std::vector<PostedRecord>& posted) {
  std::vector<PostedRecord> requests;
  for (const PostedRecord& record : posted) {
    if (!namesOriginator(record.record.source) && record.record.requestId != 0) {
      requests.push_back(record);
    }
  }
  return requests;
}

// ---- LogPI ----

TEST(LogPISampleTest, WritesEveryOtherSourcesLineAndNothingOnceClosed) {
  ScratchDir dir;
  const std::string library = stagedSample(dir, KV_SAMPLE_LOGPI, "");
  WorkingDirectory inside(dir.path());
  PluginHarness harness(library);
  ASSERT_TRUE(harness.loaded()) << harness.errorText();
  harness.open();

  const uint32_t self = harness.reply().address;
  EXPECT_FALSE(harness.wants(liveLog(self, "own")));  // the core never hands it its own lines
  EXPECT_TRUE(harness.wants(liveLog(kCoreAddress, "core")));
  EXPECT_EQ(harness.deliver(liveLog(kCoreAddress, "x"), "Opening 10:CamSim"), 0);
  EXPECT_EQ(harness.deliver(liveLog(makeAddress(0x12), "x"), "two\nlines\n"), 0);
  // While the core stops it passes every line, its own too: those must not come back round.
  EXPECT_EQ(harness.deliver(liveLog(self, "x"), "own line"), 0);
  EXPECT_EQ(harness.deliver(makeEventRecord(kTypeConfig, kFlagLive, kCoreAddress), "<Status/>"), 0);
  EXPECT_EQ(harness.heldReferences(), 0u);
  harness.close();
  EXPECT_EQ(readFile(dir.file("korva.log")), "80000000 Opening 10:CamSim\n00120000 two lines\n");
}

TEST(LogPISampleTest, RotatesBySizeAndReportsAFailedFileOncePerRun) {
  ScratchDir dir;
  const std::string library = stagedSample(dir, KV_SAMPLE_LOGPI, "maxBytes=1024\nkeep=2\n");
  WorkingDirectory inside(dir.path());
  {
    PluginHarness harness(library);
    harness.open();
    const std::string text(100, 'a');  // 110 bytes a line: ten fill a file
    for (int i = 0; i < 25; ++i) harness.deliver(liveLog(kCoreAddress, "x"), text);
    harness.close();
    EXPECT_TRUE(harness.logLines().empty());
  }
  EXPECT_TRUE(std::filesystem::exists(dir.file("korva.log.1")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("korva.log.2")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("korva.log.3")));

  // A directory where the file should be: no line can be written.
  std::filesystem::remove_all(dir.file("korva.log"));
  std::filesystem::create_directory(dir.file("korva.log"));
  PluginHarness harness(library);
  harness.open();
  for (int i = 0; i < 3; ++i) harness.deliver(liveLog(kCoreAddress, "x"), "lost");
  const auto lines = harness.logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 75);
  EXPECT_TRUE(lines[0].write);  // to the core's own log, which doesn't depend on this file
  EXPECT_NE(lines[0].text.find("cannot write"), std::string::npos) << lines[0].text;
}

// ---- CamSim ----

// A fast camera without periodic key frames and without alarms, so that every key frame after
// the first is one the gate's answers asked for.
constexpr char kCamSimSettings[] = "fps=100\ngop=600\nalarmSeconds=0\n";

TEST(CamSimSampleTest, StreamsOnlyAfterOpenAndStartsWithAKeyFrame) {
  ScratchDir dir;
  PluginHarness harness(stagedSample(dir, KV_SAMPLE_CAMSIM, kCamSimSettings));
  ASSERT_TRUE(harness.loaded()) << harness.errorText();
  EXPECT_EQ(harness.reply().provideWorkerThread, 1);
  harness.startWorker();
  EXPECT_TRUE(harness.posted().empty());  // the worker waits for Open
  harness.open();
  ASSERT_TRUE(harness.waitForPosts(kTypeVideo, 3));
  ASSERT_TRUE(harness.waitForPosts(kTypeAudio, 3));
  harness.close();
  harness.unload();  // joins the worker, which returns once closed

  const auto video = harness.posted(kTypeVideo);
  EXPECT_EQ(video[0].record.frameKind & kFrameKindMask, kFrameKindKey);
  EXPECT_TRUE(video[0].text().starts_with("CAMSIM K frame=1\n"));
  EXPECT_NE(video[1].record.frameKind & kFrameKindMask, kFrameKindKey);
  EXPECT_TRUE(video[1].text().starts_with("CAMSIM P frame=2\n"));
  for (const PostedRecord& frame : harness.posted()) {
    EXPECT_EQ(frame.record.source, kCamSimStream);
    EXPECT_NE(frame.record.flags & kFlagLive, 0u);
  }
  EXPECT_EQ(harness.malformedPosts(), 0u);
}

TEST(CamSimSampleTest, AGateDropIsFollowedByAKeyFrame) {
  struct Case {
    uint32_t type;  // the frame that is dropped
    int code;
  };
  const Case cases[] = {{kTypeVideo, kPostDropNoKeyFrame},
                        {kTypeVideo, kPostDropLongGop},
                        {kTypeVideo, kPostDropThrottled},
                        {kTypeAudio, kPostDropThrottled}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " code " << c.code);
    ScratchDir dir;
    PluginHarness harness(stagedSample(dir, KV_SAMPLE_CAMSIM, kCamSimSettings));
    harness.startWorker();
    harness.open();
    ASSERT_TRUE(harness.waitForPosts(kTypeVideo, 2));  // past the first key frame
    harness.setPostAnswer(c.type, c.code);
    ASSERT_TRUE(harness.waitFor([&](const std::vector<PostedRecord>& posted) {
      for (const PostedRecord& record : posted) {
        if (record.type() == c.type && record.answer == c.code) return true;
      }
      return false;
    }));
    harness.setPostAnswer(c.type, kPostAccepted);
    // The first video frame posted after the drop.
    const auto videoAfterDrop =
        [&](const std::vector<PostedRecord>& posted) -> const PostedRecord* {
      bool dropped = false;
      for (const PostedRecord& record : posted) {
        if (dropped && record.type() == kTypeVideo) return &record;
        dropped = dropped || (record.type() == c.type && record.answer == c.code);
      }
      return nullptr;
    };
    ASSERT_TRUE(harness.waitFor([&](const std::vector<PostedRecord>& posted) {
      return videoAfterDrop(posted) != nullptr;
    }));
    harness.close();
    harness.unload();
    const auto posted = harness.posted();
    const PostedRecord* next = videoAfterDrop(posted);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->record.frameKind & kFrameKindMask, kFrameKindKey) << next->text();
  }
}

// ---- Recorder ----

TEST(RecorderSampleTest, KeepsTheNewestFramesAndGivesEveryReferenceBackByClose) {
  ScratchDir dir;
  PluginHarness harness(stagedSample(dir, KV_SAMPLE_RECORDER, "ring=3\n"));
  ASSERT_TRUE(harness.loaded()) << harness.errorText();
  harness.open();
  const EventParms frame = makeEventRecord(kTypeVideo, kFlagLive, kCamSimStream);
  ASSERT_TRUE(harness.wants(frame));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(harness.deliver(frame, "frame " + std::to_string(i)), 1);
  EXPECT_EQ(harness.deliver(makeEventRecord(kTypeAlarm, kFlagLive, kCamSimStream), "<Alarm/>"), 0);
  EXPECT_EQ(harness.heldReferences(), 3u);
  EXPECT_EQ(harness.decrefs(), 2u);  // the two pushed out of the ring
  harness.close();
  EXPECT_EQ(harness.heldReferences(), 0u);
  EXPECT_EQ(harness.strayDecrefs(), 0u);
  EXPECT_EQ(harness.malformedPosts(), 0u);
}

TEST(RecorderSampleTest, ServesAPacedSearchOldestFirstAndAnswersTheSupervisor) {
  ScratchDir dir;
  PluginHarness harness(stagedSample(dir, KV_SAMPLE_RECORDER, "ring=8\n"));
  harness.open();
  const EventParms video = makeEventRecord(kTypeVideo, kFlagLive, kCamSimStream);
  for (int i = 0; i < 5; ++i) harness.deliver(video, "frame " + std::to_string(i));
  harness.deliver(makeEventRecord(kTypeAudio, kFlagLive, kCamSimStream), "audio 0");
  harness.deliver(makeEventRecord(kTypeAlarm, kFlagLive, kCamSimStream), "<Alarm N=\"1\"/>");

  {
    auto search = harness.search(kTypeVideo, "max=2");
    for (const char* expected : {"frame 3", "frame 4"}) {
      const auto result = search->next();
      ASSERT_TRUE(result.has_value());
      EXPECT_EQ(result->text(), expected);
      EXPECT_EQ(result->type(), kTypeVideo);
      EXPECT_NE(result->record.flags & kFlagStored, 0u);
      EXPECT_EQ(result->record.source, kRecorderAddress);
    }
    EXPECT_FALSE(search->next().has_value());
    ASSERT_TRUE(search->finished());
  }
  {
    auto search = harness.search(kTypeAlarm, "all");
    const auto result = search->next();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->text(), "<Alarm N=\"1\"/>");
    EXPECT_FALSE(search->next().has_value());
  }

  EXPECT_EQ(recorderStats(harness), "frames=6 held=6 alarms=1 searches=2 results=3");
  harness.close();
  EXPECT_EQ(harness.heldReferences(), 0u);
  EXPECT_EQ(harness.strayDecrefs(), 0u);
}

TEST(RecorderSampleTest, StopsASearchOnCancel) {
  ScratchDir dir;
  PluginHarness harness(stagedSample(dir, KV_SAMPLE_RECORDER, "ring=8\n"));
  harness.open();
  const EventParms video = makeEventRecord(kTypeVideo, kFlagLive, kCamSimStream);
  for (int i = 0; i < 5; ++i) harness.deliver(video, "frame " + std::to_string(i));
  auto search = harness.search(kTypeVideo, "all of it");
  const auto first = search->next();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->text(), "frame 0");
  search->cancel();
  ASSERT_TRUE(search->finished());
  EXPECT_FALSE(search->next().has_value());

  EXPECT_EQ(recorderStats(harness), "frames=5 held=5 alarms=0 searches=1 results=1");
  // Frames the search had pinned come back too.
  harness.close();
  EXPECT_EQ(harness.heldReferences(), 0u);
  EXPECT_EQ(harness.strayDecrefs(), 0u);
}

TEST(RecorderSampleTest, FramesASearchPinnedAtCloseComeBackWhenTheSearchEnds) {
  ScratchDir dir;
  PluginHarness harness(stagedSample(dir, KV_SAMPLE_RECORDER, "ring=8\n"));
  harness.open();
  const EventParms video = makeEventRecord(kTypeVideo, kFlagLive, kCamSimStream);
  for (int i = 0; i < 5; ++i) harness.deliver(video, "frame " + std::to_string(i));
  auto search = harness.search(kTypeVideo, "all of it");
  ASSERT_TRUE(search->next().has_value());  // the second result now waits, all five pinned
  harness.close();
  EXPECT_EQ(harness.heldReferences(), 5u);  // nothing pinned may go back yet
  harness.unload();  // refuses the waiting result: the search unpins and gives them back
  EXPECT_TRUE(search->finished(std::chrono::milliseconds(0)));
  EXPECT_EQ(harness.heldReferences(), 0u);
  EXPECT_EQ(harness.strayDecrefs(), 0u);
}

// ---- SearchClient ----

TEST(SearchClientSampleTest, SearchesAndCancelsEveryThirdAfterItsFirstResult) {
  ScratchDir dir;
  PluginHarness harness(stagedSample(dir, KV_SAMPLE_SEARCHCLIENT, "intervalSeconds=1\n"));
  ASSERT_TRUE(harness.loaded()) << harness.errorText();
  harness.startWorker();
  harness.open();
  const auto requestsPosted = [](size_t count) {
    return [count](const std::vector<PostedRecord>& posted) {
      return searchRequests(posted).size() >= count;
    };
  };
  ASSERT_TRUE(harness.waitFor(requestsPosted(1), std::chrono::seconds(10)));
  const PostedRecord first = searchRequests(harness.posted())[0];
  EXPECT_EQ(first.record.type, kTypeVideo);
  EXPECT_NE(first.record.flags & kFlagStored, 0u);
  EXPECT_EQ(addressSlot(first.record.requestId), kSearchClientId);
  EXPECT_EQ(first.text(), "max=100");

  EventParms result = makeEventRecord(kTypeVideo, kFlagStored, kRecorderAddress);
  result.requestId = first.record.requestId;
  ASSERT_TRUE(harness.wants(result));
  EXPECT_EQ(harness.deliver(result, "result"), 0);  // released at once: the search goes on

  ASSERT_TRUE(harness.waitFor(requestsPosted(3), std::chrono::seconds(10)));
  // The third search is cancelled at its first result, and only once.
  result.requestId = searchRequests(harness.posted())[2].record.requestId;
  EXPECT_EQ(harness.deliver(result, "result"), 0);
  EXPECT_EQ(harness.deliver(result, "result"), 0);
  harness.close();
  harness.unload();

  std::vector<PostedRecord> cancels;
  for (const PostedRecord& record : harness.posted(kTypeCancel)) {
    if ((record.record.flags & kFlagQuery) == 0) cancels.push_back(record);
  }
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_EQ(cancels[0].record.requestId, result.requestId);
  // Its summary at Close.
  const auto lines = harness.logLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().text.find("results=3 bytes=18 cancelled=1"), std::string::npos)
      << lines.back().text;
  EXPECT_TRUE(lines.back().write);
  EXPECT_EQ(harness.heldReferences(), 0u);
}

}  // namespace
}  // namespace kv::test
