// The command on a first run, as a new user tries it: module folders that do not exist, are
// empty, or cannot take the settings; --version; a busy timer run that stays out of the journal.
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/as_nobody.h"
#include "common/process.h"
#include "common/temp_dir.h"
#include "support/ini_file.h"

namespace qx::testing {
namespace {

class FirstRun : public ::testing::Test {
 protected:
  ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), QENDIX_BINARY_DIR "/bin/qendix");
    return RunProcess(args, Env(), temp_.path());
  }
  std::vector<std::string> Env() const {
    return {"QENDIX_LOCK_FILE=" + temp_ / "job.lock", "PATH=/usr/bin:/bin",
            "QENDIX_ASAS_LIBRARY=/nonexistent"};
  }
  static unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  TempDir temp_;
};

TEST_F(FirstRun, VersionNamesTheVersionTextAndTheBuild) {
  ProcessResult r = Run({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "qendix-Praxis V2.1.14 (build 200506240)\n");
}

// Each kind of module folder a new user may name: the settings are stored and the shipped
// Trust Center directory is there to select from, or the command says why not.
TEST_F(FirstRun, ModuleFolderMissingEmptyOrWithDirectory) {
  struct Row {
    const char* name;
    const char* prepare;  // "missing", "empty", "own directory"
    bool notice;          // the shipped directory was placed, with a notice
  } rows[] = {{"missing/two levels", "missing", true},
              {"empty", "empty", true},
              {"own", "own directory", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string dir = temp_ / row.name;
    const std::string own =
        "<centers xmlns='http://www.qendix.org/centers/v1'>"
        "<center label='Own'/></centers>";
    if (std::string(row.prepare) != "missing") {
      ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    }
    if (std::string(row.prepare) == "own directory") WriteFile(dir + "/qendix.xml", own);

    ProcessResult r = Run({"--module-dir", dir, "--set", "inputDirectory=/praxis/out", "centers"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, row.notice ? "TC test\n" : "Own\n");
    EXPECT_EQ(r.err.find("shipped default directory was placed") != std::string::npos, row.notice)
        << r.err;
    EXPECT_EQ(IniFile(dir + "/qendix.ini").ReadString("globals", "inputDir"), "/praxis/out");
    if (std::string(row.prepare) == "missing") {
      EXPECT_EQ(Mode(dir), 0700u);
      EXPECT_EQ(Mode(temp_ / "missing"), 0700u);
    }
    if (row.notice) {
      EXPECT_EQ(Mode(dir + "/qendix.xml"), 0600u);
      // The default Trust Center of the shipped directory can be selected and is kept.
      r = Run({"--module-dir", dir, "--set", "trustCenter=TC test"});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(IniFile(dir + "/qendix.ini").ReadString("globals", "trustCenter"), "TC test");
    }
  }
}

TEST_F(FirstRun, ModuleFolderThatCannotBeMadeIsRefused) {
  WriteFile(temp_ / "file", "x");
  ProcessResult r = Run({"--module-dir", temp_ / "file/sub", "--set", "withPDF=yes"});
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("cannot use the module folder " + temp_ / "file/sub"), std::string::npos)
      << r.err;
}

// A module folder the user may not write: the settings cannot be stored, and the command says so
// instead of reporting success.
TEST_F(FirstRun, SettingsThatWereNotStoredFailTheCommand) {
  const std::string dir = temp_ / "readonly";
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(temp_.path().c_str(), 0777), 0);  // nobody writes its scratch files here
  const std::vector<std::string> env = Env();
  const std::string scratch = temp_.path();
  int rc = RunAsNobody([&] {
    ProcessResult r =
        RunProcess({QENDIX_BINARY_DIR "/bin/qendix", "--module-dir", dir, "--set", "withPDF=yes"},
                   env, scratch);
    if (r.status != 4) return 10 + r.status;
    return r.err.find("settings were not stored in " + dir) != std::string::npos ? 0 : 9;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(FileExists(dir + "/qendix.ini"));
}

// A timer run that finds a job at work exits with the busy status; with standard error on the
// journal (JOURNAL_STREAM names it) it writes nothing, elsewhere it says why.
TEST_F(FirstRun, BusyRunIsQuietOnlyInTheJournal) {
  const std::string dir = temp_ / "module";
  int lock = ::open((temp_ / "job.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  for (bool journal : {true, false}) {
    const std::string errPath = temp_ / (journal ? "err-journal" : "err-plain");
    int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(errFd, 0);
    struct stat st {};
    ASSERT_EQ(::fstat(errFd, &st), 0);
    std::vector<std::string> env = Env();
    env.push_back("JOURNAL_STREAM=" +
                  (journal ? std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)
                           : std::string("1:1")));
    std::vector<std::string> args = {QENDIX_BINARY_DIR "/bin/qendix", "--module-dir", dir, "auto"};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(errFd);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    std::string err = ReadFile(errPath);
    // The first run also places the shipped directory; only the busy line is in question.
    EXPECT_EQ(err.find("auto failed: 0x800700AA") == std::string::npos, journal) << err;
  }
  ::close(lock);
}

}  // namespace
}  // namespace qx::testing
