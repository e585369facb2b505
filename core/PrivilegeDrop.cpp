#include "core/PrivilegeDrop.h"

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/ThreadCapabilities.h"
#include "log/CoreLog.h"

namespace kv::core {
namespace {

constexpr unsigned long kNoSetuidFixup = 4;  // SECBIT_NO_SETUID_FIXUP
constexpr int kMaxGroups = 256;

std::string errnoText() {
  return std::strerror(errno);
}

}  // namespace

std::optional<std::string> PrivilegeSystem::parentStatus() {
  std::ifstream file("/proc/" + std::to_string(getppid()) + "/status");
  if (!file) return std::nullopt;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

uint32_t PrivilegeSystem::getuid() {
  return ::getuid();
}

int PrivilegeSystem::setSecureBits(unsigned long bits) {
  return prctl(PR_SET_SECUREBITS, bits, 0, 0, 0);
}

std::optional<PrivilegeSystem::User> PrivilegeSystem::getpwuid(uint32_t uid) {
  errno = 0;
  const passwd* entry = ::getpwuid(uid);
  if (entry == nullptr) return std::nullopt;
  return User{entry->pw_uid, entry->pw_gid, entry->pw_name};
}

int PrivilegeSystem::setuid(uint32_t uid) {
  return ::setuid(uid);
}
int PrivilegeSystem::setgid(uint32_t gid) {
  return ::setgid(gid);
}

std::optional<std::vector<uint32_t>> PrivilegeSystem::getgrouplist(const User& user) {
  gid_t groups[kMaxGroups];
  int count = kMaxGroups;
  if (::getgrouplist(user.name.c_str(), user.gid, groups, &count) < 0) return std::nullopt;
  return std::vector<uint32_t>(groups, groups + count);
}

int PrivilegeSystem::setgroups(const std::vector<uint32_t>& groups) {
  const std::vector<gid_t> ids(groups.begin(), groups.end());
  return ::setgroups(ids.size(), ids.data());
}

int PrivilegeSystem::capset(uint32_t set) {
  return capsetThread(set);
}

int PrivilegeSystem::capsetEveryThread(uint32_t set) {
  return kv::core::capsetEveryThread(set);
}

uint32_t parentUid(PrivilegeSystem& system) {
  const auto status = system.parentStatus();
  if (!status) return 0;
  std::istringstream lines(*status);
  for (std::string line; std::getline(lines, line);) {
    unsigned uid = 0;
    if (std::sscanf(line.c_str(), "Uid: %u", &uid) == 1) return uid;
  }
  return 0;
}

bool dropPrivileges(PrivilegeSystem& system) {
  // Keeps the capability sets across the change of user ID below.
  system.setSecureBits(kNoSetuidFixup);
  const uint32_t target = parentUid(system);
  if (target != system.getuid()) {
    const auto user = system.getpwuid(target);
    if (!user) {
      coreLog100("getpwuid failed: {}", errnoText());
      return false;
    }
    if (system.setuid(user->uid) != 0 || system.setgid(user->gid) != 0) {
      coreLog100("setuid/gid failed: {}", errnoText());
      return false;
    }
    const auto groups = system.getgrouplist(*user);
    if (!groups) {
      coreLog100("getgrouplist failed");
      return false;
    }
    if (system.setgroups(*groups) != 0) {
      coreLog100("setgroups failed: {}", errnoText());
      return false;
    }
  }
  if (target != 0 && system.capset(kStartCapabilities) != 0) {
    coreLog50("capset failed: {}", errnoText());
  }
  return true;
}

void dropRawIo(PrivilegeSystem& system) {
  if (system.getuid() == 0) return;
  if (system.capsetEveryThread(kRunningCapabilities) != 0)
    coreLog50("capset failed: {}", errnoText());
}

}  // namespace kv::core
