// Message folders that a killed process left behind hold patient data in clear: they are removed
// at the next job start, and nothing else is.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/as_nobody.h"
#include "common/component_fixture.h"
#include "crypto/message_file.h"

namespace qx::testing {
namespace {

// The number of a process that has ended.
std::string EndedProcess() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return std::to_string(child);
}

// A message folder with a clear-text message in it, as a killed envelope leaves it.
void LeftBehind(const std::string& folder) {
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_TRUE(WriteFile(folder + "/msg-Q1w2E3", "From: a\r\nTo: b\r\n\r\nPatient Muster"));
}

class StaleMessageFolders : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    setenv("TMPDIR", tmp_.path().c_str(), 1);
  }
  TempDir tmp_;
};

TEST_F(StaleMessageFolders, OnlyFoldersOfEndedProcessesOfThisUserGo) {
  const std::string ended = "qendix-msg-" + EndedProcess() + "-";
  std::unique_ptr<MessageFolder> running;  // the folder of this process, in the middle of its work
  ASSERT_EQ(MessageFolder::Create(&running), S_OK);
  LeftBehind(tmp_ / (ended + "Ab12Cd"));
  LeftBehind(tmp_ / (ended + "short"));  // not the pattern
  LeftBehind(tmp_ / "qendix-Ab12Cd");
  LeftBehind(tmp_ / "target");
  ASSERT_EQ(symlink((tmp_ / "target").c_str(), (tmp_ / (ended + "Link01")).c_str()), 0);
  const bool other_user = CanBecomeNobody();
  if (other_user) {
    LeftBehind(tmp_ / (ended + "Other1"));
    ASSERT_EQ(chown((tmp_ / (ended + "Other1")).c_str(), NobodyUid(), NobodyGid()), 0);
  }

  EXPECT_EQ(RemoveStaleMessageFolders(), 1);
  EXPECT_FALSE(FileExists(tmp_ / (ended + "Ab12Cd")));
  for (const std::string& kept :
       {ended + "short/msg-Q1w2E3", std::string("qendix-Ab12Cd/msg-Q1w2E3"),
        std::string("target/msg-Q1w2E3"), ended + "Link01"})
    EXPECT_TRUE(FileExists(tmp_ / kept)) << kept;
  if (other_user) {
    EXPECT_TRUE(FileExists(tmp_ / (ended + "Other1/msg-Q1w2E3")));
  }
  EXPECT_TRUE(FileExists(running->Path()));
}

TEST_F(StaleMessageFolders, AreRemovedWhenAJobStarts) {
  const std::string folder = tmp_ / ("qendix-msg-" + EndedProcess() + "-Xy9Zz8");
  LeftBehind(folder);
  Create();
  RunRead();
  EXPECT_FALSE(FileExists(folder));
}

}  // namespace
}  // namespace qx::testing
