// Injected failures (platform/fault_injection.h) over whole `qendix auto` runs, each checked after
// the failure and after a clean run that follows (fault_scenario.h):
// - the walk: for each kind of call, the k-th call fails, for k from 1 to the number of such calls
//   in a clean run; here in steps, so that a test run stays short, every k with
//   QENDIX_FAULT_WALK=full (tools/fault_walk.py);
// - the failures the walk found, each aimed at its call;
// - a full disk during each step, and work folders the user may not write.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "common/as_nobody.h"
#include "faults/fault_scenario.h"

namespace qx::testing {
namespace {

// Failures tried per kind in a short walk.
constexpr unsigned long kShortWalk = 4;

bool FullWalk() {
  const char* walk = std::getenv("QENDIX_FAULT_WALK");
  return walk && std::strcmp(walk, "full") == 0;
}

// The step of a failed call, from its tags ("open 3 EIO job/checker/file ..." gives "checker";
// "host" for the host's thread, "client" for the security client).
std::string StepOf(const std::string& hit) {
  std::istringstream in(hit);
  std::string kind, k, error, tags;
  in >> kind >> k >> error >> tags;
  if (tags == "-") return "host";
  if (tags == "asas") return "client";
  const size_t slash = tags.find('/');
  if (slash == std::string::npos) return tags;
  return tags.substr(slash + 1, tags.find('/', slash + 1) - slash - 1);
}

std::string Describe(const std::string& plan, const Trial& trial) {
  std::string text = plan + " (" + trial.hit + ")\n";
  for (const std::string& line : trial.found) text += "  " + line + "\n";
  return text + trial.events;
}

class FaultWalkTest : public ::testing::TestWithParam<const char*> {};

TEST_P(FaultWalkTest, EveryFailureLeavesEachInvoiceInOnePlaceAndIsReported) {
  const std::string kind = GetParam();
  FaultScenario scenario;
  ASSERT_TRUE(scenario.Ready());
  const unsigned long calls = scenario.CountCalls()[kind];
  ASSERT_GT(calls, 0u) << kind;
  const unsigned long stride = FullWalk() ? 1 : (calls + kShortWalk - 1) / kShortWalk;
  int tried = 0, fired = 0, findings = 0;
  std::map<std::string, int> steps;
  for (unsigned long k = 1; k <= calls; k += stride) {
    const std::string plan = kind + ":" + std::to_string(k);
    const Trial trial = scenario.Run({}, "auto", plan);
    ++tried;
    if (trial.fired) ++fired, ++steps[StepOf(trial.hit)];
    findings += !trial.found.empty();
    EXPECT_TRUE(trial.found.empty()) << Describe(plan, trial);
  }
  std::string perStep;
  for (const auto& [step, n] : steps) perStep += " " + step + "=" + std::to_string(n);
  std::printf("walk %s calls=%lu tried=%d fired=%d findings=%d steps:%s\n", kind.c_str(), calls,
              tried, fired, findings, perStep.c_str());
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultWalkTest,
                         ::testing::Values("open", "read", "write", "fsync", "rename", "unlink",
                                           "mkdir", "alloc", "http", "asas-open", "asas-read",
                                           "asas-write", "asas-fsync", "asas-rename"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

// The failures the walk found, each aimed at the call that showed it; each failed a rule before
// it was mended.
TEST(FaultFindingsTest, EachFailureLeavesEachInvoiceInOnePlaceAndIsReported) {
  struct Case {
    const char* plan;
    const char* what;
  } cases[] = {
      {"fsync@anonymizer/file:2",
       "the flush of the folder of a new transfer document: the invoice was deleted regardless"},
      {"fsync:1", "the first-run settings: withArchive was off when they could not be written"},
      {"read@sender/file:1",
       "reading a transfer document again: it went to the error folder as of unknown format"},
      {"read@checker/file:1", "reading an invoice: it went to the error folder as unknown"},
      {"rename@checker/file:2", "moving a slip after its invoice: the invoice went out without it"},
      {"rename@sender/file:1",
       "archiving a delivered document: left in output, it became a duplicate in the error folder"},
      {"unlink@anonymizer/file:1",
       "removing an anonymized invoice: it went out once more as a duplicate later"},
      {"unlink@anonymizer/file:2", "removing a slip carried by its document: not told"},
      {"read@anonymizer/list:2",
       "reading the kind of a file in valid: a slip was missed and its invoice went without it"},
      {"open@checker/list:1", "listing a folder: taken for an empty folder"},
      {"unlink@anonymizer/finish:1", "removing the message folder: left behind, not told"},
      {"write@sender/file:1", "recording a delivery: the next documents went out unrecorded"},
  };
  FaultScenario scenario;
  ASSERT_TRUE(scenario.Ready());
  for (const Case& c : cases) {
    const Trial trial = scenario.Run({}, "auto", c.plan);
    EXPECT_TRUE(trial.fired) << c.plan << ": " << c.what;
    EXPECT_TRUE(trial.found.empty()) << c.what << "\n" << Describe(c.plan, trial);
  }
}

// A full disk (every write fails with ENOSPC) during each step of an `auto` run, and from the
// start of the run on.
TEST(FaultDiskFullTest, AFullDiskDuringEachStepLosesNothing) {
  FaultScenario scenario;
  ASSERT_TRUE(scenario.Ready());
  for (const char* plan :
       {"write@reader:1+:ENOSPC", "write@checker:1+:ENOSPC", "write@anonymizer:1+:ENOSPC",
        "write@sender:1+:ENOSPC", "write:1+:ENOSPC"}) {
    const Trial trial = scenario.Run({}, "auto", plan);
    EXPECT_TRUE(trial.found.empty()) << Describe(plan, trial);
  }
}

// Work folders the user may not write, in a run as an ordinary user (root writes anywhere):
// everything waits where it is, reported, and goes once the folder is writable again.
TEST(FaultReadOnlyTest, AFolderTheUserMayNotWriteLosesNothing) {
  if (!CanBecomeNobody()) GTEST_SKIP() << "needs root to run as another user";
  FaultScenario scenario(NobodyUid(), NobodyGid());
  ASSERT_TRUE(scenario.Ready());
  for (const char* folder :
       {"work", "work/input", "work/valid", "work/output", "work/archive", "module"}) {
    const std::string relative = folder;
    auto chmodFolder = [relative](mode_t mode) {
      return [relative, mode](const std::string& practice) {
        const std::string path = practice + "/" + relative;
        ::mkdir(path.c_str(), 0700);
        ::chown(path.c_str(), NobodyUid(), NobodyGid());
        ::chmod(path.c_str(), mode);
      };
    };
    const Trial trial = scenario.Run({}, "auto", "", chmodFolder(0500), chmodFolder(0700));
    EXPECT_FALSE(trial.events.empty()) << folder << ": nothing was reported";
    EXPECT_TRUE(trial.found.empty()) << folder << "\n" << Describe(folder, trial);
  }
}

}  // namespace
}  // namespace qx::testing
