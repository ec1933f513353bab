// peak_rss REPORT PROGRAM [ARG...]: runs PROGRAM and writes its own peak resident memory and CPU
// time to the file REPORT as "<peak KiB> <user s> <system s>"; exits as PROGRAM did (128 + the
// signal when a signal ended it).
//
// Why a program of its own: Linux counts into a child's peak resident memory that of the process
// it was forked from (the peak of the forked copy is taken over at exec). Forked straight from the
// benchmark's interpreter, whose memory grows with the number of invoices it tracks, every child
// would show at least the interpreter's size. Forked from this small program, the figure is the
// child's.
//
// The child is killed when this program dies; SIGTERM, SIGINT and SIGHUP are passed on to it.
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace {

volatile sig_atomic_t child = 0;

void PassOn(int signum) {
  if (child > 0) kill(child, signum);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: peak_rss REPORT PROGRAM [ARG...]\n");
    return 2;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    perror("peak_rss: fork");
    return 2;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the launcher is gone already
    execvp(argv[2], argv + 2);
    perror("peak_rss: exec");
    _exit(127);
  }
  child = pid;
  struct sigaction action {};
  action.sa_handler = PassOn;
  for (int signum : {SIGTERM, SIGINT, SIGHUP}) sigaction(signum, &action, nullptr);

  int status = 0;
  struct rusage usage {};
  pid_t waited;
  do {
    waited = wait4(pid, &status, 0, &usage);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid) {
    perror("peak_rss: wait4");
    return 2;
  }
  FILE* report = fopen(argv[1], "w");
  if (!report || fprintf(report, "%ld %ld.%06ld %ld.%06ld\n", usage.ru_maxrss,
                         static_cast<long>(usage.ru_utime.tv_sec),
                         static_cast<long>(usage.ru_utime.tv_usec),
                         static_cast<long>(usage.ru_stime.tv_sec),
                         static_cast<long>(usage.ru_stime.tv_usec)) < 0 ||
      fclose(report) != 0) {
    perror("peak_rss: report");
    return 2;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
