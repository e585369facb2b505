// Taking the supervisor's user, through a system that records the calls instead of making them.
#include "core/PrivilegeDrop.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/support/CoreFixture.h"

namespace kv::core {
namespace {

class FakeSystem : public PrivilegeSystem {
 public:
  std::optional<std::string> status = "Name:\tkorvad\nUid:\t1000\t1000\t1000\t1000\n";
  uint32_t uid = 0;
  bool failGetpwuid = false, failSetuid = false, failGroups = false, failSetgroups = false;
  bool failCapset = false;
  std::vector<std::string> calls;

  std::optional<std::string> parentStatus() override { return status; }
  uint32_t getuid() override { return uid; }
  int setSecureBits(unsigned long bits) override {
    calls.push_back("securebits " + std::to_string(bits));
    return 0;
  }
  std::optional<User> getpwuid(uint32_t id) override {
    calls.push_back("getpwuid " + std::to_string(id));
    if (failGetpwuid) return fail<std::optional<User>>(ENOENT, std::nullopt);
    return User{id, id == 0 ? 0u : 100u, id == 0 ? "root" : "camera"};
  }
  int setuid(uint32_t id) override {
    calls.push_back("setuid " + std::to_string(id));
    if (failSetuid) return fail(EPERM, -1);
    uid = id;
    return 0;
  }
  int setgid(uint32_t gid) override {
    calls.push_back("setgid " + std::to_string(gid));
    return 0;
  }
  std::optional<std::vector<uint32_t>> getgrouplist(const User& user) override {
    calls.push_back("getgrouplist " + user.name);
    if (failGroups) return std::nullopt;
    return std::vector<uint32_t>{100, 27};
  }
  int setgroups(const std::vector<uint32_t>& groups) override {
    calls.push_back("setgroups " + std::to_string(groups.size()));
    return failSetgroups ? fail(EPERM, -1) : 0;
  }
  int capset(uint32_t set) override {
    calls.push_back("capset " + std::to_string(set));
    return failCapset ? fail(EPERM, -1) : 0;
  }
  int capsetEveryThread(uint32_t set) override { return capset(set); }

 private:
  template <typename T = int>
  static T fail(int error, T result) {
    errno = error;
    return result;
  }
};

class PrivilegeDropTest : public test::CoreTest {
 protected:
  std::vector<std::string> lines() {
    std::vector<std::string> texts;
    for (const auto& line : logLines()) texts.push_back(line.substr(line.find("core\033[0m ") + 9));
    return texts;
  }
};

using Calls = std::vector<std::string>;

TEST_F(PrivilegeDropTest, ARootParentLeavesARootCoreAsItIs) {
  FakeSystem system;
  system.status = "Uid:\t0\t0\t0\t0\n";
  EXPECT_TRUE(dropPrivileges(system));
  dropRawIo(system);
  EXPECT_EQ(system.calls, Calls{"securebits 4"});
}

TEST_F(PrivilegeDropTest, ARootCoreBecomesTheParentsUser) {
  FakeSystem system;
  EXPECT_TRUE(dropPrivileges(system));
  EXPECT_EQ(system.calls, (Calls{"securebits 4", "getpwuid 1000", "setuid 1000", "setgid 100",
                                 "getgrouplist camera", "setgroups 2", "capset 143360"}));
  system.calls.clear();
  dropRawIo(system);
  EXPECT_EQ(system.calls, Calls{"capset 12288"});
  EXPECT_TRUE(lines().empty());
}

TEST_F(PrivilegeDropTest, TheSameUserOnlyTriesTheCapabilities) {
  FakeSystem system;
  system.uid = 1000;
  system.failCapset = true;
  EXPECT_TRUE(dropPrivileges(system));
  dropRawIo(system);
  EXPECT_EQ(system.calls, (Calls{"securebits 4", "capset 143360", "capset 12288"}));
  EXPECT_EQ(lines(), (std::vector<std::string>{"capset failed: Operation not permitted",
                                               "capset failed: Operation not permitted"}));
}

TEST_F(PrivilegeDropTest, FailuresOfTheUserSwitchFailInit) {
  struct Case {
    const char* what;
    void (*arrange)(FakeSystem&);
    const char* message;
  };
  const Case cases[] = {
      // An unreadable parent status means root, which a user core can't become.
      {"unreadable status",
       [](FakeSystem& s) { s.status.reset(), s.uid = 1000, s.failSetuid = true; },
       "setuid/gid failed: Operation not permitted"},
      {"status without Uid",
       [](FakeSystem& s) { s.status = "Name: x\n", s.uid = 5, s.failSetuid = true; },
       "setuid/gid failed: Operation not permitted"},
      {"getpwuid", [](FakeSystem& s) { s.failGetpwuid = true; },
       "getpwuid failed: No such file or directory"},
      {"getgrouplist", [](FakeSystem& s) { s.failGroups = true; }, "getgrouplist failed"},
      {"setgroups", [](FakeSystem& s) { s.failSetgroups = true; },
       "setgroups failed: Operation not permitted"},
  };
  for (const auto& c : cases) {
    FakeSystem system;
    c.arrange(system);
    const size_t before = logLines().size();
    EXPECT_FALSE(dropPrivileges(system)) << c.what;
    ASSERT_EQ(lines().size(), before + 1) << c.what;
    EXPECT_EQ(lines().back(), c.message) << c.what;
    EXPECT_NE(syslogCalls().back().find(c.message), std::string::npos) << c.what;  // level 100
  }
}

}  // namespace
}  // namespace kv::core
