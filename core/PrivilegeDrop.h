// Taking the supervisor's user and narrowing the process capabilities.
//
// In Init the core becomes the user of its parent process (the supervisor) with that user's
// groups and, unless the user is root, keeps CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO; once
// every plugin is open it gives up CAP_SYS_RAWIO, on every thread of the process. First thread
// only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv::core {

// The system calls of the privilege drop, behind a seam that tests replace. Each returns what the
// system call returns (0 or -1 with errno set), unless said otherwise.
class PrivilegeSystem {
 public:
  struct User {
    uint32_t uid;
    uint32_t gid;
    std::string name;
  };

  virtual ~PrivilegeSystem() = default;
  // The text of the parent process's status file; none when it can't be read.
  virtual std::optional<std::string> parentStatus();
  virtual uint32_t getuid();
  virtual int setSecureBits(unsigned long bits);
  virtual std::optional<User> getpwuid(uint32_t uid);  // none with errno set on failure
  virtual int setuid(uint32_t uid);
  virtual int setgid(uint32_t gid);
  // The groups of `user`; none when they can't be read or are more than 256.
  virtual std::optional<std::vector<uint32_t>> getgrouplist(const User& user);
  virtual int setgroups(const std::vector<uint32_t>& groups);
  // capset with effective = permitted = `set`, nothing inheritable, for the calling thread.
  virtual int capset(uint32_t set);
  // The same for every thread of the process, plugin threads included (ThreadCapabilities.h).
  virtual int capsetEveryThread(uint32_t set);
};

// Capability sets: at start, and once the plugins are open.
inline constexpr uint32_t kStartCapabilities = 0x23000;   // NET_ADMIN, NET_RAW, SYS_RAWIO
inline constexpr uint32_t kRunningCapabilities = 0x3000;  // NET_ADMIN, NET_RAW

// The real user ID of the parent process: the first number of its "Uid:" line, 0 when the
// status can't be read or has no such line.
uint32_t parentUid(PrivilegeSystem& system);

// Adopts the parent's user and groups and sets the start capabilities. False when the user
// switch fails (logged at level 100); a failing capset is logged at level 50 and ignored.
bool dropPrivileges(PrivilegeSystem& system);

// Gives up CAP_SYS_RAWIO on every thread unless running as root; a failure is logged at level 50.
void dropRawIo(PrivilegeSystem& system);

}  // namespace kv::core
