#include "platform/job_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "common/as_nobody.h"
#include "common/temp_dir.h"

namespace qx {
namespace {

TEST(JobLock, OneHolderPerProcess) {
  JobLock& lock = JobLock::Instance();
  ASSERT_TRUE(lock.TryAcquire());
  EXPECT_FALSE(lock.TryAcquire());
  EXPECT_TRUE(lock.IsHeldHere());
  // Released from another thread, as a worker gives back the lock its job method took.
  std::thread([&] { lock.Release(); }).join();
  EXPECT_TRUE(lock.TryAcquire());
  lock.Release();
}

TEST(JobLock, AnotherProcessHoldingItMakesUsBusy) {
  const char* path = getenv("QENDIX_LOCK_FILE");
  ASSERT_NE(path, nullptr);
  int fd = open(path, O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);  // an open file description of its own, like another process
  EXPECT_FALSE(JobLock::Instance().TryAcquire());
  flock(fd, LOCK_UN);
  close(fd);
  EXPECT_TRUE(JobLock::Instance().TryAcquire());
  JobLock::Instance().Release();
}

TEST(JobLock, AKilledHolderDoesNotLeaveItTaken) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char ok = JobLock::Instance().TryAcquire() ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  char answer = 0;
  ASSERT_EQ(read(ready[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'y');
  EXPECT_FALSE(JobLock::Instance().TryAcquire());
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(JobLock::Instance().TryAcquire());
  JobLock::Instance().Release();
  close(ready[0]);
  close(ready[1]);
}

// A lock file that is not a regular file of the user refuses the job instead of leaving only the
// in-process flag, which a job of the same user in another process would not see.
TEST(JobLock, ALockFileThatIsNotTheUsersFailsClosed) {
  if (!testing::CanBecomeNobody()) GTEST_SKIP() << "needs root to run as another user";
  testing::TempDir t;
  ASSERT_EQ(chmod(t.path().c_str(), 0777), 0);
  const uid_t nobody = testing::NobodyUid();
  const gid_t group = testing::NobodyGid();
  ASSERT_TRUE(testing::WriteFile(t / "foreign", ""));  // root's, writable for everybody
  ASSERT_EQ(chmod((t / "foreign").c_str(), 0666), 0);
  ASSERT_TRUE(testing::WriteFile(t / "own", ""));
  ASSERT_EQ(chown((t / "own").c_str(), nobody, group), 0);
  ASSERT_EQ(symlink((t / "own").c_str(), (t / "link").c_str()), 0);
  ASSERT_EQ(lchown((t / "link").c_str(), nobody, group), 0);
  ASSERT_EQ(mkfifo((t / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(chown((t / "fifo").c_str(), nobody, group), 0);
  ASSERT_EQ(mkdir((t / "folder").c_str(), 0700), 0);
  ASSERT_EQ(chown((t / "folder").c_str(), nobody, group), 0);
  for (const char* name : {"foreign", "link", "fifo", "folder"}) {
    setenv("QENDIX_LOCK_FILE", (t / name).c_str(), 1);
    // Refused, and not as "busy", which a timer would take for a quiet success.
    EXPECT_EQ(testing::RunAsNobody([] {
                return JobLock::Instance().TryAcquire() ? 1 : errno == EWOULDBLOCK ? 2 : 0;
              }),
              0)
        << name;
  }
  setenv("QENDIX_LOCK_FILE", (t / "own").c_str(), 1);
  EXPECT_EQ(testing::RunAsNobody([] { return JobLock::Instance().TryAcquire() ? 0 : 1; }), 0);
}

}  // namespace
}  // namespace qx
