// The transform's defences: which files it refuses to load, what a stylesheet may not do, and
// that any failure leaves nothing to save.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "anonymization/transform_fixture.h"
#include "common/http_server.h"
#include "crypto/message_file.h"

namespace qx::testing {
namespace {

using TransformSafetyTest = TransformFixture;

std::string Stylesheet(const std::string& body, const std::string& version = "1.0") {
  return "<xsl:stylesheet version=\"" + version +
         "\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
         "<xsl:template match=\"/\"><r>" +
         body + "</r></xsl:template></xsl:stylesheet>";
}

TEST_F(TransformSafetyTest, LoadRefusesWhatIsNoPlainWellFormedInvoice) {
  const std::string good = work_ / "good.xml";
  ASSERT_TRUE(WriteFile(good, Invoice("")));
  ASSERT_EQ(::symlink(good.c_str(), (work_ / "link.xml").c_str()), 0);
  ASSERT_EQ(::mkfifo((work_ / "fifo.xml").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((work_ / "dir.xml").c_str(), 0700), 0);
  {
    int fd = ::open((work_ / "huge.xml").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kMaxInvoiceBytes) + 1), 0);
    ::close(fd);
  }
  const std::string secret = work_ / "secret.txt";
  ASSERT_TRUE(WriteFile(secret, "Anna Robert"));
  const std::pair<std::string, std::string> files[] = {
      {"broken.xml", "<invoice:request xmlns:invoice=\"urn:i\"><a></invoice:request>"},
      {"prefix.xml", "<invoice:request><x:a/></invoice:request>"},
      {"entity.xml", "<!DOCTYPE r [<!ENTITY name \"Anna Robert\">]><r><p>&name;</p></r>"},
      {"entity-attribute.xml", "<!DOCTYPE r [<!ENTITY name \"Anna\">]><r a=\"&name;\"/>"},
      {"external.xml",
       "<!DOCTYPE r [<!ENTITY s SYSTEM \"file://" + secret + "\">]><r><p>&s;</p></r>"},
      {"other.xml",
       "<request xmlns=\"http://www.forum-datenaustausch.ch/invoice/next\"><patient>"
       "<familyname>Robert</familyname></patient></request>"},
      {"plain.xml", "<request><patient><familyname>Robert</familyname></patient></request>"},
  };
  for (const auto& [name, content] : files) ASSERT_TRUE(WriteFile(work_ / name, content));

  const std::pair<std::string, HRESULT> rows[] = {
      {"link.xml", HresultFromErrno(ELOOP)},
      {"fifo.xml", HresultFromErrno(EINVAL)},
      {"dir.xml", HresultFromErrno(EINVAL)},
      {"missing.xml", HresultFromErrno(ENOENT)},
      {"huge.xml", HresultFromErrno(EFBIG)},
      {"broken.xml", E_FAIL},
      {"prefix.xml", E_FAIL},
      {"entity.xml", E_FAIL},
      {"entity-attribute.xml", E_FAIL},
      {"external.xml", E_FAIL},
      {"other.xml", E_NOTIMPL},  // a namespace no stylesheet masks
      {"plain.xml", E_NOTIMPL},
  };
  for (const auto& [name, expected] : rows) {
    ASSERT_EQ(transform_.LoadInput(good), S_OK);
    EXPECT_EQ(transform_.LoadInput(work_ / name), expected) << name;
    // The invoice loaded before is gone: nothing stale can be transformed.
    EXPECT_EQ(transform_.Transform(name, "R", false, context_), E_UNEXPECTED) << name;
  }
}

TEST_F(TransformSafetyTest, StylesheetMayNotReadOrWriteFilesOrUseTheNetwork) {
  const std::string secret = work_ / "secret.xml";
  ASSERT_TRUE(WriteFile(secret, "<s>Anna Robert</s>"));
  const std::string written = work_ / "written.xml";
  HttpServer server;
  server.Set("/x.xml", "<s>remote</s>");
  const std::string rows[] = {
      Stylesheet("<xsl:copy-of select=\"document('" + secret + "')\"/>"),
      Stylesheet("<xsl:copy-of select=\"document('file://" + secret + "')\"/>"),
      Stylesheet("<xsl:copy-of select=\"document('" + server.BaseUrl() + "/x.xml')\"/>"),
      Stylesheet("<xsl:document href=\"" + written + "\"><w/></xsl:document>", "1.1"),
      Stylesheet("<xsl:document href=\"" + (work_ / "new/written.xml") + "\"><w/></xsl:document>",
                 "1.1"),
  };
  // Unprotected, the first stylesheet would read the file.
  for (const std::string& stylesheet : rows) {
    AnonymizationTransform transform(events_, "", stylesheet);
    ASSERT_TRUE(transform.Loaded()) << stylesheet;
    std::string document = "left over";
    EXPECT_EQ(Anonymize(transform, Invoice(""), &document), E_FAIL) << stylesheet;
    EXPECT_FALSE(transform.ErrorText().empty());
    EXPECT_EQ(transform.SaveOutput(&document), E_UNEXPECTED);
    EXPECT_EQ(document, "left over");
  }
  EXPECT_EQ(server.RequestCount(), 0);
  EXPECT_FALSE(FileExists(written));
  EXPECT_FALSE(FileExists(work_ / "new"));
}

TEST_F(TransformSafetyTest, FailingCodeCallFailsTheWholeTransform) {
  const std::string invoice =
      Invoice(Patient("ssn=\"756\""), "<invoice:guarantor>G</invoice:guarantor>");
  constexpr HRESULT kRefused = static_cast<HRESULT>(0x80091234);
  struct Row {
    const char* what;
    std::function<void()> setup;
    HRESULT expected;
    size_t encryptCalls;  // the transform stops at the first failure
  };
  const Row rows[] = {
      {"envelope refused", [] { FakeAsas().failures["SmimeEncrypt"] = kRefused; }, kRefused, 1},
      {"no running anonymizer", [this] { context_.reset(); }, E_UNEXPECTED, 0},
      {"PDF refused", [this] { context_->SetValidFolder(work_ / "gone"); },
       HresultFromErrno(ENOENT), 3},
  };
  for (const Row& row : rows) {
    InstallFakeAsas();
    NewContext();
    AddPdf();
    row.setup();
    std::string document = "left over";
    EXPECT_EQ(Anonymize(transform_, invoice, &document, /*withPdf=*/true), row.expected)
        << row.what;
    EXPECT_NE(transform_.ErrorText().find("code:"), std::string::npos) << transform_.ErrorText();
    EXPECT_EQ(transform_.SaveOutput(&document), E_UNEXPECTED) << row.what;
    EXPECT_EQ(document, "left over");
    size_t encrypts = 0;
    for (const std::string& call : FakeAsas().calls) encrypts += call == "SmimeEncrypt";
    EXPECT_EQ(encrypts, row.encryptCalls) << row.what;
    if (context_) {
      EXPECT_TRUE(context_->EnvelopedPdfs().empty()) << row.what;
    }
  }
}

TEST_F(TransformSafetyTest, ParameterThatWouldBreakTheDocumentIsRefused) {
  ASSERT_TRUE(WriteFile(work_ / "inv.xml", Invoice("")));
  ASSERT_EQ(transform_.LoadInput(work_ / "inv.xml"), S_OK);
  EXPECT_EQ(transform_.Transform("a\x01.xml", "R", false, context_), E_INVALIDARG);
  EXPECT_EQ(transform_.Transform("a.xml", "R\xFF", false, context_), E_INVALIDARG);
  EXPECT_EQ(transform_.Transform("a.xml", "R", false, context_), S_OK);
  AnonymizationTransform badGenerator(events_, "V2\x1B[0m");
  ASSERT_EQ(badGenerator.LoadInput(work_ / "inv.xml"), S_OK);
  EXPECT_EQ(badGenerator.Transform("a.xml", "R", false, context_), E_INVALIDARG);
}

TEST_F(TransformSafetyTest, XsltLoadedOnceAndOnlyWhenTheStylesheetCompiles) {
  std::vector<TargetEvent> events = events_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, mlDebug);
  EXPECT_EQ(events[0].mclass, mcModule);
  EXPECT_EQ(events[0].origin, moPAnonymizer);
  EXPECT_EQ(events[0].code, 0);
  EXPECT_FALSE(events[0].fileName.has_value());
  EXPECT_EQ(events[0].msg, BStr("XSLT loaded"));
  EXPECT_TRUE(transform_.Loaded());

  for (const std::string& stylesheet :
       {std::string(), std::string("<xsl:stylesheet"), std::string("<not-a-stylesheet/>")}) {
    RecordingEvents quiet;
    AnonymizationTransform broken(quiet, "gen", stylesheet);
    EXPECT_FALSE(broken.Loaded());
    EXPECT_TRUE(quiet.Events().empty());
    ASSERT_TRUE(WriteFile(work_ / "inv.xml", Invoice("")));
    EXPECT_EQ(broken.LoadInput(work_ / "inv.xml"), S_OK);
    EXPECT_EQ(broken.Transform("inv.xml", "R", false, context_), E_UNEXPECTED);
  }
}

}  // namespace
}  // namespace qx::testing
