// The Anonymizer step through the component, with the in-memory security client: what lands in
// "output", what stays in "valid", the events of a mixed run, its preconditions, and the rules that
// keep every invoice somewhere (no unsent document replaced, a failed invoice left with its PDFs).
#include "steps/anonymizer.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "../crypto/fake_asas.h"
#include "common/component_fixture.h"
#include "platform/file_system.h"

namespace qx::testing {
namespace {

const std::string kNs = "http://www.xmlData.ch/xmlInvoice/XSD";

std::string XmlInvoice(const std::string& id, const std::string& codingLine = "") {
  std::string esr = codingLine.empty() ? "" : "<esr9 coding_line=\"" + codingLine + "\"/>";
  return "<?xml version=\"1.0\"?>\n<request xmlns=\"" + kNs + "\"><invoice invoice_id=\"" + id +
         "\"/><patient patient_id=\"P-7\"><person><familyname>Muster</familyname>"
         "<givenname>Hans</givenname><postal><zip>8001</zip></postal></person></patient>" +
         esr + "</request>\n";
}

const char* const kGni =
    "[DEBITOR1]\r\n106=Z123456\r\n[ADRPAT1]\r\n132=Muster\r\n133=Hans\r\n"
    "[INFC1]\r\n115=G1\r\n119=12345\r\n";

class Anonymizer : public ComponentTest {
 protected:
  void SetUp() override {
    for (const char* n : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(n);
    ComponentTest::SetUp();
    InstallFakeAsas();
    FakeAsas().logins = {"praxis"};
    FakeAsas().certificates["tc-test"] = "QUJD";
    WriteCenters();
    mkdir(Work("valid").c_str(), 0700);
  }
  void Create(bool withPdf) {
    ComponentTest::Create();
    ASSERT_EQ(q_->put_asasLogin(std::string("praxis")), S_OK);
    ASSERT_EQ(q_->put_trustCenter(std::string("TC test")), S_OK);
    ASSERT_EQ(q_->put_withPDF(withPdf ? VARIANT_TRUE : VARIANT_FALSE), S_OK);
  }
  void Valid(const std::string& name, const std::string& content) {
    ASSERT_TRUE(WriteFile(Work("valid/" + name), content));
  }
  void Run() {
    ASSERT_EQ(q_->Anonymize(), S_OK);
    ASSERT_TRUE(events_->WaitForEnd(moPAnonymizer, ++runs_));
  }
  int runs_ = 0;
  // The events of the step that name `file`, as "level|class|code|msg".
  std::vector<std::string> About(const std::string& file) {
    std::vector<std::string> out;
    for (const auto& e : events_->Events())
      if (e.file == file && e.level > mlDebug)
        out.push_back(std::to_string(e.level) + "|" + std::to_string(e.mclass) + "|" +
                      std::to_string(e.code) + "|" + e.msg.value_or("(null)"));
    return out;
  }
  std::string ErrorDir() {
    BStr session;
    q_->get_session(&session);
    return Work("err/" + session.value_or(""));
  }
  std::vector<std::string> TypesIn(const std::string& path) {
    std::vector<std::string> types;
    xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    if (!doc) return {"<not well-formed>"};
    for (xmlNode* n = xmlDocGetRootElement(doc)->children; n; n = n->next) {
      if (n->type != XML_ELEMENT_NODE || xmlStrcmp(n->name, BAD_CAST "data") != 0) continue;
      xmlChar* type = xmlGetProp(n, BAD_CAST "type");
      xmlChar* name = xmlGetProp(n, BAD_CAST "name");
      types.push_back(std::string(reinterpret_cast<char*>(type)) +
                      (name ? ":" + std::string(reinterpret_cast<char*>(name)) : ""));
      xmlFree(type);
      xmlFree(name);
    }
    xmlFreeDoc(doc);
    return types;
  }
};

TEST_F(Anonymizer, AMixedRunWithPdfs) {
  Valid("a.xml", XmlInvoice("A1", "01>12+ 3>"));
  Valid("01_12_3_.pdf", "%PDF-1.4 a");
  Valid("other.pdf", "%PDF-1.4 b");
  Valid("g.gni", kGni);
  Valid("broken.xml", "<?xml version=\"1.0\"?><request");
  Create(true);
  Run();

  EXPECT_EQ(
      TypesIn(Work("output/a.xml")),
      (std::vector<std::string>{"anonymized:a.xml", "patient", "patient_ids", "pdf:01_12_3_.pdf"}));
  EXPECT_EQ(TypesIn(Work("output/g.gni")),
            (std::vector<std::string>{"anonymized:g.gni", "patient"}));
  for (const char* gone : {"a.xml", "g.gni", "01_12_3_.pdf"})
    EXPECT_FALSE(FileExists(Work("valid/") + gone)) << gone;
  // The broken invoice stays, and so does the PDF nobody claimed: its invoice may have failed.
  EXPECT_TRUE(FileExists(Work("valid/broken.xml")));
  EXPECT_TRUE(FileExists(Work("valid/other.pdf")));
  EXPECT_EQ(About("broken.xml"),
            (std::vector<std::string>{"3|1|15|Datei kann nicht anonymisiert werden",
                                      "2|2|3|Datei nicht kopiert"}));
  EXPECT_EQ(About("a.xml"), std::vector<std::string>{"1|2|2|Datei anonymisiert"});
  EXPECT_EQ(About("01_12_3_.pdf"), std::vector<std::string>{"1|2|2|Datei verschlüsselt"});
  EXPECT_EQ(About("other.pdf"), std::vector<std::string>{"2|2|3|Datei nicht kopiert"});
  EXPECT_EQ(events_->Events().back().msg,
            BStr("Anonymisieren abgeschlossen: 3 kopiert, 0 fehlerhafte Rechnungsdateien"));

  // Without the broken invoice the unclaimed PDF goes to the error folder.
  ASSERT_EQ(::unlink(Work("valid/broken.xml").c_str()), 0);
  Run();
  EXPECT_EQ(About("other.pdf").back(), "3|2|14|Unreferenzierte PDF-Datei");
  EXPECT_TRUE(FileExists(ErrorDir() + "/other.pdf"));
}

TEST_F(Anonymizer, WithoutPdfOptionAPdfIsUnexpectedAndFrenchTextsFollowTheLanguage) {
  setenv("LANGUAGE", "fr", 1);
  Valid("slip.pdf", "%PDF-1.4");
  Valid("a.xml", XmlInvoice("A1"));
  Create(false);
  Run();
  EXPECT_EQ(About("slip.pdf"), std::vector<std::string>{"3|2|10|Fichier inattendu"});
  EXPECT_TRUE(FileExists(ErrorDir() + "/slip.pdf"));
  EXPECT_EQ(About("a.xml"), std::vector<std::string>{"1|2|2|Fichier anonymisé"});
  EXPECT_EQ(events_->Events().back().msg,
            BStr("Anonymiser términé: 1 copiés, 1 erreurs dans les fichiers des factures"));
}

// The stylesheet masks the 4.0 namespace only: an invoice of a newer version is never sent
// unmasked.
TEST_F(Anonymizer, AnInvoiceTheStylesheetCannotMaskStaysInValid) {
  // A namespace neither stylesheet masks.
  Valid("newer.xml",
        "<?xml version=\"1.0\"?><request xmlns=\"http://www.forum-datenaustausch.ch/invoice/next\">"
        "<patient><familyname>Robert</familyname></patient></request>");
  Create(false);
  Run();
  EXPECT_TRUE(FileExists(Work("valid/newer.xml")));
  EXPECT_FALSE(FileExists(Work("output/newer.xml")));
  EXPECT_EQ(About("newer.xml").back(), "2|2|3|Datei nicht kopiert");
}

TEST_F(Anonymizer, AnUnsentDocumentIsNeverReplaced) {
  ASSERT_EQ(mkdir(Work("output").c_str(), 0700), 0);
  ASSERT_TRUE(WriteFile(Work("output/a.xml"), "waiting to be sent"));
  Valid("a.xml", XmlInvoice("A1"));
  Create(false);
  Run();
  EXPECT_EQ(ReadFile(Work("output/a.xml")), "waiting to be sent");
  EXPECT_EQ(TypesIn(Work("output/a.xml.1")).front(), "anonymized:a.xml");
  // No temporary file is left in "output".
  std::vector<std::string> names;
  ASSERT_EQ(ListRegularFiles(Work("output"), &names), S_OK);
  EXPECT_EQ(names.size(), 2u);
}

// The envelopes of a run share one private message folder, which is gone when the run ends, also
// after a run whose envelopes failed in the middle of their transforms.
TEST_F(Anonymizer, TheRunsMessageFolderIsGoneAfterTheRunAlsoWhenEnvelopesFail) {
  TempDir tmp;
  setenv("TMPDIR", tmp.path().c_str(), 1);
  Valid("a.xml", XmlInvoice("A1"));
  Valid("g.gni", kGni);
  Create(false);
  Run();
  const auto& saved = FakeAsas().savedPaths;
  ASSERT_GE(saved.size(), 2u);
  for (const std::string& path : saved)
    EXPECT_EQ(path.substr(0, path.rfind('/')), saved[0].substr(0, saved[0].rfind('/')));
  EXPECT_EQ(saved[0].rfind(tmp.path() + "/qendix-msg-", 0), 0u);
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));

  FakeAsas().failures["SmimeEncrypt"] = E_ACCESSDENIED;
  Valid("b.xml", XmlInvoice("B1"));
  Run();
  EXPECT_EQ(About("b.xml").back(), "2|2|3|Datei nicht kopiert");
  EXPECT_TRUE(FileExists(Work("valid/b.xml")));
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
  unsetenv("TMPDIR");
}

TEST_F(Anonymizer, PreconditionsStopTheStepBeforeAnyFile) {
  struct Case {
    const char* label;
    std::function<void(IQendix*)> set;
    std::string event;  // origin|code
  } cases[] = {
      {"short work directory", [](IQendix* q) { q->put_workDirectory(std::string(".")); }, "1|7"},
      {"no login", [](IQendix* q) { q->put_asasLogin(std::string()); }, "1|8"},
      {"unknown Trust Center", [](IQendix* q) { q->put_trustCenter(std::string("nowhere")); },
       "4|9"},
  };
  Valid("a.xml", XmlInvoice("A1"));
  Create(false);
  for (const Case& c : cases) {
    events_->Clear();
    runs_ = 0;
    c.set(q_.Get());
    Run();
    const auto events = events_->Events();
    ASSERT_GE(events.size(), 3u) << c.label;
    const auto& e = events[events.size() - 2];
    EXPECT_EQ(std::to_string(e.origin) + "|" + std::to_string(e.code), c.event) << c.label;
    EXPECT_TRUE(FileExists(Work("valid/a.xml"))) << c.label;
    Create(false);
  }
}

}  // namespace
}  // namespace qx::testing
