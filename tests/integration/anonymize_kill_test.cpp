// `qendix anonymize` killed at random instants, against the installed security client: after each
// kill every invoice is still in "valid" or has a complete transfer document in "output" (or
// both), every document in "output" is well-formed, and a last run finishes the work and leaves
// no temporary file behind, neither in "output" nor a message folder in the temporary folder.
#include <dirent.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "integration/asas_home.h"
#include "platform/file_system.h"

namespace qx::testing {
namespace {

const char* const kCenters = R"(<?xml version="1.0" encoding="UTF-8"?>
<centers xmlns="http://www.qendix.org/centers/v1" version="1">
  <update url="http://127.0.0.1:9/centers"/>
  <center label="TC test" url="http://127.0.0.1:9/RPC2" rcpt="tc-test"/>
</centers>
)";

// The `name` of the anonymized part of a transfer document; empty when the file is not a
// well-formed transfer document.
std::string DocumentName(const std::string& path) {
  xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR);
  if (!doc) return std::string();
  std::string name;
  for (xmlNode* n = xmlDocGetRootElement(doc)->children; n && name.empty(); n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    xmlChar* type = xmlGetProp(n, BAD_CAST "type");
    xmlChar* value = xmlGetProp(n, BAD_CAST "name");
    if (type && value && xmlStrcmp(type, BAD_CAST "anonymized") == 0)
      name = reinterpret_cast<char*>(value);
    xmlFree(type);
    xmlFree(value);
  }
  xmlFreeDoc(doc);
  return name;
}

class AnonymizeKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.AddLogin("praxis"));
    ASSERT_FALSE(home_.MakeTrustCenter("tc-test", KeyKind::kEc, /*import=*/true).name.empty());
    for (const char* dir : {"module", "in", "tmp"})
      ASSERT_EQ(::mkdir((temp_ / dir).c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(temp_ / "module/qendix.xml", kCenters));
    // Real samples and GNI invoices, five of each under different names.
    for (int copy = 1; copy <= 5; ++copy) {
      const std::string suffix = "-" + std::to_string(copy);
      for (const char* sample : {"400_tg_kvg_de.xml", "4187_10734361.xml", "existing4_1.xml",
                                 "aerztekasse_test_ok1.xml", "writeReq400.xml"})
        invoices_.push_back(
            std::pair(sample + suffix + ".xml", ReadFile(std::string(kSamples) + "/" + sample)));
      invoices_.push_back(std::pair("g" + suffix + ".gni",
                                    "[DEBITOR1]\r\n106=Z123456\r\n[ADRPAT1]\r\n132=Muster\r\n"
                                    "133=Anna\r\n[INFC1]\r\n115=G" +
                                        suffix + "\r\n119=100\r\n"));
    }
    env_ = home_.ChildEnvironment();
    env_.push_back("QENDIX_ASAS_LIBRARY=" + kAsasLibrary);
    env_.push_back("QENDIX_LOCK_FILE=" + (temp_ / "lock"));
    env_.push_back("TMPDIR=" + (temp_ / "tmp"));
    argv_ = {QENDIX_BINARY_DIR "/bin/qendix",
             "--module-dir",
             temp_ / "module",
             "--set",
             "inputDirectory=" + (temp_ / "in"),
             "--set",
             "workDirectory=",
             "--set",
             "asasLogin=praxis",
             "--set",
             "trustCenter=TC test",
             "anonymize"};
    // How long an uninterrupted run takes here: the kills fall within that time.
    NextRound();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunProcess(argv_, env_, temp_ / "tmp").status, 0);
    runTime_ = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
  }

  std::string Work() const { return temp_ / ("work-" + std::to_string(round_)); }
  std::string Valid(const std::string& name) const { return Work() + "/valid/" + name; }

  // A fresh work folder with every invoice in "valid"; the command's arguments point at it.
  void NextRound() {
    ++round_;
    ASSERT_EQ(::mkdir(Work().c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((Work() + "/valid").c_str(), 0700), 0);
    for (const auto& [name, content] : invoices_) ASSERT_TRUE(WriteFile(Valid(name), content));
    argv_[6] = "workDirectory=" + Work();
  }

  // Every invoice still in "valid" or with a complete document in "output"; every visible file in
  // "output" a complete transfer document. Returns the names that have a document.
  std::map<std::string, int> CheckNothingLost(const std::string& when) {
    std::map<std::string, int> documents;
    std::vector<std::string> names;
    ListRegularFiles(Work() + "/output", &names);
    for (const std::string& file : names) {
      const std::string name = DocumentName(Work() + "/output/" + file);
      EXPECT_FALSE(name.empty()) << file << " is not a complete document " << when;
      ++documents[name];
    }
    for (const auto& [invoice, content] : invoices_)
      EXPECT_TRUE(FileExists(Valid(invoice)) || documents.count(invoice))
          << invoice << " lost " << when;
    return documents;
  }

  static constexpr const char* kSamples = QENDIX_SOURCE_DIR "/tests/formats/data/xmlinvoice";
  AsasHome home_;
  TempDir temp_;
  std::vector<std::pair<std::string, std::string>> invoices_;  // name, content
  std::chrono::milliseconds runTime_{0};
  std::vector<std::string> env_;
  std::vector<std::string> argv_;
  int round_ = 0;
};

TEST_F(AnonymizeKillTest, AKillAtAnyInstantLosesNoInvoice) {
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> delay(0, static_cast<int>(runTime_.count()));
  int midway = 0;  // kills that left some invoices done and others not
  for (int kill = 0; kill < 12; ++kill) {
    NextRound();
    ASSERT_TRUE(RunAndKill(argv_, env_, delay(random)));
    const size_t done = CheckNothingLost("after kill " + std::to_string(kill)).size();
    if (done > 0 && done < invoices_.size()) ++midway;

    // The next run finishes the work and clears what the killed one left behind.
    ProcessResult next = RunProcess(argv_, env_, temp_ / "tmp");
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    std::map<std::string, int> documents = CheckNothingLost("after the run after kill");
    for (const auto& [invoice, content] : invoices_) {
      EXPECT_FALSE(FileExists(Valid(invoice))) << invoice;
      EXPECT_GE(documents[invoice], 1) << invoice;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> output(::opendir((Work() + "/output").c_str()), ::closedir);
    ASSERT_TRUE(output);
    while (dirent* entry = ::readdir(output.get())) {
      const std::string name = entry->d_name;
      EXPECT_TRUE(name[0] != '.' || name == "." || name == "..") << name << " left behind";
    }
    // The killed run's message folder went at the next job start, the next run's at its end.
    std::unique_ptr<DIR, int (*)(DIR*)> tmp(::opendir((temp_ / "tmp").c_str()), ::closedir);
    ASSERT_TRUE(tmp);
    while (dirent* entry = ::readdir(tmp.get()))
      EXPECT_NE(std::string(entry->d_name).rfind("qendix-msg-", 0), 0u) << entry->d_name;
  }
  RecordProperty("kills_midway", midway);
  RecordProperty("run_ms", static_cast<int>(runTime_.count()));
}

}  // namespace
}  // namespace qx::testing
