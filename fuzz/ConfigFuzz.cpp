// The configuration reader and the module-settings delta on arbitrary text.
//
// Input: parts cut at "\n----\n": product.xml, core.xml, then any number of configuration event
// payloads. A part that is exactly "(none)" leaves its file out; missing parts too.
//
// Checked, besides the sanitizers: the settings stay in their ranges whatever the files and
// deltas say; every document the parser accepts is no deeper than the nesting bound (which keeps
// the parser's recursion off the end of the stack); and the status document the core then
// publishes reads back: the core.xml it wrote gives the same settings to a new core, and the
// posted payload parses and names the product as the core knows it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config/Xml.h"
#include "core/DvrCore.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace kv::core;
constexpr const char* kTarget = "config";
constexpr std::string_view kAbsent = "(none)";

void fail(const std::string& what) {
  kv::fuzz::fail(kTarget, what);
}

std::unique_ptr<DvrCore> newCore() {
  static const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  LogSink::Seams seams;
  seams.outputFd = devNull;
  seams.syslogCritical = [](std::string_view) {};
  seams.wallClockNanos = [] { return int64_t{0}; };
  auto core = std::make_unique<DvrCore>("/nonexistent/korvacore", seams);
  gCore = core.get();  // the core's own log lines go through its intake, as in the process
  return core;
}

void deleteCore(std::unique_ptr<DvrCore>& core) {
  core.reset();
  gCore = nullptr;
}

void writeOrRemove(const char* name, std::optional<std::string_view> text) {
  ::unlink(name);
  ::unlink((std::string(name) + ".pending").c_str());
  if (!text) return;
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, text->data(), text->size()) != static_cast<ssize_t>(text->size())) {
    fail(std::string("cannot write ") + name);
  }
  ::close(fd);
}

size_t depthOf(const XmlNode& node) {
  size_t deepest = 0;
  for (const XmlNode* child = node.first_node(); child; child = child->next_sibling()) {
    deepest = std::max(deepest, depthOf(*child));
  }
  return deepest + (node.type() == rapidxml::node_element ? 1 : 0);
}

// The parser accepts nothing deeper than the bound the core checks before parsing.
void checkDepth(std::string_view text) {
  try {
    const XmlDocument document(text);
    if (depthOf(document.root()) > kMaxXmlDepth) fail("a document deeper than the bound parsed");
  } catch (const std::exception&) {
  }
}

void checkSettings(const DvrCore& core) {
  const uint16_t gop = core.maxGopLen.load();
  if (gop < 765 || gop > 2500) fail("MaxGopLen out of range: " + std::to_string(gop));
  for (const auto& level : core.logLevels) {
    const int32_t value = level.load();
    if (value < -1 || value > 100) fail("log level out of range: " + std::to_string(value));
  }
}

// The records the core queued (its status document, its log lines), taken out of the queue with
// the queue's reference released.
RecordRing takeQueued(DvrCore& core) {
  RecordRing records;
  {
    std::lock_guard lock(core.queue.queueMutex);
    records.swap(core.queue.eventQueue);
    core.queue.queuedBytes = 0;
  }
  return records;
}

void release(DvrCore& core, const RecordRing& records) {
  for (const EventParms& record : records) core.releaseRef(record.data, 0);
}

std::string attribute(const XmlNode* element, const char* name) {
  if (element == nullptr) return "<missing element>";
  const XmlAttribute* found = findAttribute(*element, name);
  return found != nullptr ? std::string(found->value(), found->value_size()) : "<missing>";
}

// A value as the printed document can carry it: up to its first zero byte.
std::string printable(const std::string& value) {
  return value.substr(0, value.find('\0'));
}

// The status document posted as an event and written to core.xml reads back.
void checkPublished(DvrCore& core, const std::optional<std::string_view>& product) {
  release(core, takeQueued(core));
  core.publishStatusDocument();
  const RecordRing records = takeQueued(core);
  bool posted = false;
  for (const EventParms& record : records) {
    if (record.type != kTypeConfig || record.source != kCoreAddress) continue;
    posted = true;
    try {
      const XmlDocument document(
          std::string_view(static_cast<const char*>(record.data), record.length));
      const XmlNode* element = findPath(document.root(), "kDVR/Product");
      if (attribute(element, "Family") != printable(core.productName) ||
          attribute(element, "Version") != printable(core.coreVersion)) {
        fail("the posted status document names another product");
      }
    } catch (const std::exception& error) {
      fail(std::string("the posted status document does not parse: ") + error.what());
    }
  }
  release(core, records);
  if (!posted) fail("no status document was posted");

  // A new core reads the core.xml just written, with the same product.xml.
  auto reader = newCore();
  reader->maxGopLen = 800;  // neither the default nor the clamp bounds: must be overwritten
  reader->throttleEnabled = !core.throttleEnabled.load();
  writeOrRemove("product.xml", product);
  reader->loadConfiguration();
  if (reader->throttleEnabled.load() != core.throttleEnabled.load() ||
      reader->maxGopLen.load() != core.maxGopLen.load() ||
      reader->logLevels[0].load() != core.logLevels[0].load()) {
    fail("core.xml written by the core reads back with other settings");
  }
  release(*reader, takeQueued(*reader));
  deleteCore(reader);
  gCore = &core;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kv::fuzz::enterPrivateDir(kTarget);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = kv::fuzz::splitParts({reinterpret_cast<const char*>(data), size});
  const auto file = [&](size_t i) -> std::optional<std::string_view> {
    if (i >= parts.size() || parts[i] == kAbsent) return std::nullopt;
    return parts[i];
  };
  for (const auto part : parts) checkDepth(part);

  auto core = newCore();
  writeOrRemove("product.xml", file(0));
  writeOrRemove("core.xml", file(1));
  core->loadConfiguration();
  checkSettings(*core);

  for (size_t i = 2; i < parts.size(); ++i) {
    EventParms delta = makeEventRecord(kTypeConfig, kFlagConfigDelta, makeAddress(0x21),
                                       parts[i].data(), parts[i].size());
    core->applyModulesDelta(delta);
    checkSettings(*core);
    release(*core, takeQueued(*core));
  }

  checkPublished(*core, file(0));
  release(*core, takeQueued(*core));
  deleteCore(core);
  return 0;
}
