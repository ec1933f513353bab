// `qendix auto` against the reference Trust Center, killed with SIGKILL at 50 random instants while
// new invoices keep arriving: after every kill each invoice is somewhere (a folder of the work
// directory, the error folder, the archive, or received by the Trust Center); once the runs are
// let finish, every invoice has been delivered, and no invoice was delivered more than once per
// kill that could have caught it in flight.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "common/reference_trust_center.h"
#include "integration/asas_home.h"
#include "platform/file_system.h"

namespace qx::testing {
namespace {

std::string XmlInvoice(const std::string& id) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<request "
         "xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\"><invoice invoice_id=\"" +
         id +
         "\"/><body><provider zsr=\"Z123456\"/><balance amount=\"10.00\"/><patient "
         "patient_id=\"P1\"><person><familyname>Muster</familyname><givenname>Anna</givenname>"
         "<postal><zip>8001</zip></postal></person></patient></body></request>\n";
}

std::string GniInvoice(const std::string& id) {
  return "[DEBITOR1]\r\n106=Z123456\r\n[ADRPAT1]\r\n132=Muster\r\n133=Anna\r\n[INFC1]\r\n115=" +
         id + "\r\n119=1000\r\n";
}

class AutoKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.AddLogin("praxis"));
    const TrustCenter tc = home_.MakeTrustCenter("tc-test", KeyKind::kEc, /*import=*/true);
    ASSERT_FALSE(tc.name.empty());
    for (const char* dir : {"module", "in", "work", "tmp", "store"})
      ASSERT_EQ(::mkdir((temp_ / dir).c_str(), 0700), 0);
    server_ =
        std::make_unique<ReferenceTrustCenter>(temp_ / "store", tc.keyFile, tc.certFile, "tc-test");
    ASSERT_NE(server_->Port(), 0);
    ASSERT_TRUE(WriteFile(temp_ / "module/qendix.xml", server_->CentersDocument()));
    argv_ = {QENDIX_BINARY_DIR "/bin/qendix",
             "--module-dir",
             temp_ / "module",
             "--set",
             "inputDirectory=" + (temp_ / "in"),
             "--set",
             "workDirectory=" + (temp_ / "work"),
             "--set",
             "asasLogin=praxis",
             "--set",
             "trustCenter=TC test",
             "auto"};
    env_ = home_.ChildEnvironment();
    env_.push_back("QENDIX_ASAS_LIBRARY=" + kAsasLibrary);
    env_.push_back("QENDIX_LOCK_FILE=" + (temp_ / "lock"));
    env_.push_back("TMPDIR=" + (temp_ / "tmp"));
  }

  // Puts a batch of new invoices into the invoice folder.
  void NewBatch() {
    for (int i = 0; i < 4; ++i) {
      const std::string id = "K" + std::to_string(invoices_.size());
      const bool gni = i == 3;
      const std::string name = id + (gni ? ".gni" : ".xml");
      ASSERT_TRUE(WriteFile(temp_ / ("in/" + name), gni ? GniInvoice(id) : XmlInvoice(id)));
      invoices_.insert(name);
    }
  }

  // How often the Trust Center accepted each name.
  std::map<std::string, int> Delivered() {
    std::map<std::string, int> count;
    for (const std::string& line : server_->Received()) {
      // number, session, verdict, name, parts, code
      std::vector<std::string> f;
      size_t start = 0;
      for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        f.push_back(line.substr(start, tab - start));
      f.push_back(line.substr(start));
      if (f.size() >= 4 && f[2] == "accepted") ++count[f[3]];
    }
    return count;
  }

  // Every file name below `folder`, recursively (hidden temporary files left out).
  void Collect(const std::string& folder, std::set<std::string>* names) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return;
    while (dirent* e = ::readdir(dir.get())) {
      const std::string name = e->d_name;
      if (name.empty() || name[0] == '.') continue;
      const std::string path = folder + "/" + name;
      if (IsDirectory(path))
        Collect(path, names);
      else
        names->insert(name.substr(0, name.find(".xml") != std::string::npos
                                         ? name.find(".xml") + 4
                                         : name.find(".gni") + 4));
    }
  }

  void CheckNothingLost(const std::string& when) {
    std::set<std::string> present;
    Collect(temp_ / "in", &present);
    Collect(temp_ / "work", &present);
    for (const auto& [name, n] : Delivered()) present.insert(name);
    for (const std::string& invoice : invoices_)
      EXPECT_TRUE(present.count(invoice)) << invoice << " lost " << when;
  }

  AsasHome home_;
  TempDir temp_;
  std::unique_ptr<ReferenceTrustCenter> server_;
  std::vector<std::string> argv_;
  std::vector<std::string> env_;
  std::set<std::string> invoices_;
};

TEST_F(AutoKillTest, FiftyKillsLoseNoInvoiceAndSendNoneTwiceBeyondOnePerKill) {
  NewBatch();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunProcess(argv_, env_, temp_ / "tmp").status, 0);
  const int runMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count());
  std::mt19937 random(8122026);
  std::uniform_int_distribution<int> delay(0, runMs);
  const int kKills = 50;
  for (int kill = 0; kill < kKills; ++kill) {
    if (kill % 5 == 0) NewBatch();
    ASSERT_TRUE(RunAndKill(argv_, env_, delay(random)));
    CheckNothingLost("after kill " + std::to_string(kill));
  }
  // Let the runs finish: everything is delivered.
  for (int i = 0; i < 2; ++i) RunProcess(argv_, env_, temp_ / "tmp");
  std::map<std::string, int> delivered = Delivered();
  int extra = 0;
  for (const std::string& invoice : invoices_) {
    EXPECT_GE(delivered[invoice], 1) << invoice << " never delivered";
    extra += std::max(0, delivered[invoice] - 1);
  }
  EXPECT_LE(extra, kKills);
  std::set<std::string> waiting;
  Collect(temp_ / "work/output", &waiting);
  Collect(temp_ / "work/valid", &waiting);
  EXPECT_TRUE(waiting.empty());
  RecordProperty("extra_deliveries", extra);
  RecordProperty("run_ms", runMs);
}

}  // namespace
}  // namespace qx::testing
