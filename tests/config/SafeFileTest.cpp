// Files written through a pending copy and read back whatever state a crash left them in.
#include "config/SafeFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <vector>

// Directories synced so far, with what the file in them held at that moment. Replaces the C
// library's fsync for this program, so that the test sees the call that makes a rename durable.
std::vector<std::string> gSyncedDirectories;
std::string gWatchedFile;  // the file whose content is taken at each directory sync
std::string gWatchedContent;

extern "C" int fsync(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    gSyncedDirectories.push_back(
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)));
    std::ifstream file(gWatchedFile, std::ios::binary);
    gWatchedContent.assign(std::istreambuf_iterator<char>(file), {});
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace kv::core {
namespace {

namespace fs = std::filesystem;

constexpr char kValid[] = "<?xml?><kDVR><Memory Throttling=\"1\"/></kDVR>";
constexpr char kOther[] = "<?xml version=\"1.0\"?>\n<kDVR/>\n";

class SafeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kv_files_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "core.xml").string();
    pending_ = path_ + ".pending";
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::all);
    fs::remove_all(dir_);
  }

  static void put(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string get(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  // The message of the runtime error `action` throws, or "no error".
  template <typename Action>
  static std::string errorOf(Action action) {
    try {
      action();
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "no error";
  }

  fs::path dir_;
  std::string path_;
  std::string pending_;
};

TEST_F(SafeFileTest, APendingCopyThatIsCompleteTakesTheFilesPlace) {
  put(pending_, kValid);  // only the pending copy
  EXPECT_EQ(readXmlFile(path_), kValid);
  EXPECT_EQ(get(path_), kValid);
  EXPECT_FALSE(fs::exists(pending_));

  put(path_, kOther);  // both, the pending copy valid
  put(pending_, kValid);
  EXPECT_EQ(readXmlFile(path_), kValid);
  EXPECT_EQ(get(path_), kValid);
  EXPECT_FALSE(fs::exists(pending_));
}

TEST_F(SafeFileTest, ABrokenPendingCopyIsDiscarded) {
  put(path_, kOther);
  put(pending_, std::string_view(kValid).substr(0, 20));  // cut off mid-write
  EXPECT_EQ(readXmlFile(path_), kOther);
  EXPECT_EQ(get(path_), kOther);
  EXPECT_FALSE(fs::exists(pending_));
}

TEST_F(SafeFileTest, ReadingFailsWithTheSystemsWords) {
  EXPECT_EQ(errorOf([&] { readXmlFile(path_); }),
            "Failed to open " + path_ + " - No such file or directory");
  for (const char* text : {"<?xm", " <?xml?><kDVR/>", ""}) {
    put(path_, text);
    EXPECT_EQ(errorOf([&] { readXmlFile(path_); }), "Failed - not xml content") << text;
  }
  put(path_, "<?xml?>kDVR");
  EXPECT_EQ(errorOf([&] { readXmlFile(path_); }), "expected <");
  EXPECT_EQ(readFile(path_), "<?xml?>kDVR");  // plain reading doesn't look inside
  fs::create_directories(dir_ / "sub");
  EXPECT_NE(errorOf([&] { readFile((dir_ / "sub").string()); }), "no error");
}

TEST_F(SafeFileTest, WritingGoesThroughThePendingFile) {
  writeXmlFile(path_, kValid, sizeof kValid - 1);
  EXPECT_EQ(get(path_), kValid);
  EXPECT_FALSE(fs::exists(pending_));

  // Nothing that isn't XML reaches the disk.
  fs::remove(path_);
  EXPECT_EQ(errorOf([&] { writeXmlFile(path_, "", 0); }), "Failed - not xml content");
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_FALSE(fs::exists(pending_));
}

TEST_F(SafeFileTest, TheRenameIsMadeDurable) {
  gSyncedDirectories.clear();
  gWatchedFile = path_;
  writeXmlFile(path_, kValid, sizeof kValid - 1);
  ASSERT_EQ(gSyncedDirectories, std::vector<std::string>{dir_.string()});
  EXPECT_EQ(gWatchedContent, kValid);  // synced after the rename, not before
}

TEST_F(SafeFileTest, NewFilesAreNoMoreThanGroupReadable) {
  for (const auto& [mask, mode] :
       {std::pair{mode_t{022}, fs::perms{0640}}, std::pair{mode_t{077}, fs::perms{0600}}}) {
    const mode_t previous = umask(mask);
    writeXmlFile(path_, kValid, sizeof kValid - 1);
    umask(previous);
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all, mode);
    fs::remove(path_);
  }
}

// A link planted at either name is replaced, never written through, and a linked pending copy is
// never promoted.
TEST_F(SafeFileTest, LinksAreNeverFollowed) {
  const std::string victim = (dir_ / "victim").string();
  put(victim, kOther);
  fs::create_symlink(victim, pending_);
  writeXmlFile(path_, kValid, sizeof kValid - 1);
  EXPECT_EQ(get(victim), kOther);
  EXPECT_FALSE(fs::is_symlink(path_));
  EXPECT_EQ(get(path_), kValid);
  EXPECT_FALSE(fs::exists(fs::symlink_status(pending_)));

  fs::remove(path_);
  fs::create_symlink(victim, path_);
  writeXmlFile(path_, kValid, sizeof kValid - 1);
  EXPECT_EQ(get(victim), kOther);
  EXPECT_FALSE(fs::is_symlink(path_));
  EXPECT_EQ(get(path_), kValid);

  fs::create_symlink(victim, pending_);  // a valid document behind the link
  EXPECT_EQ(readXmlFile(path_), kValid);
  EXPECT_FALSE(fs::is_symlink(path_));
  EXPECT_FALSE(fs::exists(fs::symlink_status(pending_)));
  EXPECT_EQ(get(victim), kOther);
}

// A FIFO at either name holds no document, and opening it must not wait for a writer that never
// comes: the core reads core.xml before anything could stop it but SIGKILL.
TEST_F(SafeFileTest, AFifoAtEitherNameDoesNotBlockTheRead) {
  const auto readWithin = [&](const std::string& fifo) {
    auto reading =
        std::async(std::launch::async, [&] { return errorOf([&] { readXmlFile(path_); }); });
    const bool done = reading.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!done) {
      // Let the blocked open through, so that the test can end.
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (writer >= 0) ::close(writer);
    }
    const std::string error = reading.get();
    return done ? error : "blocked";
  };

  put(path_, kOther);
  ASSERT_EQ(mkfifo(pending_.c_str(), 0600), 0);
  EXPECT_EQ(readWithin(pending_), "no error");
  EXPECT_EQ(get(path_), kOther);

  fs::remove(path_);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  EXPECT_EQ(readWithin(path_), "Failed - not xml content");
}

TEST_F(SafeFileTest, AFailedRenameIsReportedAndThePendingCopyKept) {
  fs::create_directories(path_);  // a directory where the file should go
  std::ofstream(path_ + "/occupied") << "x";
  EXPECT_EQ(errorOf([&] { writeXmlFile(path_, kValid, sizeof kValid - 1); }),
            "Failed to rename " + pending_ + " - Is a directory");
  EXPECT_EQ(get(pending_), kValid);
}

TEST_F(SafeFileTest, ADirectoryWithoutWritePermissionRefusesThePendingFile) {
  fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
  // Root may write anywhere: the attempt is made as an unprivileged user.
  const bool asRoot = geteuid() == 0;
  const pid_t child = fork();
  if (child == 0) {
    if (asRoot && setuid(65534) != 0) _exit(3);
    const std::string expected = "Failed to open " + pending_ + " - Permission denied";
    _exit(errorOf([&] { writeXmlFile(path_, kValid, sizeof kValid - 1); }) == expected ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kv::core
