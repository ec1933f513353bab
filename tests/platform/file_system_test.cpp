#include "platform/file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "platform/last_error.h"

namespace qx {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(MoveFileNoReplace, NeverOverwritesAnExistingTarget) {
  TempDir t;
  WriteFile(t / "a", "new");
  WriteFile(t / "b", "old");
  EXPECT_FALSE(MoveFileNoReplace(t / "a", t / "b"));
  EXPECT_EQ(GetLastSystemError(), EEXIST);
  EXPECT_EQ(ReadFile(t / "b"), "old");
  EXPECT_EQ(ReadFile(t / "a"), "new");
  EXPECT_TRUE(MoveFileNoReplace(t / "a", t / "c"));
  EXPECT_FALSE(FileExists(t / "a"));
  EXPECT_EQ(ReadFile(t / "c"), "new");
}

TEST(MoveFileNoReplace, RacingMoversNeverLoseAFile) {
  TempDir t;
  for (int i = 0; i < 50; ++i) WriteFile(t / ("f" + std::to_string(i)), std::to_string(i));
  // Every thread tries to publish its files under the same target name; exactly one wins each
  // round and the others keep their source.
  std::vector<std::thread> threads;
  std::atomic<int> wins{0};
  for (int k = 0; k < 5; ++k) {
    threads.emplace_back([&, k] {
      for (int i = k; i < 50; i += 5)
        if (MoveFileNoReplace(t / ("f" + std::to_string(i)), t / "target")) ++wins;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wins.load(), 1);
  std::vector<std::string> names;
  ASSERT_TRUE(ListRegularFiles(t.path(), &names));
  EXPECT_EQ(names.size(), 50u);
}

TEST(MoveFileNoReplace, CopiesAcrossFileSystems) {
  // /dev/shm is a separate file system on most machines; skip where it is not.
  struct stat a, b;
  TempDir t;
  if (stat("/dev/shm", &b) != 0 || stat(t.path().c_str(), &a) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "no second file system";
  std::string target = "/dev/shm/qendix-move-" + std::to_string(getpid());
  WriteFile(t / "a", "payload");
  ASSERT_TRUE(MoveFileNoReplace(t / "a", target));
  EXPECT_FALSE(FileExists(t / "a"));
  EXPECT_EQ(ReadFile(target), "payload");
  WriteFile(t / "b", "other");
  EXPECT_FALSE(MoveFileNoReplace(t / "b", target));  // taken: nothing replaced, source kept
  EXPECT_EQ(ReadFile(target), "payload");
  EXPECT_TRUE(FileExists(t / "b"));
  unlink(target.c_str());
}

TEST(WriteFileAtomically, ReplacesWholeAndLeavesNoTemporary) {
  TempDir t;
  ASSERT_TRUE(WriteFileAtomically(t / "s.ini", "one"));
  ASSERT_TRUE(WriteFileAtomically(t / "s.ini", "two"));
  EXPECT_EQ(ReadFile(t / "s.ini"), "two");
  std::vector<std::string> names;
  ListRegularFiles(t.path(), &names);
  EXPECT_EQ(names, std::vector<std::string>{"s.ini"});
  EXPECT_FALSE(WriteFileAtomically(t / "missing/s.ini", "x"));
}

TEST(ListRegularFiles, LeavesOutHiddenFilesFoldersAndLinks) {
  TempDir t;
  WriteFile(t / "a.xml", "x");
  WriteFile(t / ".hidden.xml", "x");
  mkdir((t / "dir").c_str(), 0755);
  symlink((t / "a.xml").c_str(), (t / "link.xml").c_str());
  std::vector<std::string> names;
  ASSERT_TRUE(ListRegularFiles(t.path(), &names));
  EXPECT_EQ(names, std::vector<std::string>{"a.xml"});
  EXPECT_FALSE(ListRegularFiles(t / "nope", &names));
}

TEST(IsOpenForWriting, SeesAWriterButNotAReader) {
  TempDir t;
  WriteFile(t / "a.xml", "<?xml");
  EXPECT_FALSE(IsOpenForWriting(t / "a.xml"));
  int reader = open((t / "a.xml").c_str(), O_RDONLY);
  EXPECT_FALSE(IsOpenForWriting(t / "a.xml"));
  close(reader);
  int writer = open((t / "a.xml").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  // Leases need the file owner or CAP_LEASE; both hold for a test's own file.
  EXPECT_TRUE(IsOpenForWriting(t / "a.xml"));
  close(writer);
  EXPECT_FALSE(IsOpenForWriting(t / "a.xml"));
}

}  // namespace
}  // namespace qx
