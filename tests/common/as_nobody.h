// Runs part of a test as the ordinary user "nobody": CI runs as root, which ignores permissions
// and may take any lease. Header-only.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace qx::testing {

// Forks; the child drops to nobody for good (groups, gid, uid), runs `body` and exits with its
// result. Returns that result, 128 + the signal of a killed child, or -1 when the child could not
// start or drop to nobody. Fork only while the test runs no other thread.
inline int RunAsNobody(const std::function<int()>& body) {
  const passwd* pw = getpwnam("nobody");
  if (!pw) return -1;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(pw->pw_gid, pw->pw_gid, pw->pw_gid) != 0 ||
        setresuid(pw->pw_uid, pw->pw_uid, pw->pw_uid) != 0)
      _exit(255);
    int rc = body();
    std::fflush(nullptr);
    _exit(rc);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

}  // namespace qx::testing
