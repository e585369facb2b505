// Plugins that fail to load, lie, leak, over-release, flood, dawdle and get cancelled, all in one
// real korvacore beside two well-behaved witnesses: the core keeps routing between the witnesses
// and the supervisor, reports each misbehaviour where it reports such things, and stops cleanly.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "events/EventParms.h"
#include "plugins/IpcPacket.h"
#include "tests/hostile/StagedCore.h"
#include "tests/support/IpcPackets.h"
#include "tests/support/OddRecords.h"

namespace kv::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kWitnessA = 0x61;
constexpr uint32_t kWitnessB = 0x62;
constexpr uint32_t kDouble = 0x65;

std::string address(uint32_t id) {
  return "address=" + std::to_string(id << 16) + "\n";
}

// A plugin of the matrix: its file, the library it is a copy of ("" for a text file), its
// configuration, and what the core must say about it.
struct HostileCase {
  const char* file;
  const char* library;
  std::string conf;
  std::vector<std::string> outputLines;  // substrings of the core's output
  std::vector<std::string> journal;      // its own journal lines, in this order, and no others
};

class HostilePluginsTest : public StagedCoreTest {
 protected:
  std::vector<std::string> journalOf(const std::string& file) {
    std::vector<std::string> lines;
    for (const auto& line : journal()) {
      if (line.rfind(file + " ", 0) == 0) lines.push_back(line.substr(file.size() + 1));
    }
    return lines;
  }
};

TEST_F(HostilePluginsTest, TheCoreOutlivesEveryMisbehaviourAndReportsIt) {
  const std::vector<HostileCase> cases = {
      {"junk.so", "", "", {"Failed to load plugin junk.so: ", "invalid ELF header"}, {}},
      {"unresolved.so",
       "hostile_unresolved",
       "",
       {"Failed to load plugin unresolved.so: ", "undefined symbol: kvHostileMissingSymbol"},
       {}},
      {"nounload.so",
       "hostile_no_unload",
       "",
       {"Failed to load plugin nounload.so: missing Load()/Unload()"},
       {}},
      {"load7.so",
       "hostile",
       "load=7\n" + address(0x57),
       {"Failed to load plugin load7.so: load code 7"},
       {"Load"}},
      // Loaded after witness_a.so, whose ID it claims: refused, its Unload right after its Load.
      {"zz_twin.so",
       "hostile",
       "mode=witness\n" + address(kWitnessA),
       {"pluginId 61 already loaded from witness_a.so trying to load zz_twin.so"},
       {"Load", "Unload"}},
      {"noclose.so",
       "hostile_no_close",
       address(0x63),
       {"Opening 63:noclose", "Closing 63:noclose", "Unloading 63:noclose"},
       {"Load", "Unload"}},
      {"keeper.so",
       "hostile",
       "mode=keeper\n" + address(0x64),
       {"Plugin 64:keeper unloaded holding "},
       {"Load", "Open", "Close", "kept 1", "Unload"}},
      {"double.so",
       "hostile",
       "mode=double\n" + address(kDouble),
       {},
       // The second give-back of one payload and one of a payload never held are refused.
       {"Load", "Open", "release 0 1 1", "Close", "Unload"}},
      {"posters.so",
       "hostile",
       "mode=posters\n" + address(0x52),
       {},
       {"Load", "Open", "Close", "posters accepted=1 refused=1 refusedAfterClose=4", "Unload"}},
      {"slow.so",
       "hostile",
       "mode=slow\nsleepMs=12\n" + address(0x53),
       {"slow took ", "ms for alarm event from witness_a [6]"},
       {"Load", "Open", "Close", "Unload"}},
      // The core waits for a worker that returns late, and unloads the plugin only then.
      {"slowworker.so",
       "hostile",
       "mode=slowworker\n" + address(0x54),
       {},
       {"Load", "Open", "Close", "worker returns", "Unload"}},
      {"cancelled.so",
       "hostile",
       "mode=cancelled\n" + address(0x55),
       {"cancel me"},
       {"Load", "Open", "cancelled 5 of 5", "Close", "Unload"}},
  };
  for (const auto& hostile : cases) {
    if (*hostile.library == '\0') {
      std::ofstream(dir_ / "plugins" / hostile.file)
          << "not a shared object, just text long enough to be read as an ELF header\n";
    } else {
      addPlugin(hostile.library, hostile.file, hostile.conf);
    }
  }
  addPlugin("hostile", "odd.so", "mode=odd\n" + address(0x51));
  addWitness("witness_a.so", kWitnessA);
  addWitness("witness_b.so", kWitnessB);
  setCoreLogLevel(0);  // the slow delivery and the leak report are level-0 lines
  start();
  ASSERT_TRUE(waitForJournal("witness_b.so Open")) << core_->outputSoFar();

  // Records flow between the witnesses past every hostile plugin, before and after the
  // over-release.
  ASSERT_TRUE(firstContact(kWitnessA, {kWitnessA, kWitnessB}));
  ASSERT_TRUE(sendRecord(ipcPacket(0x100, core::ipcRoute(kDouble), "release")));
  ASSERT_TRUE(waitForJournal("double.so release 0 1 1")) << core_->outputSoFar();
  ASSERT_TRUE(pingRoundTrip(kWitnessB, "ping-2", {kWitnessA, kWitnessB}));
  ASSERT_TRUE(sendRecord(ipcPacket(core::kIpcTypeClose, 0, "")));
  const auto result = waitForExit();
  ASSERT_EQ(result.exitCode, 0) << result.err << result.out.substr(0, 4000);

  for (const auto& hostile : cases) {
    SCOPED_TRACE(hostile.file);
    for (const auto& text : hostile.outputLines) {
      EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(journalOf(hostile.file), hostile.journal);
  }
  // The refused twin's Unload came right after its Load, while loading went on.
  const auto lines = journal();
  EXPECT_EQ(indexOf(lines, "zz_twin.so Unload"), indexOf(lines, "zz_twin.so Load") + 1);
  // Only the keeper left references behind, at least one per alarm and document it was given.
  std::smatch held;
  ASSERT_TRUE(std::regex_search(result.out, held,
                                std::regex("Plugin 64:keeper unloaded holding (\\d+) event")));
  EXPECT_GE(std::stoi(held[1]), 3);
  EXPECT_EQ(outputCount("unloaded holding"), 1u);

  // Every odd record got the answer it must get, and only the well-formed kinds reached the
  // witnesses, the record as posted.
  std::vector<std::string> answers;
  for (const auto& row : kOddRecords) {
    answers.push_back(std::string("answer ") + row.name + " = " + std::to_string(row.expected));
  }
  auto oddJournal = journalOf("odd.so");
  ASSERT_GE(oddJournal.size(), 2u + answers.size());
  EXPECT_EQ(std::vector<std::string>(oddJournal.begin() + 2,
                                     oddJournal.begin() + 2 + static_cast<long>(answers.size())),
            answers);
  EXPECT_NE(indexOf(oddJournal, "watchdog came back"), oddJournal.size());
  const std::string size = std::to_string(sizeof(core::EventParms));
  const std::vector<std::string> seen = {
      "saw type=4 size=0 parms=152 length=6",
      "saw type=4 size=4294967295 parms=152 length=6",
      "saw type=4 size=" + size + " parms=0 length=6",
      "saw type=4 size=" + size + " parms=152 length=0",
  };
  size_t delivered = 0;
  for (const auto& row : kOddRecords) delivered += row.delivered;
  EXPECT_EQ(seen.size(), delivered);
  for (const char* witness : {"witness_a.so", "witness_b.so"}) {
    SCOPED_TRACE(witness);
    std::vector<std::string> saw;
    for (const auto& line : journalOf(witness)) {
      if (line.rfind("saw ", 0) == 0) saw.push_back(line);
    }
    EXPECT_EQ(saw, seen);
    // The posters' noise reached the witnesses through start-up.
    const auto lines = journalOf(witness);
    EXPECT_NE(indexOf(lines, "serial 1"), lines.size());
  }

  // The plugins that failed to load are listed, in load order, in the status document.
  const std::string coreXml = readFile("core.xml");
  const std::pair<const char*, int> failed[] = {
      {"junk", 79}, {"load7", 7}, {"nounload", -101}, {"unresolved", 79}};
  for (size_t n = 0; n < std::size(failed); ++n) {
    const auto& [name, code] = failed[n];
    SCOPED_TRACE(name);
    const std::string id = std::to_string(n + 1);
    EXPECT_NE(coreXml.find("<Plugin ID=\"" + id + "\" Filename=\"" + name +
                           ".so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"" +
                           std::to_string(code) + "\" LogLevel=\"-1\""),
              std::string::npos)
        << coreXml;
    EXPECT_NE(coreXml.find("<Module ID=\"" + id + "\" Name=\"" + name + "\" Version=\""),
              std::string::npos);
  }
  EXPECT_NE(coreXml.find("Version=\"load code 7\""), std::string::npos);
  EXPECT_NE(coreXml.find("Version=\"missing Load()/Unload()\""), std::string::npos);
  // The plugin without Close is loaded but was never opened.
  EXPECT_NE(coreXml.find("Filename=\"noclose.so\" Opened=\"1\" LoadTimeMs="), std::string::npos);
  EXPECT_TRUE(
      std::regex_search(coreXml, std::regex("Filename=\"noclose.so\"[^/]*OpenCode=\"-102\"")));
}

}  // namespace
}  // namespace kv::test
