#include "crypto/envelopes.h"

#include <libxml/tree.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "common/temp_dir.h"
#include "crypto/anonymizer_context.h"
#include "crypto/envelope_workspace.h"
#include "crypto/smime_envelope.h"
#include "fake_asas.h"
#include "platform/class_registry.h"
#include "recording_events.h"

namespace qx {
namespace {

using testing::FakeAsas;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t EntriesIn(const std::string& folder) {
  size_t count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, BAD_CAST name);
  std::string text = value ? reinterpret_cast<char*>(value) : "";
  xmlFree(value);
  return text;
}

class EnvelopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::InstallFakeAsas();
    // Message files go below a folder of the test, so that leftovers can be seen.
    setenv("TMPDIR", tmp_.path().c_str(), 1);
    ASSERT_EQ(::mkdir(valid_.c_str(), 0700), 0);
    context_ = std::make_shared<AnonymizerContext>(&events_, moPAnonymizer);
    context_->SetSender("S");
    context_->SetRcpt("R");
    context_->SetValidFolder(valid_);
    context_->SetRetryWait([this] { ++waits_; });
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    SetAsasFactoryForTesting(nullptr);
  }

  void AddPdf(const std::string& name, const std::string& content) {
    ASSERT_TRUE(testing::WriteFile(valid_ + "/" + name, content));
    auto names = context_->PdfFiles();
    names.push_back(name);
    context_->SetPdfFiles(names);
  }

  // The message file the security client loaded, recovered from the fake's envelope body.
  static std::string LoadedMessage(const std::string& body) { return testing::DecodeBase64(body); }

  testing::TempDir tmp_;
  testing::TempDir work_;
  std::string valid_ = work_ / "valid";
  testing::RecordingEvents events_;
  std::shared_ptr<AnonymizerContext> context_;
  int waits_ = 0;
};

TEST_F(EnvelopeTest, TextGoesOutAsWindows1252WithCrLfAndNothingIsLeft) {
  std::string body;
  ASSERT_EQ(EncryptText(*context_, "<p>Zeile 1\nMüller €</p>\r\nEnde", &body), S_OK);
  const std::string expected = "From: S\r\nTo: R\r\n\r\n<p>Zeile 1\r\nM\xFCller \x80</p>\r\nEnde";
  EXPECT_EQ(FakeAsas().loaded, expected);
  EXPECT_EQ(LoadedMessage(body), expected);
  for (const auto& line : Lines(body)) EXPECT_EQ(line.find('\r'), std::string::npos);
  EXPECT_EQ(FakeAsas().fileMode, 0600u);
  EXPECT_EQ(FakeAsas().folderMode, 0700u);
  // The clear text was a memory file: it never had a name in a file system.
  ASSERT_EQ(FakeAsas().loadedPaths.size(), 1u);
  EXPECT_EQ(FakeAsas().loadedPaths[0].rfind("/proc/self/fd/", 0), 0u);
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u);
  EXPECT_EQ(waits_, 0);
}

// The Anonymizer's way: one workspace for the whole step. Its folder is private, empty between
// two envelopes, and removed when the workspace is closed; a message that cannot be a memory file
// is a private file in that folder, replaced by its envelope.
TEST_F(EnvelopeTest, AnOpenWorkspaceKeepsOnePrivateFolderUntilItIsClosed) {
  for (bool named : {false, true}) {
    FakeAsas().savedPaths.clear();
    ASSERT_EQ(context_->OpenEnvelopeWorkspace(), S_OK);
    if (named) {
      context_->WithEnvelopeWorkspace([](EnvelopeWorkspace& workspace) {
        workspace.Folder().UseNamedMessages();
        return S_OK;
      });
    }
    AddPdf("1.pdf", "pdf");
    std::string body;
    RefPtr<IXmlDocument> doc;
    ASSERT_EQ(EncryptText(*context_, "one", &body), S_OK);
    ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"1\"", &doc), S_OK);
    ASSERT_EQ(EncryptText(*context_, "two", &body), S_OK);

    const auto& saved = FakeAsas().savedPaths;
    ASSERT_EQ(saved.size(), 3u);
    const std::string folder = std::filesystem::path(saved[0]).parent_path();
    for (const std::string& path : saved)
      EXPECT_EQ(std::filesystem::path(path).parent_path(), folder) << named;
    EXPECT_EQ(FakeAsas().folderMode, 0700u);
    EXPECT_EQ(FakeAsas().fileMode, 0600u);
    EXPECT_EQ(FakeAsas().loadedPaths.back() == saved.back(), named);
    EXPECT_EQ(EntriesIn(tmp_.path()), 1u);
    EXPECT_EQ(EntriesIn(folder), 0u) << named;

    context_->CloseEnvelopeWorkspace();
    EXPECT_EQ(EntriesIn(tmp_.path()), 0u) << named;
  }
}

// A client that takes messages in memory gets the same message and gives the same body, and no
// file is made for it: not in the folder of the workspace, not anywhere below TMPDIR.
TEST_F(EnvelopeTest, AClientThatTakesMessagesInMemoryGetsThemWithoutAnyFile) {
  FakeAsas().offerMemory = true;
  ASSERT_EQ(context_->OpenEnvelopeWorkspace(), S_OK);
  const std::string pdf(100 * 1024 + 7, '\xE9');
  AddPdf("1.pdf", pdf);
  std::string body;
  ASSERT_EQ(EncryptText(*context_, "<p>M\xC3\xBCller\n</p>", &body), S_OK);
  EXPECT_EQ(LoadedMessage(body), "From: S\r\nTo: R\r\n\r\n<p>M\xFCller\r\n</p>");
  RefPtr<IXmlDocument> doc;
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"1\"", &doc), S_OK);
  const std::string& loaded = FakeAsas().loaded;
  ASSERT_EQ(loaded.rfind("From: S\nTo: R\n\n", 0), 0u);
  EXPECT_EQ(testing::DecodeBase64(loaded.substr(15)), pdf);
  EXPECT_EQ(FakeAsas().loadedPaths, (std::vector<std::string>{"(memory)", "(memory)"}));
  EXPECT_EQ(FakeAsas().savedPaths, (std::vector<std::string>{"(memory)", "(memory)"}));
  std::vector<std::string> files;
  for (auto& entry : std::filesystem::recursive_directory_iterator(tmp_.path()))
    if (!entry.is_directory()) files.push_back(entry.path());
  EXPECT_EQ(files, std::vector<std::string>{});
  EXPECT_EQ(waits_, 0);
  context_->CloseEnvelopeWorkspace();
}

TEST_F(EnvelopeTest, ALineBreakInSenderOrRecipientsIsRefused) {
  context_->SetRcpt("tc1\r\nTo: other");
  std::string body;
  EXPECT_EQ(EncryptText(*context_, "x", &body), E_INVALIDARG);
  AddPdf("1.pdf", "pdf");
  RefPtr<IXmlDocument> doc;
  EXPECT_EQ(EncryptPdfs(*context_, "coding_line=\"1\"", &doc), E_INVALIDARG);
  EXPECT_TRUE(FakeAsas().calls.empty());
}

TEST_F(EnvelopeTest, LoadAndSaveAreRetriedOneWaitApart) {
  FakeAsas().loadFailuresLeft = 3;
  FakeAsas().saveFailuresLeft = 2;
  std::string body;
  ASSERT_EQ(EncryptText(*context_, "x", &body), S_OK);
  EXPECT_EQ(waits_, 5);
  EXPECT_EQ(LoadedMessage(body), "From: S\r\nTo: R\r\n\r\nx");
}

TEST_F(EnvelopeTest, TenFailedLoadsReturnTheLastCodeAndLeaveNothingBehind) {
  FakeAsas().loadFailuresLeft = 10;
  FakeAsas().failures["SmimeLoad"] = static_cast<HRESULT>(0x80070020);  // sharing violation
  std::string body = "stale";
  EXPECT_EQ(EncryptText(*context_, "secret", &body), static_cast<HRESULT>(0x80070020));
  EXPECT_EQ(body, "");
  EXPECT_EQ(FakeAsas().loadedPaths.size(), 10u);
  EXPECT_EQ(waits_, 9);  // ten tries, one pause between two
  EXPECT_EQ(std::count(FakeAsas().calls.begin(), FakeAsas().calls.end(), "SmimeEncrypt"), 0);
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u);
}

TEST_F(EnvelopeTest, FailedEncryptionOrSaveReturnsItsCode) {
  FakeAsas().failures["SmimeEncrypt"] = E_ACCESSDENIED;
  std::string body;
  EXPECT_EQ(EncryptText(*context_, "x", &body), E_ACCESSDENIED);
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u);

  FakeAsas().failures.clear();
  FakeAsas().saveFailuresLeft = 10;
  EXPECT_EQ(EncryptText(*context_, "x", &body), E_ACCESSDENIED);
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u);
}

TEST_F(EnvelopeTest, MissingSecurityClientFailsEveryEnvelope) {
  FakeAsas().missing = {"ASAS.SMIME"};
  std::string body;
  EXPECT_EQ(EncryptText(*context_, "x", &body), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u);
}

TEST_F(EnvelopeTest, SavedFileWithoutBodyFailsAfterTenReads) {
  FakeAsas().envelope = [](const std::string&) {
    return std::string("Header: only\r\nMore: x\r\n");
  };
  std::string body;
  EXPECT_EQ(EncryptText(*context_, "x", &body), E_FAIL);
  EXPECT_EQ(waits_, 9);
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u);
}

TEST(ExtractEnvelopeBody, TakesTheLinesAfterTheFirstEmptyLine) {
  std::string body;
  ASSERT_TRUE(ExtractEnvelopeBody("A: 1\r\nB: 2\r\n\r\nline1\r\nline2\nlast", &body));
  EXPECT_EQ(body, "line1\nline2\nlast\n");
  ASSERT_TRUE(ExtractEnvelopeBody("A\n\nx\rjunk\n\nafter\n", &body));
  EXPECT_EQ(body, "x\n\nafter\n");  // cut at a CR in the line; later empty lines stay
  ASSERT_TRUE(ExtractEnvelopeBody("A\r\n\nx\n\nlast", &body));  // no CR in the body
  EXPECT_EQ(body, "x\n\nlast\n");
  EXPECT_FALSE(ExtractEnvelopeBody("A\nB\n", &body));
  EXPECT_FALSE(ExtractEnvelopeBody("A\n\n", &body));
  // A body line longer than 1023 bytes gives no body at all, never a cut-off one.
  EXPECT_FALSE(ExtractEnvelopeBody("A\n\nok\n" + std::string(1024, 'x') + "\nnever\n", &body));
  EXPECT_EQ(body, "");
  ASSERT_TRUE(ExtractEnvelopeBody("A\n\n" + std::string(1023, 'x') + "\n", &body));
  EXPECT_EQ(body.size(), 1024u);
  // The same limit for a line anywhere among many short ones, with or without its LF.
  std::string shortLines;
  for (int i = 0; i < 400; ++i) shortLines += "ab\n";
  for (size_t length : {1023u, 1024u})
    for (const char* end : {"\n", "\nz\n", ""}) {
      const std::string saved = "A\n\n" + shortLines + std::string(length, 'x') + end;
      EXPECT_EQ(ExtractEnvelopeBody(saved, &body), length == 1023u) << length << " " << end;
    }
}

TEST(CodingLineKey, UnescapesAndCleansTheReference) {
  EXPECT_EQ(QuotedValues("coding_line=\"01&gt;123+ 45&gt;\""),
            std::vector<std::string>{"01&gt;123+ 45&gt;"});
  EXPECT_EQ(CleanReference(UnescapeCodingLine("01&gt;123+ 45&gt;")), "01_123_45_");
  EXPECT_EQ(UnescapeCodingLine("a&lt;b&amp;c"), "a<bamp;c");  // other "&" dropped
  EXPECT_EQ(UnescapeCodingLine(std::string(200, '7')).size(), 128u);
  EXPECT_EQ(CleanReference("1-2 +<>"), "1_2___");
}

TEST_F(EnvelopeTest, PdfOfACodingLineBecomesADataElementAndStaysUntilSaved) {
  std::string pdf;
  for (int i = 0; i < 100; ++i) pdf += static_cast<char>(i * 13);
  AddPdf("other.pdf", "x");
  AddPdf("01_123_45_.pdf", pdf);
  RefPtr<IXmlDocument> doc;
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"01&gt;123+ 45&gt;\"", &doc), S_OK);
  xmlNode* root = xmlDocGetRootElement(doc->Document());
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(root->name), "data");
  ASSERT_NE(root->ns, nullptr);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(root->ns->href)), kTransferNamespace);
  EXPECT_STREQ(reinterpret_cast<const char*>(root->ns->prefix), "qendix");
  EXPECT_EQ(Attribute(root, "name"), "01_123_45_.pdf");
  EXPECT_EQ(Attribute(root, "type"), "pdf");

  // The message the client enveloped: LF header, then the PDF in base64 lines of 64, 64, 8.
  xmlChar* content = xmlNodeGetContent(root);
  std::string body = reinterpret_cast<char*>(content);
  xmlFree(content);
  std::string message = LoadedMessage(body);
  ASSERT_EQ(message.rfind("From: S\nTo: R\n\n", 0), 0u) << message;
  auto lines = Lines(message.substr(15));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 64u);
  EXPECT_EQ(lines[1].size(), 64u);
  EXPECT_EQ(lines[2].size(), 8u);
  EXPECT_EQ(testing::DecodeBase64(message.substr(15)), pdf);

  // Not lost if the invoice fails later: the PDF waits for the save of its transfer document.
  EXPECT_TRUE(testing::FileExists(valid_ + "/01_123_45_.pdf"));
  EXPECT_EQ(context_->EnvelopedPdfs(), std::vector<std::string>{"01_123_45_.pdf"});
  EXPECT_TRUE(context_->DeleteEnvelopedPdfs());
  EXPECT_FALSE(testing::FileExists(valid_ + "/01_123_45_.pdf"));
  EXPECT_TRUE(testing::FileExists(valid_ + "/other.pdf"));
  EXPECT_FALSE(context_->FindPdf("01_123_45_"));
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u);
}

TEST_F(EnvelopeTest, AFailedInvoiceKeepsItsEnvelopedPdf) {
  AddPdf("7.pdf", "pdf");
  RefPtr<IXmlDocument> doc;
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"7\"", &doc), S_OK);
  context_->ForgetEnvelopedPdfs();
  EXPECT_TRUE(context_->EnvelopedPdfs().empty());
  EXPECT_TRUE(context_->DeleteEnvelopedPdfs());
  EXPECT_TRUE(testing::FileExists(valid_ + "/7.pdf"));
  EXPECT_EQ(context_->FindPdf("7"), std::optional<std::string>("7.pdf"));
}

TEST_F(EnvelopeTest, MatchesNamesBeginningWithTheKeyInAnyCase) {
  AddPdf("AB_1.txt.pdf", "first");
  AddPdf("ab_1_slip.PDF", "second");
  EXPECT_EQ(context_->FindPdf("ab_1"), std::optional<std::string>("AB_1.txt.pdf"));
  EXPECT_EQ(context_->FindPdf("AB_1_S"), std::optional<std::string>("ab_1_slip.PDF"));
  EXPECT_FALSE(context_->FindPdf("ab_2"));
  EXPECT_FALSE(context_->FindPdf(""));  // an empty reference names no file
}

// The first match in list order wins, whether or not the name is ASCII, and delivered PDFs match
// no more.
TEST_F(EnvelopeTest, TheFirstUndeliveredMatchInListOrderIsFound) {
  AddPdf("z_9.pdf", "unrelated");
  AddPdf("K\xC3\x84_1.pdf", "umlaut");  // "KÄ_1.pdf"
  AddPdf("k\xC3\xA4_1b.pdf", "umlaut, lower case");
  AddPdf("K_1.pdf", "ascii");
  AddPdf("k_1.pdf", "ascii, lower case");
  const auto find = [&](std::string_view key) { return context_->FindPdf(key).value_or("-"); };
  EXPECT_EQ(find("k\xC3\xA4_1"), "K\xC3\x84_1.pdf");
  EXPECT_EQ(find("k"), "K\xC3\x84_1.pdf");
  EXPECT_EQ(find("K_1"), "K_1.pdf");
  RefPtr<IXmlDocument> doc;
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"k\"", &doc), S_OK);
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"k_\"", &doc), S_OK);
  ASSERT_TRUE(context_->DeleteEnvelopedPdfs());
  EXPECT_EQ(find("k"), "k\xC3\xA4_1b.pdf");
  EXPECT_EQ(find("K_1"), "k_1.pdf");
  EXPECT_EQ(find("z"), "z_9.pdf");
}

TEST_F(EnvelopeTest, NoMatchingPdfGivesAnEmptyDocumentWithoutCallingTheClient) {
  AddPdf("9.pdf", "x");
  RefPtr<IXmlDocument> doc;
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"1\"", &doc), S_OK);
  ASSERT_TRUE(doc);
  EXPECT_EQ(xmlDocGetRootElement(doc->Document()), nullptr);
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"\"", &doc), S_OK);
  EXPECT_EQ(xmlDocGetRootElement(doc->Document()), nullptr);
  EXPECT_TRUE(FakeAsas().calls.empty());
}

TEST_F(EnvelopeTest, AVanishedPdfFailsItsEnvelopeCleanly) {
  AddPdf("5.pdf", "x");
  ASSERT_EQ(::unlink((valid_ + "/5.pdf").c_str()), 0);
  RefPtr<IXmlDocument> doc;
  EXPECT_EQ(EncryptPdfs(*context_, "coding_line=\"5\"", &doc), HresultFromWin32(ENOENT));
  EXPECT_FALSE(doc);
  EXPECT_TRUE(context_->EnvelopedPdfs().empty());
  EXPECT_TRUE(FakeAsas().calls.empty());
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u);
}

TEST_F(EnvelopeTest, APdfAboveTheLimitIsRefused) {
  AddPdf("big.pdf", "");
  ASSERT_EQ(::truncate((valid_ + "/big.pdf").c_str(), kMaxPdfBytes + 1), 0);
  RefPtr<IXmlDocument> doc;
  EXPECT_EQ(EncryptPdfs(*context_, "coding_line=\"big\"", &doc), HresultFromWin32(EFBIG));
  EXPECT_EQ(EntriesIn(tmp_.path()), 0u);
}

TEST_F(EnvelopeTest, AFailedPdfEnvelopeKeepsThePdf) {
  AddPdf("3.pdf", "x");
  FakeAsas().failures["SmimeEncrypt"] = E_FAIL;
  RefPtr<IXmlDocument> doc;
  EXPECT_EQ(EncryptPdfs(*context_, "coding_line=\"3\"", &doc), E_FAIL);
  EXPECT_TRUE(testing::FileExists(valid_ + "/3.pdf"));
  EXPECT_TRUE(context_->EnvelopedPdfs().empty());
}

// A body that is not plain text is parsed together with its element, as it always was: markup
// becomes elements, and a body that is not well-formed leaves the PDF out and in "valid".
TEST_F(EnvelopeTest, AnEnvelopeBodyThatIsNotPlainTextIsParsedWithItsElement) {
  struct Case {
    const char* body;
    const char* content;  // of the element; null: no element
  } cases[] = {{"QUJD\n", "QUJD\n"},
               {"<b>x</b>\n", "x\n"},
               {"a&b\n", nullptr},
               {"a\x01;b\n", nullptr},
               {"a>b\n", "a>b\n"},
               // longer bodies, looked at sixteen bytes at a time
               {"0123456789abcdef\t0123456789abcdef\n", "0123456789abcdef\t0123456789abcdef\n"},
               {"0123456789abcdef0123&456789abcdef\n", nullptr},
               {"0123456789abcdef01\x02"
                "3456789abcdef\n",
                nullptr},
               {"0123456789abcdef0123<i>4</i>56789\n", "0123456789abcdef0123456789\n"}};
  for (const Case& c : cases) {
    FakeAsas().envelope = [&](const std::string&) { return std::string("H: 1\n\n") + c.body; };
    context_->ForgetEnvelopedPdfs();
    AddPdf("5.pdf", "x");
    RefPtr<IXmlDocument> doc;
    ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"5\"", &doc), S_OK) << c.body;
    xmlNode* root = xmlDocGetRootElement(doc->Document());
    EXPECT_EQ(root != nullptr, c.content != nullptr) << c.body;
    EXPECT_EQ(context_->EnvelopedPdfs().size(), c.content ? 1u : 0u) << c.body;
    if (!root || !c.content) continue;
    xmlChar* content = xmlNodeGetContent(root);
    EXPECT_STREQ(reinterpret_cast<char*>(content), c.content) << c.body;
    xmlFree(content);
  }
}

TEST_F(EnvelopeTest, PdfNamesAreEscapedInTheElement) {
  AddPdf("4 & \"x\" <y>.pdf", "x");
  RefPtr<IXmlDocument> doc;
  ASSERT_EQ(EncryptPdfs(*context_, "coding_line=\"4\"", &doc), S_OK);
  xmlNode* root = xmlDocGetRootElement(doc->Document());
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Attribute(root, "name"), "4 & \"x\" <y>.pdf");
  EXPECT_EQ(context_->EnvelopedPdfs(), std::vector<std::string>{"4 & \"x\" <y>.pdf"});
}

}  // namespace
}  // namespace qx
