// The Sender step through the component, against the reference Trust Center on loopback (which
// accepts the fake security client's envelopes without opening them): the outcome of each file,
// its events in German and French, and the Trust Center failing in each way.
#include "steps/sender.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <ctime>
#include <memory>

#include "../crypto/fake_asas.h"
#include "common/component_fixture.h"
#include "common/reference_trust_center.h"
#include "platform/file_system.h"

namespace qx::testing {
namespace {

std::string Transfer(const std::string& name, const std::string& id, const std::string& rcpt) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<qendix:datatransfer "
         "xmlns:qendix=\"http://www.qendix.org/transfer/v1\" rcpt=\"" +
         rcpt + "\"><qendix:data name=\"" + name +
         "\" type=\"anonymized\"><request xmlns=\"http://www.xmlData.ch/xmlInvoice/XSD\">"
         "<invoice invoice_id=\"" +
         id +
         "\"/><balance amount=\"10.00\"/><provider zsr=\"Z123456\"/></request></qendix:data>"
         "<qendix:data type=\"patient\">c2VhbGVk</qendix:data></qendix:datatransfer>\n";
}

// The same in the shape of the invoice versions 4.5 and 5.0 (keys below payload/body/tiers_*).
std::string CurrentTransfer(const std::string& name, const std::string& id) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<qendix:datatransfer "
         "xmlns:qendix=\"http://www.qendix.org/transfer/v1\" rcpt=\"tc-test\"><qendix:data "
         "name=\"" +
         name +
         "\" type=\"anonymized\"><request xmlns=\"http://www.forum-datenaustausch.ch/invoice\">"
         "<payload><invoice request_id=\"" +
         id +
         "\"/><body><tiers_garant><provider zsr=\"Z123456\"/><balance amount=\"10.00\"/>"
         "</tiers_garant></body></payload></request></qendix:data></qendix:datatransfer>\n";
}

class Sender : public ComponentTest {
 protected:
  void SetUp() override {
    for (const char* n : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(n);
    ComponentTest::SetUp();
    InstallFakeAsas();
    FakeAsas().logins = {"praxis"};
    mkdir(Work("output").c_str(), 0700);
    mkdir((temp_ / "store").c_str(), 0700);
    WriteFile(ModuleDir() + "/qendix.log",
              "qxdl-1.0\r\nDUP1|10.00|" + std::to_string(std::time(nullptr)) + "|Z123456\r\n");
  }
  // Starts the Trust Center with `flags` and names it in the directory.
  void StartTrustCenter(const std::vector<std::string>& flags = {}) {
    std::vector<std::string> all = {"--accept-without-opening"};
    all.insert(all.end(), flags.begin(), flags.end());
    tc_ = std::make_unique<ReferenceTrustCenter>(temp_ / "store", "", "", "tc-test", all);
    ASSERT_NE(tc_->Port(), 0);
    WriteCenters(tc_->CentersDocument());
  }
  void Create() {
    ComponentTest::Create();
    ASSERT_EQ(q_->put_asasLogin(std::string("praxis")), S_OK);
    ASSERT_EQ(q_->put_trustCenter(std::string("TC test")), S_OK);
  }
  void Out(const std::string& name, const std::string& content) {
    ASSERT_TRUE(WriteFile(Work("output/" + name), content));
  }
  void Run() {
    ASSERT_EQ(q_->Send(), S_OK);
    ASSERT_TRUE(events_->WaitForEnd(moPSender));
  }
  // The events naming `file`, as "level|origin|code|msg".
  std::vector<std::string> About(const std::string& file) {
    std::vector<std::string> out;
    for (const auto& e : events_->Events())
      if (e.file == file && e.level > mlDebug && e.origin <= moPSender)
        out.push_back(std::to_string(e.level) + "|" + std::to_string(e.origin) + "|" +
                      std::to_string(e.code) + "|" + e.msg.value_or("(null)"));
    return out;
  }
  std::string Day() {
    BStr session;
    q_->get_session(&session);
    return session.value_or("");
  }

  std::unique_ptr<ReferenceTrustCenter> tc_;
};

TEST_F(Sender, EachFileGoesWhereItsChecksSay) {
  StartTrustCenter();
  Out("good.xml", Transfer("good.xml", "S1", "tc-test"));
  Out("dup.xml", Transfer("dup.xml", "DUP1", "tc-test"));
  Out("other.xml", Transfer("other.xml", "S2", "TC-TEST"));
  Out("junk.xml", "<?xml version=\"1.0\"?><broken");
  Out("current.xml", CurrentTransfer("current.xml", "C1"));
  Out("currentdup.xml", CurrentTransfer("currentdup.xml", "DUP1"));
  Create();
  // A document of the same name archived earlier today is kept.
  mkdir(Work("archive").c_str(), 0700);
  Run();
  const std::string archive = Work("archive/" + Day());
  EXPECT_TRUE(FileExists(archive + "/good.xml"));
  EXPECT_TRUE(FileExists(archive + "/current.xml"));
  for (const char* f : {"dup.xml", "currentdup.xml", "other.xml", "junk.xml"})
    EXPECT_TRUE(FileExists(Work("err/" + Day() + "/") + f)) << f;
  EXPECT_EQ(About("good.xml"), std::vector<std::string>{"1|4|2|Datei übermittelt"});
  EXPECT_EQ(About("current.xml"), std::vector<std::string>{"1|4|2|Datei übermittelt"});
  for (const char* f : {"dup.xml", "currentdup.xml"})
    EXPECT_EQ(About(f), std::vector<std::string>{"3|1|12|Doppelte Rechnung"}) << f;
  EXPECT_EQ(About("other.xml"), std::vector<std::string>{
                                    "3|1|22|Datei ist für ein anderes Trust Center verschlüsselt"});
  EXPECT_EQ(About("junk.xml"), std::vector<std::string>{"3|1|10|Unbekanntes Dateiformat"});
  EXPECT_EQ(events_->Events().back().msg,
            BStr("Senden abgeschlossen: 2 kopiert, 4 fehlerhafte Rechnungsdateien"));
  const std::string registered = ReadFile(ModuleDir() + "/qendix.log");
  EXPECT_NE(registered.find("\nS1|10.00|"), std::string::npos);
  EXPECT_NE(registered.find("\nC1|10.00|"), std::string::npos);
  EXPECT_EQ(tc_->Received().size(), 2u);

  // The same name again: archived beside the first under the next numbered name.
  Out("good.xml", Transfer("good.xml", "S3", "tc-test"));
  ASSERT_EQ(q_->Send(), S_OK);
  ASSERT_TRUE(events_->WaitForEnd(moPSender, 2));
  EXPECT_TRUE(FileExists(archive + "/good.xml.1"));
}

// Each way the Trust Center can misbehave, on the write or on the session's opening: the file
// stays in "output" (the gate's refusal sets it aside), unregistered, with clear events; the next
// run against a sound Trust Center delivers it once more than the failing run did.
TEST_F(Sender, EveryMisbehaviourOfTheTrustCenterKeepsTheFileForTheNextRun) {
  using namespace std::chrono_literals;
  XmlRpcClient::SetDefaultTimeoutsForTesting(5s, 3s);
  const std::string write = "qendix.inputgate.write", open = "qendix.session.new";
  const std::string failed = "4|17|*|Übermittlung fehlgeschlagen",
                    notCopied = "4|3|*|Datei nicht kopiert",
                    noConnection = "4|16|-|Keine Verbindung";
  struct Case {
    std::vector<std::string> flags;
    std::vector<std::string> problems;  // "origin|code|file|message", * for the file's name
    bool staysInOutput = true;
    int acceptedByFailingRun = 0;
  } cases[] = {
      {{"--fail", "refuse"}, {"6|2006|*|Dokument abgelehnt: Annahme geschlossen", failed}, false},
      {{"--fail", "http500", "--fail-only", write},
       {"5|500|-|Internal Server Error", failed, notCopied}},
      {{"--fail", "http503", "--fail-only", write},
       {"5|503|-|Service Unavailable", failed, notCopied}},
      {{"--fail", "http404", "--fail-only", open}, {"5|404|-|HTTP Error: Not Found", noConnection}},
      {{"--fail", "fault", "--fail-only", write},
       {"5|900|-|Trust Center außer Betrieb", failed, notCopied}},
      {{"--fail", "fault", "--fail-only", open},
       {"5|900|-|Trust Center außer Betrieb", noConnection}},
      {{"--fail", "truncated", "--fail-only", write}, {failed, notCopied}},
      {{"--fail", "malformed", "--fail-only", write}, {failed, notCopied}},
      {{"--fail", "entities", "--fail-only", write}, {failed, notCopied}},
      {{"--fail", "html", "--fail-only", write}, {failed, notCopied}},
      {{"--fail", "huge", "--fail-only", write}, {failed, notCopied}},
      {{"--fail", "huge", "--fail-only", open}, {noConnection}},
      {{"--slow", "8", "--fail-only", write}, {failed, notCopied}},
      // Received and accepted, but the answer trickles in for longer than the client waits: the
      // outcome is unknown to the client, so the file goes again.
      {{"--fail", "trickle", "--slow", "8", "--fail-only", write}, {failed, notCopied}, true, 1},
      {{"--fail", "drop", "--fail-only", write}, {failed, notCopied}},
      {{"--fail", "drop", "--fail-only", open}, {noConnection}},
      {{"--fail", "redirect", "--fail-only", write},
       {"5|307|-|Temporary Redirect", failed, notCopied}},
      {{"--fail", "redirect", "--fail-only", open},
       {"5|307|-|HTTP Error: Temporary Redirect", noConnection}},
      // https with a certificate nobody trusts: refused before anything is sent.
      {{"--tls"}, {noConnection}},
  };
  int number = 0;
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& flag : c.flags) label += flag + " ";
    SCOPED_TRACE(label);
    const std::string name = "c" + std::to_string(++number) + ".xml", id = "T" + name;
    auto accepted = [&] {
      int n = 0;
      for (const std::string& line : tc_->Received())
        n += line.find("\taccepted\t" + name + "\t") != std::string::npos;
      return n;
    };
    auto registered = [&] {
      return ReadFile(ModuleDir() + "/qendix.log").find("\n" + id + "|") != std::string::npos;
    };
    const size_t requestsBefore = ReadFile(temp_ / "store/requests.log").size();
    StartTrustCenter(c.flags);
    events_->Clear();
    Out(name, Transfer(name, id, "tc-test"));
    Create();
    Run();
    std::vector<std::string> problems;
    for (const auto& e : events_->Events()) {
      if (e.level < mlWarning) continue;
      std::string file = e.file ? (*e.file == name ? "*" : *e.file) : "-";
      problems.push_back(std::to_string(e.origin) + "|" + std::to_string(e.code) + "|" + file +
                         "|" + e.msg.value_or("(null)"));
    }
    EXPECT_EQ(problems, c.problems);
    EXPECT_EQ(FileExists(Work("output/" + name)), c.staysInOutput);
    EXPECT_FALSE(registered());
    EXPECT_EQ(accepted(), c.acceptedByFailingRun);
    auto requests = [&] { return ReadFile(temp_ / "store/requests.log").substr(requestsBefore); };
    if (!c.flags.empty() && c.flags[0] == "--tls") {
      EXPECT_NE(requests().find("TLS handshake failed"), std::string::npos);
      EXPECT_EQ(requests().find("POST"), std::string::npos) << requests();
    }
    if (c.flags.size() > 1 && c.flags[1] == "huge") {
      // The client stopped reading long before the 64 MiB end (the rest is socket buffers).
      for (int i = 0; i < 200 && requests().find("huge reply") == std::string::npos; ++i)
        usleep(10000);
      const size_t at = requests().find("huge reply: ");
      ASSERT_NE(at, std::string::npos);
      EXPECT_LT(std::stoll(requests().substr(at + 12)), 32ll << 20);
    }
    tc_.reset();
    if (!c.staysInOutput) continue;
    StartTrustCenter();
    events_->Clear();
    Run();
    EXPECT_EQ(About(name), std::vector<std::string>{"1|4|2|Datei übermittelt"});
    EXPECT_TRUE(registered());
    EXPECT_EQ(accepted(), c.acceptedByFailingRun + 1);
    tc_.reset();
  }
}

TEST_F(Sender, WithoutAConnectionNothingIsTouchedAndFrenchTextsFollowTheLanguage) {
  setenv("LANGUAGE", "fr", 1);
  StartTrustCenter();
  WriteCenters(tc_->CentersDocument());
  tc_.reset();  // nobody listens there any more
  Out("a.xml", Transfer("a.xml", "S1", "tc-test"));
  Create();
  Run();
  EXPECT_TRUE(FileExists(Work("output/a.xml")));
  std::vector<std::string> lines;
  for (const auto& e : events_->Events())
    if (e.level > mlDebug) lines.push_back(std::to_string(e.code) + "|" + e.msg.value_or(""));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "0|Envoyer démarré", "1|1 Fichiers en travail", "16|Pas de connection",
                       "1|Envoyer términé: 0 copiés, 0 erreurs dans les fichiers des factures"}));
}

TEST_F(Sender, AnEmptyOutputStillRefreshesTheDirectory) {
  StartTrustCenter();
  Create();
  Run();
  std::vector<std::string> lines;
  for (const auto& e : events_->Events())
    if (e.level > mlDebug) lines.push_back(std::to_string(e.code) + "|" + e.msg.value_or(""));
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "0|Senden gestartet", "0|0 Dateien werden bearbeitet", "4|Keine Datei gefunden",
                "1|Senden abgeschlossen: 0 kopiert, 0 fehlerhafte Rechnungsdateien"}));
  EXPECT_NE(ReadFile(temp_ / "store/requests.log").find("GET /centers/qendix.xml"),
            std::string::npos);
}

TEST_F(Sender, CancelEndsAnExchangeInProgressAndTheFileStays) {
  StartTrustCenter({"--slow", "60", "--fail-only", "qendix.inputgate.write"});
  Out("a.xml", Transfer("a.xml", "S1", "tc-test"));
  Create();
  ASSERT_EQ(q_->Send(), S_OK);
  // Wait until the document is on its way, then cancel.
  for (int i = 0; i < 1000; ++i) {
    if (ReadFile(temp_ / "store/requests.log").find("inputgate.write") != std::string::npos) break;
    usleep(10000);
  }
  ASSERT_EQ(q_->Cancel(), S_OK);
  // Well before the Trust Center's minute is over.
  ASSERT_TRUE(events_->WaitForEnd(moPSender));
  EXPECT_TRUE(FileExists(Work("output/a.xml")));
  EXPECT_EQ(About("a.xml").front(), "3|4|17|Übermittlung fehlgeschlagen");
}

}  // namespace
}  // namespace qx::testing
