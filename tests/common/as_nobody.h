// Runs part of a test as the ordinary user "nobody". CI runs the tests as root, which ignores
// permissions and may take any lease; cases that need an ordinary user run in a forked child
// that drops to nobody. Header-only.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace qx::testing {

// nobody's user and group id; false when there is no such user.
inline bool NobodyIds(uid_t* uid, gid_t* gid) {
  const passwd* pw = getpwnam("nobody");
  if (!pw) return false;
  *uid = pw->pw_uid;
  *gid = pw->pw_gid;
  return true;
}

// Forks; the child drops to nobody (groups, gid, uid, for good), runs `body` and ends with its
// result as the exit status. Returns that status, 128 + the signal for a killed child, or -1
// when the child could not be started or could not drop to nobody (e.g. not run as root).
// Fork only while the test has no other threads.
inline int RunAsNobody(const std::function<int()>& body) {
  uid_t uid;
  gid_t gid;
  if (!NobodyIds(&uid, &gid)) return -1;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0)
      _exit(255);
    int rc = body();
    std::fflush(nullptr);
    _exit(rc);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

}  // namespace qx::testing
