// The qendix command as scripts drive it: output, exit status, settings.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "common/process.h"
#include "common/temp_dir.h"
#include "support/ini_file.h"

namespace qx::testing {
namespace {

struct Result {
  int status = -1;
  std::string out;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir(Module().c_str(), 0755);
    mkdir(Inv().c_str(), 0755);
    mkdir(Work().c_str(), 0755);
    lock_ = temp_ / "job.lock";
  }
  std::string Module() const { return temp_ / "module"; }
  std::string Inv() const { return temp_ / "inv"; }
  std::string Work() const { return temp_ / "work"; }

  // Runs the command with the given arguments and extra environment; captures stdout.
  Result Run(std::vector<std::string> args, std::vector<std::string> env = {}) {
    std::vector<std::string> argv = {QENDIX_BINARY_DIR "/bin/qendix"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envs = {"QENDIX_LOCK_FILE=" + lock_, "PATH=/usr/bin:/bin",
                                     "QENDIX_ASAS_LIBRARY=/nonexistent"};
    envs.insert(envs.end(), env.begin(), env.end());
    ProcessResult p = RunProcess(argv, envs, temp_.path());
    return {p.status, p.out};
  }

  std::vector<std::string> Base() {
    return {
        "--module-dir",           Module(), "--json", "--set", "inputDirectory=" + Inv(), "--set",
        "workDirectory=" + Work()};
  }

  TempDir temp_;
  std::string lock_;
};

std::vector<std::string> With(std::vector<std::string> a, std::initializer_list<std::string> b) {
  a.insert(a.end(), b);
  return a;
}

TEST_F(Cli, EmptyFolderInJsonGerman) {
  Result r = Run(With(Base(), {"read"}), {"LANG=de_CH.UTF-8"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "{\"level\":1,\"class\":2,\"origin\":0,\"code\":0,\"file\":null,\"msg\":\"Einlesen "
            "gestartet\"}\n"
            "{\"level\":1,\"class\":3,\"origin\":0,\"code\":0,\"file\":null,\"msg\":\"0 Dateien "
            "werden bearbeitet\"}\n"
            "{\"level\":2,\"class\":2,\"origin\":0,\"code\":4,\"file\":null,\"msg\":\"Keine Datei "
            "gefunden\"}\n"
            "{\"level\":1,\"class\":2,\"origin\":0,\"code\":1,\"file\":null,\"msg\":\"Einlesen "
            "abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien\"}\n");
}

TEST_F(Cli, EmptyFolderInJsonFrench) {
  Result r = Run(With(Base(), {"read"}), {"LC_ALL=fr_CH.UTF-8"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"msg\":\"Lire démarré\"}\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"msg\":\"Aucun fichier trouvé\"}\n"), std::string::npos);
}

TEST_F(Cli, FileNamesAreEscapedAndMovedFilesReported) {
  WriteFile(Inv() + "/a\"b\\c.xml", "<?xml");
  Result r = Run(With(Base(), {"read"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"code\":2,\"file\":\"a\\\"b\\\\c.xml\",\"msg\":\"Datei erfolgreich "
                       "kopiert\"}"),
            std::string::npos)
      << r.out;
}

TEST_F(Cli, ErrorEventsGiveStatusOne) {
  Result r = Run(With(Base(), {"--set", "workDirectory=" + Work() + "/missing", "read"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"level\":3,\"class\":2,\"origin\":0,\"code\":7"), std::string::npos);
}

TEST_F(Cli, BusyWhileAnotherProcessRunsAJob) {
  int fd = open(lock_.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  Result r = Run(With(Base(), {"read"}));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");  // no event
  close(fd);
  EXPECT_EQ(Run(With(Base(), {"read"})).status, 0);
}

TEST_F(Cli, AKilledJobDoesNotLeaveTheLockTaken) {
  for (int i = 0; i < 3000; ++i) WriteFile(Inv() + "/f" + std::to_string(i) + ".xml", "<?xml");
  std::vector<std::string> args = With(Base(), {"read"});
  std::vector<std::string> full = {QENDIX_BINARY_DIR "/bin/qendix"};
  full.insert(full.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : full) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string env_lock = "QENDIX_LOCK_FILE=" + lock_;
  char* envp[] = {env_lock.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Wait until the job has started moving files, then kill it hard.
  for (int i = 0; i < 500 && !FileExists(Work() + "/input"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  Result r = Run(With(Base(), {"read"}));
  EXPECT_EQ(r.status, 0);
  // Every file is either still in the invoice folder or in "input": none lost.
  int count = 0;
  for (const std::string& dir : {Inv(), Work() + "/input"})
    for (int i = 0; i < 3000; ++i) count += FileExists(dir + "/f" + std::to_string(i) + ".xml");
  EXPECT_EQ(count, 3000);
}

TEST_F(Cli, UsageErrors) {
  EXPECT_EQ(Run({"--module-dir", Module(), "frobnicate"}).status, 2);
  EXPECT_EQ(Run({"--module-dir", Module(), "get"}).status, 2);
  EXPECT_EQ(Run({"--module-dir", Module(), "--set", "withPDF=maybe"}).status, 2);
  EXPECT_EQ(Run({"--module-dir", Module(), "--set", "ean=1"}).status, 2);
  EXPECT_EQ(Run({"--module-dir", Module(), "--bogus"}).status, 2);
}

TEST_F(Cli, SetWithoutCommandStoresTheSettings) {
  WriteFile(Module() + "/qendix.xml",
            "<centers xmlns='http://www.qendix.org/centers/v1'><center label='TC test' esr='300'/>"
            "<center label='Other'/></centers>");
  Result r = Run({"--module-dir", Module(), "--set", "withPDF=yes", "--set", "debug=on", "--set",
                  "asasLogin=praxis", "--set", "trustCenter=Other"});
  EXPECT_EQ(r.status, 0);
  IniFile ini(Module() + "/qendix.ini");
  EXPECT_EQ(ini.ReadString("globals", "withPDF"), "1");
  EXPECT_EQ(ini.ReadString("globals", "debug"), "16");
  EXPECT_EQ(ini.ReadString("globals", "archive"), "2");
  EXPECT_EQ(ini.ReadString("globals", "asasLogin"), "praxis");
  EXPECT_EQ(ini.ReadString("globals", "trustCenter"), "Other");

  r = Run({"--module-dir", Module(), "get", "withPDF", "get", "asasLogin", "centers", "--set"});
  EXPECT_EQ(r.status, 2);  // options come before the commands
  r = Run({"--module-dir", Module(), "--set", "trustCenter=TC test", "get", "withPDF", "get",
           "asasLogin", "get", "esr", "centers"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "true\npraxis\n44\nTC test\nOther\n");
}

TEST_F(Cli, FailingResultsGiveStatusFour) {
  Result r = Run({"--module-dir", Module(), "get", "activateGUI"});
  EXPECT_EQ(r.status, 4);
  r = Run({"--module-dir", Module(), "get", "asasVersion"});
  EXPECT_EQ(r.status, 4);  // no security client here
  // The Trust Center directory cannot be read: the put fails.
  WriteFile(Module() + "/qendix.xml", "<centers");
  r = Run({"--module-dir", Module(), "--set", "trustCenter=x"});
  EXPECT_EQ(r.status, 4);
}

}  // namespace
}  // namespace qx::testing
