// A text log file that rotates by size: when the next line would take the file past its limit, the
// file becomes "<path>.1", the older ".1" becomes ".2" and so on, and only `keep` old files stay.
//
// Invariants: a line is written whole into one file, never split across two; a file grows past the
// limit only by a single line that is longer than the limit on its own (it then fills a fresh file
// by itself). Lines are flushed as they are written, so a crash loses none that append accepted.
//
// Thread safety: none. The owner serialises every call (LogPI holds a mutex around it).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

namespace kv::samples {

class RotatingLog {
 public:
  // REQUIRES: `maxBytes` > 0. Nothing is opened until the first append.
  RotatingLog(std::string path, uint64_t maxBytes, unsigned keep)
      : path_(std::move(path)), maxBytes_(maxBytes), keep_(keep) {}
  ~RotatingLog() { close(); }
  RotatingLog(const RotatingLog&) = delete;
  RotatingLog& operator=(const RotatingLog&) = delete;

  // Writes `line` and a newline, rotating first when they would not fit. `line` must not contain
  // a newline itself. Returns false when the file can't be opened or written; the line is lost.
  bool append(std::string_view line) {
    const uint64_t bytes = line.size() + 1;
    if (!open()) return false;
    if (size_ > 0 && size_ + bytes > maxBytes_) {
      rotate();
      if (!open()) return false;
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), file_) == line.size() &&
                         std::fputc('\n', file_) != EOF && std::fflush(file_) == 0;
    // A failed write may have left part of the line; count what the file really holds.
    size_ = written ? size_ + bytes : tell();
    return written;
  }

  // Closes the file; a later append opens it again.
  void close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
  }

  const std::string& path() const { return path_; }

 private:
  bool open() {
    if (file_ != nullptr) return true;
    file_ = std::fopen(path_.c_str(), "a");
    if (file_ == nullptr) return false;
    // A file left by an earlier run counts towards the limit.
    size_ = tell();
    return true;
  }

  uint64_t tell() {
    if (std::fseek(file_, 0, SEEK_END) != 0) return 0;
    const long position = std::ftell(file_);
    return position > 0 ? static_cast<uint64_t>(position) : 0;
  }

  // Makes the current file "<path>.1" after shifting each "<path>.i" to "<path>.i+1", oldest first;
  // renaming onto the oldest kept name drops the file that was there. Missing names are skipped.
  void rotate() {
    close();
    if (keep_ == 0) {
      std::remove(path_.c_str());
    } else {
      for (unsigned i = keep_ - 1; i >= 1; --i) {
        std::rename(oldPath(i).c_str(), oldPath(i + 1).c_str());
      }
      std::rename(path_.c_str(), oldPath(1).c_str());
    }
    size_ = 0;
  }

  std::string oldPath(unsigned generation) const {
    return path_ + "." + std::to_string(generation);
  }

  std::string path_;
  uint64_t maxBytes_;
  unsigned keep_;
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;  // bytes in the current file, valid while it is open
};

// The line LogPI writes for one log record: the source address as 8 hex digits, a space and the
// text, with trailing CR/LF removed and any inner line break turned into a space, so that one
// record is always one line.
inline std::string formatLogLine(uint32_t source, std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  char prefix[10];
  std::snprintf(prefix, sizeof prefix, "%08x ", static_cast<unsigned>(source));
  std::string line(prefix);
  line.reserve(line.size() + text.size());
  for (const char c : text) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
  return line;
}

}  // namespace kv::samples
