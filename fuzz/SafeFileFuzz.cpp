// The safe-file reader over every pair of what can lie at a path and at its pending name.
//
// Input: one byte, whose low and high nibble (modulo 7) say what lies at "core.xml" and at
// "core.xml.pending": nothing, a file, a link to a file, a dangling link, a directory, a FIFO, or
// a link to the other name. Then parts cut at "\n----\n": the real content and the pending one.
//
// Checked: a complete pending copy (a file, never a link, holding XML that parses) is returned and
// takes the path's place; otherwise the path's own content is returned when it is XML that parses,
// and the pending name is cleared; otherwise the read fails with one of its messages. Nothing
// blocks: a read that waited for a writer would never return to the core's start.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "config/SafeFile.h"
#include "config/Xml.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace kv::core;
namespace fs = std::filesystem;

constexpr const char* kPath = "core.xml";
constexpr const char* kPending = "core.xml.pending";

void fail(const std::string& what) {
  kv::fuzz::fail("safe_file", what);
}

enum class Kind { kAbsent, kFile, kLinkToFile, kDanglingLink, kDirectory, kFifo, kLinkToOther };

void writeFile(const std::string& name, std::string_view content) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) fail("cannot write " + name);
}

void place(const char* name, const char* other, Kind kind, std::string_view content) {
  const std::string target = std::string(name) + ".target";
  switch (kind) {
    case Kind::kAbsent: break;
    case Kind::kFile: writeFile(name, content); break;
    case Kind::kLinkToFile:
      writeFile(target, content);
      fs::create_symlink(target, name);
      break;
    case Kind::kDanglingLink: fs::create_symlink("nowhere", name); break;
    case Kind::kDirectory: fs::create_directory(name); break;
    case Kind::kFifo:
      if (::mkfifo(name, 0600) != 0) fail("cannot make a FIFO");
      break;
    case Kind::kLinkToOther: fs::create_symlink(other, name); break;
  }
}

std::optional<std::string> contentOf(const char* name) {
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(name, error))) return std::nullopt;
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const char* name) {
  std::error_code error;
  return fs::exists(fs::symlink_status(name, error));
}

// XML as the reader takes it, and the parser's message when it does not parse.
bool parses(const std::string& text, std::string* message = nullptr) {
  try {
    const XmlDocument document(text);
    return true;
  } catch (const std::exception& error) {
    if (message != nullptr) *message = error.what();
    return false;
  }
}

bool complete(const std::string& text) {
  return isXmlText(text) && parses(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kv::fuzz::enterPrivateDir("safe_file");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto realKind = static_cast<Kind>((data[0] & 0x0F) % 7);
  const auto pendingKind = static_cast<Kind>((data[0] >> 4) % 7);
  const auto parts = kv::fuzz::splitParts({reinterpret_cast<const char*>(data) + 1, size - 1});
  const std::string realContent(parts[0]);
  const std::string pendingContent(parts.size() > 1 ? parts[1] : std::string_view());

  for (const char* name : {kPath, kPending, "core.xml.target", "core.xml.pending.target"}) {
    std::error_code ignored;
    fs::remove_all(name, ignored);
  }
  place(kPath, kPending, realKind, realContent);
  place(kPending, kPath, pendingKind, pendingContent);

  // A pending copy is taken only when it is a file of its own with XML that parses.
  const bool pendingTaken = pendingKind == Kind::kFile && complete(pendingContent);
  const bool realIsDirectory = realKind == Kind::kDirectory;
  std::string result;
  std::optional<std::string> failure;
  try {
    result = readXmlFile(kPath);
  } catch (const std::runtime_error& error) {
    failure = error.what();
  } catch (const std::exception& error) {
    fail(std::string("not a runtime error: ") + error.what());
  }

  if (pendingTaken) {
    if (failure) fail("a complete pending copy was not taken: " + *failure);
    if (result != pendingContent) fail("the pending copy's content was not returned");
    if (!realIsDirectory && (contentOf(kPath) != pendingContent || exists(kPending))) {
      fail("the pending copy did not take the path's place");
    }
    return 0;
  }

  // What reading the path meets, following a link at it: the kind and the content of a file.
  Kind met = realKind == Kind::kLinkToFile ? Kind::kFile : realKind;
  std::string readable = realContent;
  if (realKind == Kind::kLinkToOther) {
    met = pendingKind == Kind::kLinkToFile ? Kind::kFile : pendingKind;
    readable = pendingContent;
  }
  const bool realReadable = met == Kind::kFile;
  if (realReadable && complete(readable)) {
    if (failure) fail("a valid file was refused: " + *failure);
    if (result != readable) fail("the file's content was not returned");
    if (pendingKind != Kind::kDirectory && exists(kPending))
      fail("the pending name was not cleared");
    return 0;
  }

  if (!failure) fail("content that is not XML was returned");
  std::string parserMessage;
  if (realReadable && isXmlText(readable) && !parses(readable, &parserMessage)) {
    if (*failure != parserMessage) fail("not the parser's message: " + *failure);
  } else if (realReadable || met == Kind::kFifo) {
    if (*failure != "Failed - not xml content") fail("not the message for non-XML: " + *failure);
  } else if (failure->rfind("Failed to open core.xml - ", 0) != 0 &&
             failure->rfind("Failed to read core.xml - ", 0) != 0 &&
             *failure != "Failed - not xml content") {
    fail("an unexpected message: " + *failure);
  }
  return 0;
}
