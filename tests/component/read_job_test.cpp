// The Read job end to end: its event sequences, where the files go, its preconditions.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "common/as_nobody.h"
#include "common/component_fixture.h"
#include "common/two_file_systems.h"
#include "platform/writer_check.h"

namespace qx::testing {
namespace {

using Lines = std::vector<std::string>;
using namespace std::string_literals;

const std::string kStart = "1|2|0|0|(null)|Einlesen gestartet";
const std::string kNone = "2|2|0|4|(null)|Keine Datei gefunden";
std::string Count(int n) {
  return "1|3|0|" + std::to_string(n) + "|(null)|" + std::to_string(n) +
         " Dateien werden bearbeitet";
}
std::string End(int done, int failed) {
  return "1|2|0|1|(null)|Einlesen abgeschlossen: " + std::to_string(done) + " kopiert, " +
         std::to_string(failed) + " fehlerhafte Rechnungsdateien";
}
std::string Moved(const std::string& f) {
  return "1|2|0|2|" + f + "|Datei erfolgreich kopiert";
}

class ReadJob : public ComponentTest {
 protected:
  void SetUp() override {
    for (const char* n : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(n);
    ComponentTest::SetUp();
  }

  // Runs `body` (which creates the component and runs the job) in a child process as nobody:
  // the folders are opened to nobody, the module folder and the job lock are nobody's, and the
  // second look at files of other users pauses briefly. Failures in the child fail the test.
  void AsNobody(const std::function<void()>& body) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_TRUE(nobody);
    ASSERT_EQ(chmod(temp_.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(Input().c_str(), 0777), 0);
    ASSERT_EQ(chmod(Work().c_str(), 0777), 0);
    const std::string module = temp_ / "module";
    ASSERT_EQ(mkdir(module.c_str(), 0700), 0);
    ASSERT_EQ(chown(module.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    int rc = RunAsNobody([&] {
      setenv("QENDIX_MODULE_DIR", module.c_str(), 1);
      setenv("QENDIX_LOCK_FILE", (module + "/job.lock").c_str(), 1);
      SetSettleInterval(std::chrono::milliseconds(300));
      body();
      return HasFailure() ? 1 : 0;
    });
    EXPECT_EQ(rc, 0) << "the part run as nobody failed";
  }
};

TEST_F(ReadJob, EmptyInvoiceFolder) {
  Create();
  RunRead();
  EXPECT_EQ(events_->Lines(), (Lines{kStart, Count(0), kNone, End(0, 0)}));
}

TEST_F(ReadJob, EmptyInvoiceFolderInFrench) {
  setenv("LC_ALL", "fr_CH.UTF-8", 1);
  Create();
  RunRead();
  EXPECT_EQ(events_->Lines(),
            (Lines{"1|2|0|0|(null)|Lire démarré", "1|3|0|0|(null)|0 Fichiers en travail",
                   "2|2|0|4|(null)|Aucun fichier trouvé",
                   "1|2|0|1|(null)|Lire términé: 0 copiés, 0 erreurs dans les fichiers des "
                   "factures"}));
}

TEST_F(ReadJob, MovesRecognisedFilesAndLeavesTheRest) {
  WriteFile(Input("a.xml"), "<?xml version='1.0'?><x/>");
  WriteFile(Input("b.pdf"), "%PDF-1.4");
  WriteFile(Input("g.dat"), "[DEBITOR]");
  WriteFile(Input("c.doc"), "plain text");
  WriteFile(Input(".d.xml"), "<?xml version='1.0'?>");
  WriteFile(Input("short"), "<?x");
  mkdir(Input("sub.xml").c_str(), 0755);
  Create();
  RunRead();
  auto lines = events_->Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], kStart);
  EXPECT_EQ(lines[1], Count(3));
  Lines moved(lines.begin() + 2, lines.begin() + 5);
  std::sort(moved.begin(), moved.end());
  EXPECT_EQ(moved, (Lines{Moved("a.xml"), Moved("b.pdf"), Moved("g.dat")}));
  EXPECT_EQ(lines[5], End(3, 0));
  EXPECT_TRUE(FileExists(Work("input/a.xml")));
  EXPECT_TRUE(FileExists(Work("input/b.pdf")));
  EXPECT_TRUE(FileExists(Work("input/g.dat")));
  EXPECT_TRUE(FileExists(Input("c.doc")));
  EXPECT_TRUE(FileExists(Input(".d.xml")));
  EXPECT_TRUE(FileExists(Input("short")));
}

TEST_F(ReadJob, NameClashesGetTheNextNumber) {
  mkdir(Work("input").c_str(), 0755);
  WriteFile(Work("input/a.xml"), "old");
  WriteFile(Work("input/a.xml.1"), "older");
  WriteFile(Input("a.xml"), "<?xml new");
  Create();
  RunRead();
  EXPECT_EQ(ReadFile(Work("input/a.xml")), "old");
  EXPECT_EQ(ReadFile(Work("input/a.xml.1")), "older");
  EXPECT_EQ(ReadFile(Work("input/a.xml.2")), "<?xml new");
  EXPECT_EQ(events_->Lines()[2], Moved("a.xml"));
}

TEST_F(ReadJob, NoFreeNameLeavesTheFileWithTheCause) {
  // A name of 254 bytes is taken in "input"; the numbered names would be too long.
  std::string name = std::string(250, 'n') + ".xml";
  mkdir(Work("input").c_str(), 0755);
  WriteFile(Work("input/" + name), "old");
  WriteFile(Input(name), "<?xml new");
  Create();
  RunRead();
  auto lines = events_->Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2].rfind("3|0|0|36|" + name + "|", 0), 0u) << lines[2];  // ENAMETOOLONG
  EXPECT_EQ(lines[3], "2|2|0|3|" + name + "|Datei nicht kopiert");
  EXPECT_EQ(ReadFile(Input(name)), "<?xml new");
  EXPECT_EQ(ReadFile(Work("input/" + name)), "old");
}

TEST_F(ReadJob, InvoiceDirectoryOfOneCharacterIsNotSet) {
  Create();
  q_->put_inputDirectory(std::string("C"));
  RunRead();
  EXPECT_EQ(events_->Lines(),
            (Lines{kStart, "3|2|0|6|(null)|Rechnungsverzeichnis nicht gesetzt", End(0, 0)}));
}

TEST_F(ReadJob, NullInvoiceDirectoryIsNotSet) {
  Create();
  q_->put_inputDirectory(std::nullopt);
  RunRead();
  EXPECT_EQ(events_->Lines()[1], "3|2|0|6|(null)|Rechnungsverzeichnis nicht gesetzt");
}

TEST_F(ReadJob, WorkDirectoryOfTwoCharactersIsNotSet) {
  // A two-character folder that exists passes the common check and fails the Reader's.
  ASSERT_EQ(chdir(temp_.path().c_str()), 0);
  mkdir("wd", 0755);
  Create();
  q_->put_workDirectory(std::string("wd"));
  RunRead();
  EXPECT_EQ(events_->Lines(),
            (Lines{kStart, "3|2|0|7|(null)|Basisverzeichnis nicht gesetzt", End(0, 0)}));
}

TEST_F(ReadJob, MissingWorkDirectoryIsInvalid) {
  Create();
  q_->put_workDirectory(Work("missing"));
  WriteFile(Input("a.xml"), "<?xml");
  RunRead();
  EXPECT_EQ(events_->Lines(),
            (Lines{kStart, "3|2|0|7|(null)|Basisverzeichnis ungültig", End(0, 0)}));
  EXPECT_TRUE(FileExists(Input("a.xml")));
}

TEST_F(ReadJob, MissingInvoiceDirectoryIsInvalid) {
  Create();
  q_->put_inputDirectory(Input("missing"));
  RunRead();
  EXPECT_EQ(events_->Lines(),
            (Lines{kStart, "3|2|0|6|(null)|Rechnungsverzeichnis ungültig", End(0, 0)}));
}

TEST_F(ReadJob, AFileStillBeingWrittenStaysForTheNextRun) {
  WriteFile(Input("a.xml"), "<?xml");
  int writer = open(Input("a.xml").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(writer, 0);
  Create();
  RunRead();
  auto lines = events_->Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2].rfind("3|0|0|16|a.xml|", 0), 0u) << lines[2];  // EBUSY, class mcSystem
  EXPECT_EQ(lines[3], "2|2|0|3|a.xml|Datei nicht kopiert");
  EXPECT_EQ(lines[4], End(0, 0));
  EXPECT_TRUE(FileExists(Input("a.xml")));
  close(writer);
  events_->Clear();
  RunRead();
  EXPECT_EQ(events_->Lines()[2], Moved("a.xml"));
}

TEST_F(ReadJob, AnUnmovableFileGivesTheSystemErrorAndStays) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the job as nobody";
  WriteFile(Input("a.xml"), "<?xml");
  mkdir(Work("input").c_str(), 0555);  // root's: nobody may not write into it
  AsNobody([&] {
    Create();
    RunRead();
    auto lines = events_->Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2].rfind("3|0|0|13|a.xml|", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "2|2|0|3|a.xml|Datei nicht kopiert");
  });
  EXPECT_TRUE(FileExists(Input("a.xml")));
}

TEST_F(ReadJob, WritesTheDayLogAndSetsTheSession) {
  Create();
  BStr session;
  q_->get_session(&session);
  EXPECT_EQ(session, "");
  RunRead();
  q_->get_session(&session);
  ASSERT_EQ(session->size(), 10u);
  std::string log = ReadFile(Work("logs/" + *session + ".log"));
  auto first_break = log.find('\n');
  EXPECT_EQ(log.substr(0, 24), "qendix-Praxis V2.1.14 / ");
  EXPECT_NE(log.find("|1|2|0|0|(null)|Einlesen gestartet\n", first_break), std::string::npos);
  EXPECT_NE(log.find("|2|2|0|4|(null)|Keine Datei gefunden\n"), std::string::npos);
  // A second job the same day appends to the same file, without a second first line.
  events_->Clear();
  RunRead();
  std::string again = ReadFile(Work("logs/" + *session + ".log"));
  EXPECT_EQ(again.find("qendix-Praxis", 1), std::string::npos);
  EXPECT_GT(again.size(), log.size());
}

TEST_F(ReadJob, WorkFoldersAndTheLogArePrivate) {
  WriteFile(Input("a.xml"), "<?xml version='1.0'?><x/>");
  mkdir(Work("logs").c_str(), 0755);  // made by an earlier version
  Create();
  RunRead();
  BStr session;
  q_->get_session(&session);
  for (const auto& [path, mode] : {std::pair{Work("input"), 0700u},
                                   {Work("logs"), 0700u},
                                   {Work("logs/" + *session + ".log"), 0600u}}) {
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
  }
}

// The invoice folder on /dev/shm, the work directory on disk: every move is a copy.
class ReadAcross : public ReadJob {
 protected:
  void SetUp() override {
    if (!fs_.ok()) GTEST_SKIP() << "needs /dev/shm and a disk folder on another file system";
    ReadJob::SetUp();
    Create(false);
    ASSERT_EQ(q_->put_inputDirectory(fs_.memory()), S_OK);
    ASSERT_EQ(q_->put_workDirectory(fs_.disk()), S_OK);
  }
  std::string Inv(const std::string& name) const { return fs_.memory() + "/" + name; }
  std::string Wrk(const std::string& name) const { return fs_.disk() + "/" + name; }
  TwoFileSystems fs_;
};

TEST_F(ReadAcross, ALinkOrFifoSwappedInAfterListingStays) {
  struct Case {
    const char* what;
    std::function<int(const std::string&)> plant;
    std::string event;
  } cases[] = {
      {"link", [&](const std::string& p) { return symlink(Wrk("outside.xml").c_str(), p.c_str()); },
       "3|0|0|40|a.xml|Too many levels of symbolic links"},
      {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0666); },
       "3|0|0|22|a.xml|Invalid argument"},
  };
  WriteFile(Wrk("outside.xml"), "<?xml version='1.0'?><secret/>");
  mkdir(Wrk("input").c_str(), 0700);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(Inv("a.xml"), "<?xml version='1.0'?><x/>");
    // Right after the listing (the count event), the invoice is replaced.
    events_->SetHook([&](const RecordedEvent& e) {
      if (e.mclass == mcCount) {
        unlink(Inv("a.xml").c_str());
        c.plant(Inv("a.xml"));
      }
    });
    events_->Clear();
    RunRead();
    EXPECT_EQ(events_->Lines(),
              (Lines{kStart, Count(1), c.event, "2|2|0|3|a.xml|Datei nicht kopiert", End(0, 0)}));
    EXPECT_EQ(ReadFile(Wrk("outside.xml")), "<?xml version='1.0'?><secret/>");
    EXPECT_FALSE(FileExists(Wrk("input/a.xml")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Wrk("input")), {}), 0);
    unlink(Inv("a.xml").c_str());
  }
}

TEST_F(ReadAcross, TheCopyOfAKilledMoveGoesAtTheNextStart) {
  // A move killed during its copy left the hidden copy; the invoice is still at its source.
  mkdir(Wrk("input").c_str(), 0700);
  WriteFile(Wrk("input/.a.xml.move-k1lLed"), "<?xml vers");
  WriteFile(Wrk("input/.keep"), "not ours");
  WriteFile(Inv("a.xml"), "<?xml version='1.0'?><x/>");
  RunRead();
  EXPECT_FALSE(FileExists(Wrk("input/.a.xml.move-k1lLed")));
  EXPECT_TRUE(FileExists(Wrk("input/.keep")));
  EXPECT_EQ(ReadFile(Wrk("input/a.xml")), "<?xml version='1.0'?><x/>");
}

TEST_F(ReadJob, AsAnotherUserAGrowingFileStaysAndAFinishedOneMoves) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the job as nobody";
  // The files belong to root; nobody gets no lease on them, so the Reader must look twice.
  WriteFile(Input("done.xml"), "<?xml version='1.0'?><done/>");
  WriteFile(Input("grow.xml"), "<?xml version='1.0'?><grow>");
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    int fd = open(Input("grow.xml").c_str(), O_WRONLY | O_APPEND);
    for (;;) {
      if (write(fd, " ", 1) != 1) _exit(1);
      usleep(10000);
    }
  }
  AsNobody([&] {
    Create();
    RunRead();
    Lines lines = events_->Lines();
    for (const std::string& line : {Moved("done.xml"), "3|0|0|16|grow.xml|Device or resource busy"s,
                                    "2|2|0|3|grow.xml|Datei nicht kopiert"s, End(1, 0)})
      EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  });
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  EXPECT_TRUE(FileExists(Work("input/done.xml")));
  EXPECT_TRUE(FileExists(Input("grow.xml")));
  EXPECT_FALSE(FileExists(Work("input/grow.xml")));
}

}  // namespace
}  // namespace qx::testing
