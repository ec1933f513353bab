#include "common/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/temp_dir.h"

namespace qx::testing {
namespace {

std::string ResolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  for (const char* dir : {"/usr/bin/", "/bin/"}) {
    std::string path = dir + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return name;
}

// `env` plus the sanitizers' settings of this process that it does not name itself, so that a
// child of a sanitized build reports where and as its parent does.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& env) {
  std::vector<std::string> result = env;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* value = ::getenv(name);
    const std::string prefix = std::string(name) + "=";
    bool named = false;
    for (const std::string& e : env) named = named || e.starts_with(prefix);
    if (value && !named) result.push_back(prefix + value);
  }
  return result;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& scratchDir) {
  ProcessResult result;
  if (argv.empty()) return result;
  std::string outPath = scratchDir + "/.run-XXXXXX";
  std::string errPath = scratchDir + "/.run-XXXXXX";
  int outFd = ::mkstemp(outPath.data());
  int errFd = outFd >= 0 ? ::mkstemp(errPath.data()) : -1;
  if (outFd < 0 || errFd < 0) {
    if (outFd >= 0) {
      ::close(outFd);
      ::unlink(outPath.c_str());
    }
    return result;
  }

  std::vector<std::string> args = argv;
  args[0] = ResolveProgram(args[0]);
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  std::vector<std::string> envs = ChildEnvironment(env);
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  pid_t pid = 0;
  if (posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data()) == 0) {
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid)
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(outFd);
  ::close(errFd);
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  ::unlink(outPath.c_str());
  ::unlink(errPath.c_str());
  return result;
}

bool RunAndKill(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                int delayMs) {
  std::vector<std::string> args = argv, envs = ChildEnvironment(env);
  std::vector<char*> argp, envp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  ::usleep(static_cast<useconds_t>(delayMs) * 1000);
  ::kill(pid, SIGKILL);
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid;
}

}  // namespace qx::testing
