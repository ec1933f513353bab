#include "platform/file_system.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "common/two_file_systems.h"
#include "platform/fault_injection.h"
#include "platform/hresult_errno.h"

namespace qx {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::TempDir;
using testing::TwoFileSystems;
using testing::WriteFile;

// Every entry of a folder, hidden ones too.
std::vector<std::string> AllNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Source and target folders in one file system and, where available, from /dev/shm (tmpfs,
// like an invoice folder there) to a disk folder.
struct FolderPair {
  std::string what, from, to;
};
std::vector<FolderPair> Pairs(const TempDir& t, const TwoFileSystems& fs) {
  mkdir((t / "src").c_str(), 0700);
  mkdir((t / "dst").c_str(), 0700);
  std::vector<FolderPair> pairs{{"one file system", t / "src", t / "dst"}};
  if (fs.ok()) pairs.push_back({"across file systems", fs.memory(), fs.disk()});
  return pairs;
}

TEST(MoveFileNoReplace, NeverOverwritesAndNeverFollowsALinkOrOpensAFifo) {
  TempDir t;
  TwoFileSystems fs;
  WriteFile(t / "outside.xml", "<?xml secret");
  for (const auto& [what, from, to] : Pairs(t, fs)) {
    SCOPED_TRACE(what);
    WriteFile(from + "/a", "new");
    WriteFile(to + "/a", "old");
    EXPECT_EQ(MoveFileNoReplace(from + "/a", to + "/a"), HresultFromErrno(EEXIST));
    EXPECT_EQ(ReadFile(from + "/a"), "new");
    ASSERT_EQ(symlink((t / "outside.xml").c_str(), (from + "/l.xml").c_str()), 0);
    ASSERT_EQ(mkfifo((from + "/f.xml").c_str(), 0644), 0);
    EXPECT_EQ(MoveFileNoReplace(from + "/l.xml", to + "/l.xml"), HresultFromErrno(ELOOP));
    EXPECT_EQ(MoveFileNoReplace(from + "/f.xml", to + "/f.xml"), HresultFromErrno(EINVAL));
    EXPECT_EQ(AllNames(to), std::vector<std::string>{"a"});  // old content, no temporary copy
    EXPECT_EQ(ReadFile(to + "/a"), "old");
    EXPECT_EQ(AllNames(from), (std::vector<std::string>{"a", "f.xml", "l.xml"}));
  }
  EXPECT_EQ(ReadFile(t / "outside.xml"), "<?xml secret");
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
        if (Succeeded(MoveFileNoReplace(t / ("f" + std::to_string(i)), t / "target"))) ++wins;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wins.load(), 1);
  std::vector<std::string> names;
  ASSERT_EQ(ListRegularFiles(t.path(), &names), S_OK);
  EXPECT_EQ(names.size(), 50u);
}

// Moves from /dev/shm (tmpfs, like an invoice folder there) to a work folder on disk.
class MoveAcross : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs_.ok()) GTEST_SKIP() << "needs /dev/shm and a disk folder on another file system";
  }
  std::string Source(const std::string& name) const { return fs_.memory() + "/" + name; }
  std::string Target(const std::string& name) const { return fs_.disk() + "/" + name; }
  TwoFileSystems fs_;
};

TEST_F(MoveAcross, CopyIsPrivateWhateverTheSourceMode) {
  for (unsigned mode : {04755u, 02775u, 01777u, 0666u, 0644u}) {
    SCOPED_TRACE(mode);
    WriteFile(Source("a.xml"), "<?xml payload");
    ASSERT_EQ(chmod(Source("a.xml").c_str(), mode), 0);
    ASSERT_EQ(MoveFileNoReplace(Source("a.xml"), Target("a.xml")), S_OK);
    EXPECT_FALSE(FileExists(Source("a.xml")));
    EXPECT_EQ(ReadFile(Target("a.xml")), "<?xml payload");
    EXPECT_EQ(ModeOf(Target("a.xml")), 0600u);
    EXPECT_EQ(AllNames(fs_.disk()), std::vector<std::string>{"a.xml"});
    unlink(Target("a.xml").c_str());
  }
}

TEST_F(MoveAcross, SparseFilesCopyUpToTheLimit) {
  // A sparse file of 12 MiB arrives whole; one just over the limit costs nothing to make, is
  // refused and stays.
  for (auto [size, result] :
       {std::pair{off_t{12} << 20, S_OK},
        {static_cast<off_t>(kMaxMoveCopyBytes) + 1, HresultFromErrno(EFBIG)}}) {
    int fd = open(Source("s.pdf").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_TRUE(fd >= 0 && pwrite(fd, "%PDF", 4, 0) == 4 && pwrite(fd, "end", 3, size - 3) == 3);
    close(fd);
    EXPECT_EQ(MoveFileNoReplace(Source("s.pdf"), Target("s.pdf")), result);
  }
  std::string expected = "%PDF" + std::string((12u << 20) - 7, '\0') + "end";
  EXPECT_TRUE(ReadFile(Target("s.pdf")) == expected);
  EXPECT_TRUE(FileExists(Source("s.pdf")));
  EXPECT_EQ(AllNames(fs_.disk()), std::vector<std::string>{"s.pdf"});
}

TEST(RemoveMoveLeftovers, RemovesOnlyTheHiddenCopiesOfMoves) {
  TempDir t;
  for (const char* name : {".a.xml.move-Ab12Cd", ".move-zzzzzz", "a.xml", ".a.xml.Ab12Cd",
                           "b.xml.move-Ab12Cd", ".hidden", ".c.xml.move-Ab12C"})
    WriteFile(t / name, "x");
  ASSERT_EQ(symlink((t / "a.xml").c_str(), (t / ".l.xml.move-Ab12Cd").c_str()), 0);
  EXPECT_EQ(RemoveMoveLeftovers(t.path()), S_OK);
  EXPECT_EQ(AllNames(t.path()),
            (std::vector<std::string>{".a.xml.Ab12Cd", ".c.xml.move-Ab12C", ".hidden",
                                      ".l.xml.move-Ab12Cd", ".move-zzzzzz", "a.xml",
                                      "b.xml.move-Ab12Cd"}));
  EXPECT_EQ(RemoveMoveLeftovers(t / "missing"), S_OK);
}

TEST(WriteFileAtomically, ReplacesWholePrivatelyAndLeavesNoTemporary) {
  TempDir t;
  ASSERT_EQ(WriteFileAtomically(t / "s.ini", "one"), S_OK);
  EXPECT_EQ(ModeOf(t / "s.ini"), 0600u);
  // Only group read survives a replacement.
  for (auto [before, after] : {std::pair{06777u, 0640u}, {0606u, 0600u}, {0400u, 0600u}}) {
    ASSERT_EQ(chmod((t / "s.ini").c_str(), before), 0);
    ASSERT_EQ(WriteFileAtomically(t / "s.ini", "two"), S_OK);
    EXPECT_EQ(ModeOf(t / "s.ini"), after) << before;
  }
  EXPECT_EQ(ReadFile(t / "s.ini"), "two");
  EXPECT_EQ(AllNames(t.path()), std::vector<std::string>{"s.ini"});
  EXPECT_EQ(WriteFileAtomically(t / "missing/s.ini", "x"), HresultFromErrno(ENOENT));
}

// Content written in pieces of every size arrives whole; without Commit the old file stays and
// no temporary file is left.
TEST(AtomicFileWriter, WritesPiecesWholeOrNothing) {
  TempDir t;
  ASSERT_TRUE(WriteFile(t / "r.log", "old"));
  std::string expected;
  {
    AtomicFileWriter writer;
    ASSERT_EQ(writer.Open(t / "r.log"), S_OK);
    for (size_t size : {1u, 7u, 65535u, 65536u, 200000u, 3u}) {
      std::string piece(size, static_cast<char>('a' + size % 26));
      ASSERT_EQ(writer.Write(piece), S_OK);
      expected += piece;
    }
    EXPECT_EQ(ReadFile(t / "r.log"), "old");
  }
  EXPECT_EQ(ReadFile(t / "r.log"), "old");
  EXPECT_EQ(AllNames(t.path()), std::vector<std::string>{"r.log"});
  AtomicFileWriter writer;
  ASSERT_EQ(writer.Open(t / "r.log"), S_OK);
  ASSERT_EQ(writer.Write(expected.substr(0, 100)), S_OK);
  ASSERT_EQ(writer.Write(expected.substr(100)), S_OK);
  ASSERT_EQ(writer.Commit(), S_OK);
  EXPECT_EQ(ReadFile(t / "r.log"), expected);
  EXPECT_EQ(AllNames(t.path()), std::vector<std::string>{"r.log"});
}

// A process killed while it writes leaves no temporary file beside the target.
TEST(AtomicFileWriter, AWriterKilledBeforeCommitLeavesNoFile) {
  TempDir t;
  ASSERT_TRUE(WriteFile(t / "s.ini", "old"));
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    AtomicFileWriter writer;
    writer.Open(t / "s.ini");
    writer.Write("new");
    (void)!::write(ready[1], "w", 1);
    ::pause();
    _exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(AllNames(t.path()), std::vector<std::string>{"s.ini"});
  EXPECT_EQ(ReadFile(t / "s.ini"), "old");
}

#ifdef QENDIX_FAULT_INJECTION
// A file that an append makes appears only whole: when its first write or flush fails, no empty
// or cut file stays under the name (a register in that state is refused by every later load).
TEST(AppendToFileDurably, ANewFileIsMadeWholeOrNotAtAll) {
  for (const char* plan : {"write:1", "fsync:1"}) {
    TempDir t;
    ASSERT_TRUE(ArmFaultForTesting(plan));
    EXPECT_TRUE(Failed(AppendToFileDurably(t / "reg", "A\r\n", "head\r\n", "\r\n"))) << plan;
    ArmFaultForTesting("");
    EXPECT_EQ(AllNames(t.path()), std::vector<std::string>{}) << plan;
    ASSERT_EQ(AppendToFileDurably(t / "reg", "B\r\n", "head\r\n", "\r\n"), S_OK);
    ASSERT_EQ(AppendToFileDurably(t / "reg", "C\r\n", "head\r\n", "\r\n"), S_OK);
    EXPECT_EQ(ReadFile(t / "reg"), "head\r\nB\r\nC\r\n");
    EXPECT_EQ(ModeOf(t / "reg"), 0600u);
  }
}
#endif

TEST(ListRegularFiles, LeavesOutHiddenFilesFoldersAndLinks) {
  TempDir t;
  WriteFile(t / "a.xml", "x");
  WriteFile(t / ".hidden.xml", "x");
  mkdir((t / "dir").c_str(), 0755);
  symlink((t / "a.xml").c_str(), (t / "link.xml").c_str());
  std::vector<std::string> names;
  ASSERT_EQ(ListRegularFiles(t.path(), &names), S_OK);
  EXPECT_EQ(names, std::vector<std::string>{"a.xml"});
  EXPECT_EQ(ListRegularFiles(t / "nope", &names), HresultFromErrno(ENOENT));
}

TEST(ProbeWriters, SeesAWriterButNotAReader) {
  TempDir t;
  WriteFile(t / "a.xml", "<?xml");
  EXPECT_EQ(ProbeWriters(t / "a.xml"), WriterState::kNone);
  int reader = open((t / "a.xml").c_str(), O_RDONLY);
  EXPECT_EQ(ProbeWriters(t / "a.xml"), WriterState::kNone);
  close(reader);
  int writer = open((t / "a.xml").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  // Leases need the file owner or CAP_LEASE; both hold for a test's own file.
  EXPECT_EQ(ProbeWriters(t / "a.xml"), WriterState::kWriting);
  close(writer);
  EXPECT_EQ(ProbeWriters(t / "a.xml"), WriterState::kNone);
  symlink((t / "a.xml").c_str(), (t / "link.xml").c_str());
  EXPECT_EQ(ProbeWriters(t / "link.xml"), WriterState::kUnknown);
}

}  // namespace
}  // namespace qx
