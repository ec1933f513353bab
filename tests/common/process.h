// Runs a program as a child process for tests, with exactly the environment given (plus the
// sanitizers' *_OPTIONS of the test process, in a sanitized build), and captures what it writes.
// Used by the tests that drive the command-line tools (qendix, asasctl, openssl).
#pragma once

#include <string>
#include <vector>

namespace qx::testing {

struct ProcessResult {
  // The exit status; 128 + the signal number when the program was killed; -1 when it could not
  // be started.
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is a path, or a bare name searched in /usr/bin and /bin) with stdin from
// /dev/null and `env` as its whole environment. stdout and stderr go through files in
// `scratchDir`, which must exist and is left as it was.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& scratchDir);

// Starts `argv` with `env` as its whole environment (stdout and stderr to /dev/null), kills it
// with SIGKILL after `delayMs` milliseconds and reaps it. False when it could not be started.
bool RunAndKill(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                int delayMs);

}  // namespace qx::testing
