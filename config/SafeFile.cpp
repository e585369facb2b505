#include "config/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "config/Xml.h"

namespace kv::core {
namespace {

constexpr std::string_view kXmlStart = "<?xml";
constexpr char kPendingSuffix[] = ".pending";

[[noreturn]] void fail(const char* what, const std::string& path) {
  throw std::runtime_error(what + path + " - " + std::strerror(errno));
}

[[noreturn]] void notXml() {
  throw std::runtime_error("Failed - not xml content");
}

// Closes the descriptor when the scope ends, keeping errno for the message being built.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    const int saved = errno;
    if (fd_ >= 0) ::close(fd_);
    errno = saved;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Throws the parser's own message when `text` doesn't parse.
void checkParses(const std::string& text) {
  try {
    XmlDocument document(text);
  } catch (const rapidxml::parse_error& error) {
    throw std::runtime_error(error.what());
  }
}

// Files the core creates are readable by its group at most; a stricter umask narrows them further.
constexpr mode_t kFileMode = 0640;

std::string readFileOpenedWith(const std::string& path, int flags) {
  // Not blocking: opening a FIFO planted at either name would otherwise wait for a writer for
  // ever, before the core could be stopped. Such a file has no size, so it reads as empty.
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
  if (file.get() < 0) fail("Failed to open ", path);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) fail("Failed to get size of ", path);
  std::string content(static_cast<size_t>(status.st_size), '\0');
  const ssize_t got = ::read(file.get(), content.data(), content.size());
  if (got < 0 || static_cast<size_t>(got) != content.size()) fail("Failed to read ", path);
  return content;
}

// Makes a rename in the directory of `path` durable: the synchronous write alone keeps the data,
// not the directory entry that names it. Best effort: the new content is in place either way.
void syncDirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

// A pending copy is only ever a file the core wrote: a link there is never read or promoted.
bool isCompleteXml(const std::string& path, std::string& content) {
  try {
    content = readFileOpenedWith(path, O_NOFOLLOW);
    if (!isXmlText(content)) return false;
    checkParses(content);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool isXmlText(std::string_view text) {
  return text.size() > 4 && text.starts_with(kXmlStart);
}

std::string readFile(const std::string& path) {
  return readFileOpenedWith(path, 0);
}

void writeFileSafely(const std::string& path, const char* data, size_t length) {
  const std::string pending = path + kPendingSuffix;
  // A stale pending name, whatever it is (a broken copy, a link planted there), is removed rather
  // than written through; the exclusive create then never follows a link.
  ::unlink(pending.c_str());
  {
    const Descriptor file(
        ::open(pending.c_str(),
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_TRUNC | O_SYNC | O_CLOEXEC, kFileMode));
    if (file.get() < 0) fail("Failed to open ", pending);
    const ssize_t written = ::write(file.get(), data, length);
    if (written < 0 || static_cast<size_t>(written) != length) fail("Failed to write ", pending);
  }
  // A file that was never replaced must not be reported as written. The rename replaces a link
  // at the path itself; it never writes through it.
  if (std::rename(pending.c_str(), path.c_str()) != 0) fail("Failed to rename ", pending);
  syncDirectoryOf(path);
}

void writeXmlFile(const std::string& path, const char* data, size_t length) {
  if (!isXmlText({data, length})) notXml();
  writeFileSafely(path, data, length);
}

std::string readXmlFile(const std::string& path) {
  const std::string pending = path + kPendingSuffix;
  std::string content;
  if (isCompleteXml(pending, content)) {
    std::rename(pending.c_str(), path.c_str());  // completes an interrupted write
    return content;
  }
  content = readFile(path);
  if (!isXmlText(content)) notXml();
  checkParses(content);
  ::unlink(pending.c_str());
  return content;
}

}  // namespace kv::core
