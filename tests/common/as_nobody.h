// Runs part of a test as an ordinary user. Root (as which CI runs) ignores file permissions and
// ownership, so the cases about another user's files run in a forked child that has dropped to
// the user and group "nobody". Header-only, so that any test program can use it.
#pragma once

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace qx::testing {

// True when this process may become another user (it runs as root).
inline bool CanBecomeNobody() {
  return geteuid() == 0;
}

inline uid_t NobodyUid() {
  const passwd* pw = getpwnam("nobody");
  return pw ? pw->pw_uid : 65534;
}
inline gid_t NobodyGid() {
  const passwd* pw = getpwnam("nobody");
  return pw ? pw->pw_gid : 65534;
}

// Runs `body` in a forked child as user and group nobody and returns the child's exit status:
// what `body` returned, 125 when it could not become nobody, 128 + the signal number when it was
// killed, -1 when no child could be made. The child ends with _exit.
inline int RunAsNobody(const std::function<int()>& body) {
  const uid_t uid = NobodyUid();  // looked up before fork: the child only runs `body`
  const gid_t gid = NobodyGid();
  std::fflush(nullptr);  // nothing buffered is written twice
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0)
      _exit(125);
    const int rc = body();
    std::fflush(nullptr);
    _exit(rc);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace qx::testing
